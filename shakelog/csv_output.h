// The CSV file of file mode, written one row at a time.
#ifndef SHAKELOG_CSV_OUTPUT_H
#define SHAKELOG_CSV_OUTPUT_H

#include "csv_format.h"
#include "resample.h"

inline constexpr int csvBufferBytes = 1 << 16;

// A CSV file being written.  Rows collect in the buffer, which goes to the
// file in one write whenever it cannot take another row.
struct CsvWriter {
    int fd;                 // -1 once closed, or after a failed write
    bool createdFile;       // the file did not exist before openCsvFile
    bool regularFile;       // not a pipe, terminal or device
    long long rowsWritten;  // rows taken; after a failed write, the rows the file keeps
    const char *path;
    long long linesInFile;  // complete lines the file holds, header included
    int fill;               // bytes in buffer
    char buffer[csvBufferBytes];
};

// Opens savePath and buffers the header.  An existing regular file is
// emptied, except when it is where standard output goes: the rows then
// follow what was printed there.  Special files (a pipe, a terminal,
// /dev/null) are written in place.  False, after a message on standard
// output, when the file cannot be opened; nothing is created then.
bool openCsvFile(const char *savePath, CsvWriter &writer);

// Buffers one data line.  False once a write has failed.  A failed write
// ends the file: it prints the failure and, for a regular file, cuts the
// file back to its last complete row and says how many rows it keeps, so
// that a cut-off file is told apart by that line and its row count.
bool writeCsvRow(CsvWriter &writer, double t, double x, double y, double z);

// Hands what is buffered to the kernel.  False once a write has failed.
bool flushCsvFile(CsvWriter &writer);

// Flushes, then puts the file's data on stable storage (fdatasync) where it
// is a regular file.  False once a write has failed; a failed sync is told
// and leaves the file as it is.
bool syncCsvFile(CsvWriter &writer);

// Writes what is buffered and closes the file.  False, after a message,
// when that fails; false without one when a row's write had failed.
bool closeCsvFile(CsvWriter &writer);

// The header and the first sampleCount rows of series, through the above.
bool writeCsvFile(const char *savePath, const ResampledSeries &series, int sampleCount);

#endif
