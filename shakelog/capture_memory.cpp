#include "capture_memory.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/mman.h>

#include "file_capture.h"

namespace {

inline constexpr uint64_t bytesPerKilobyte = 1024;  // /proc/meminfo's "kB"
inline constexpr char memAvailableKey[] = "MemAvailable:";
inline constexpr char swapFreeKey[] = "SwapFree:";
inline constexpr int memInfoLineChars = 256;

void *mapArray(size_t count, size_t elementBytes, int extraFlags)
{
    if (elementBytes == 0 || count > SIZE_MAX / elementBytes) {
        return nullptr;
    }
    size_t bytes = (count > 0 ? count : 1) * elementBytes;
    void *memory =
        mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | extraFlags, -1, 0);
    return memory == MAP_FAILED ? nullptr : memory;
}

// The kilobytes of a "Key:   1234 kB" line, when the line has that key.
bool takeKilobytes(const char *line, const char *key, uint64_t &kilobytes)
{
    size_t keyLength = strlen(key);
    if (strncmp(line, key, keyLength) != 0) {
        return false;
    }
    const char *digits = line + keyLength;
    char *end = nullptr;
    unsigned long long value = strtoull(digits, &end, 10);
    if (end == digits) {
        return false;
    }
    kilobytes = value;
    return true;
}

}  // namespace

int captureReadingCapacity(double durationSec, int rawCapacity)
{
    // Rounded up: a part of a reading's time on the wire may still end
    // within the duration.
    int64_t wire =
        (static_cast<int64_t>(durationSec) * speedSPI + spiBitsPerReading - 1) / spiBitsPerReading;
    return static_cast<int>(std::min<int64_t>(rawCapacity, wire + extraReadings));
}

uint64_t captureBytes(int readingCapacity, int sampleCount)
{
    return static_cast<uint64_t>(readingCapacity) * rawReadingBytes +
           static_cast<uint64_t>(sampleCount) * outputRowBytes;
}

static const char *memInfoFile = memInfoPath;

void useMemInfoFile(const char *path)
{
    memInfoFile = path;
}

bool readAvailableMemory(uint64_t &bytes)
{
    FILE *file = fopen(memInfoFile, "re");
    if (file == nullptr) {
        return false;
    }
    uint64_t available = 0;
    uint64_t swapFree = 0;
    bool haveAvailable = false;
    char line[memInfoLineChars];
    while (fgets(line, sizeof line, file) != nullptr) {
        uint64_t kilobytes = 0;
        if (takeKilobytes(line, memAvailableKey, kilobytes)) {
            available = kilobytes;
            haveAvailable = true;
        } else if (takeKilobytes(line, swapFreeKey, kilobytes)) {
            swapFree = kilobytes;
        }
    }
    fclose(file);
    bytes = (available + swapFree) * bytesPerKilobyte;
    return haveAvailable;
}

// Whether a capture of the trial settings fits `available` bytes.
static bool fitsMemory(const RunSettings &trial, const void *available)
{
    int readings = captureReadingCapacity(trial.durationSec, trial.rawCapacity);
    return captureBytes(readings, trial.sampleCount) <= *static_cast<const uint64_t *>(available);
}

void printNotEnoughMemory(const RunSettings &settings)
{
    printf("Not enough memory for a capture of %.0f seconds!\n", settings.durationSec);
}

bool checkCaptureMemory(const RunSettings &settings)
{
    uint64_t available = 0;
    if (!readAvailableMemory(available)) {
        return true;
    }
    if (fitsMemory(settings, &available)) {
        return true;
    }
    printNotEnoughMemory(settings);
    printf("The available memory holds a capture of at most %d seconds.\n",
           longestFitting(settings, durationMax, fitsMemory, &available));
    fflush(stdout);
    return false;
}

void *reserveArray(size_t count, size_t elementBytes)
{
    // An anonymous private mapping reads as zeros and takes physical pages
    // only when written; MAP_NORESERVE keeps the kernel's overcommit
    // heuristic from refusing it.
    return mapArray(count, elementBytes, MAP_NORESERVE);
}

void releaseArray(void *array, size_t count, size_t elementBytes)
{
    if (array != nullptr) {
        munmap(array, (count > 0 ? count : 1) * elementBytes);
    }
}

double *allocateDoubles(size_t count)
{
    return static_cast<double *>(mapArray(count, sizeof(double), 0));
}

double *reserveDoubles(size_t count)
{
    return static_cast<double *>(reserveArray(count, sizeof(double)));
}

int16_t *reserveCounts(size_t count)
{
    return static_cast<int16_t *>(reserveArray(count, sizeof(int16_t)));
}
