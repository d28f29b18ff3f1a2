// Memory for the record of file mode: how many readings a capture can take,
// what they and the rows need, whether the machine has it, and the mappings.
#ifndef SHAKELOG_CAPTURE_MEMORY_H
#define SHAKELOG_CAPTURE_MEMORY_H

#include <cstddef>
#include <cstdint>

#include "command_line.h"
#include "sensor_link.h"

// Where the kernel says how much memory a new program can still get.
inline constexpr char memInfoPath[] = "/proc/meminfo";

// A data read is 7 bytes, 56 clock cycles: no bus carries more than
// speedSPI / 56 readings per second, whatever the library adds on top.
inline constexpr int spiBitsPerReading = sampleBytes * 8;
// Past the readings that fit the duration on the wire: the one that ends the
// capture past the duration, and one for time stamps that round short.
inline constexpr int extraReadings = 2;

// A raw reading: its time stamp and three 16-bit counts.
inline constexpr size_t rawReadingBytes = sizeof(double) + 3 * sizeof(int16_t);
// An output row: grid time and three values in g.
inline constexpr size_t outputRowBytes = 4 * sizeof(double);

// Readings the raw record of a capture must hold: no more than the bus can
// deliver in durationSec plus extraReadings, and never more than rawCapacity.
// The capture loop stops when it is full.
int captureReadingCapacity(double durationSec, int rawCapacity);

// Bytes for the raw record and the output rows of a capture.
uint64_t captureBytes(int readingCapacity, int sampleCount);

// Where readAvailableMemory reads from: memInfoPath unless a test points it
// at a stand-in in the same format.
void useMemInfoFile(const char *path);

// MemAvailable plus SwapFree from /proc/meminfo (or the file in use), in
// bytes.  False when the file cannot be read or has no MemAvailable line
// (SwapFree missing counts as no swap).
bool readAvailableMemory(uint64_t &bytes);

// True when the capture of the settings fits the memory the kernel reports,
// or when that report cannot be read (nothing is refused on a guess).
// Otherwise prints the refusal and the longest capture that fits on standard
// output, and returns false.
bool checkCaptureMemory(const RunSettings &settings);

// Prints the refusal of a capture for want of memory.
void printNotEnoughMemory(const RunSettings &settings);

// Reserves room for count elements of elementBytes each without committing
// memory to it: pages cost nothing until a reading is stored in them, and
// the reservation is not refused for memory the kernel would otherwise not
// promise.  Returns nullptr when the reservation is refused, or when the
// size does not fit the address space (on a 32-bit system).
void *reserveArray(size_t count, size_t elementBytes);

// Gives back what reserveArray reserved (nothing for nullptr).
void releaseArray(void *array, size_t count, size_t elementBytes);

// Room for count doubles that will all be written: the kernel may refuse it
// up front when the memory is plainly not there, rather than the process
// being killed once it fills the pages.
double *allocateDoubles(size_t count);

double *reserveDoubles(size_t count);
int16_t *reserveCounts(size_t count);

#endif
