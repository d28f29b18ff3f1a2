// The CSV files a capture through the FIFO streams its rows into: one file,
// or with splitting a new part every so many rows, each a complete CSV with
// its own header (run.csv: run-0001.csv, run-0002.csv, ...).  Rows reach
// the kernel within flushEverySec of being written and stable storage
// within syncEverySec, so that a crash or a power cut costs only the last
// seconds.
#ifndef SHAKELOG_CAPTURE_FILES_H
#define SHAKELOG_CAPTURE_FILES_H

#include <climits>
#include <cstddef>
#include <cstdint>

#include "csv_output.h"

inline constexpr double flushEverySec = 0.25;
inline constexpr double syncEverySec = 2.0;
// Part numbers have at least this many digits.
inline constexpr int partDigits = 4;

struct CaptureFiles {
    const char *savePath;
    int64_t partRows;  // rows per part; 0: one file
    int part;          // the part being written, from 1; 0 before the first
    char partPath[PATH_MAX];
    int64_t rows;  // rows written to all parts
    double lastFlushSec;
    double lastSyncSec;
    bool regular;  // every file is a regular one (record files go beside them)
    CsvWriter writer;
};

// The name of part `part` of savePath: the part number, zero-padded, before
// the extension of the file name (run.csv: run-0001.csv; run: run-0001).
// False when it does not fit size.
bool partName(const char *savePath, int part, char *out, size_t size);

// Opens the first file.  False after a message when it cannot be opened.
bool openCaptureFiles(CaptureFiles &files, const char *savePath, int64_t partRows, double nowSec);

// Writes one row, opening the next part first where one is due.  False,
// after the writer's message, once a write has failed.
bool writeCaptureRow(CaptureFiles &files, double t, double x, double y, double z);

// Flushes and syncs where they are due, or at once.  False once that has
// failed.
bool keepCaptureFilesSafe(CaptureFiles &files, double nowSec);
bool syncCaptureFiles(CaptureFiles &files, double nowSec);

// Closes the first file unwritten, removing it if the capture made it:
// the capture never started.
void discardCaptureFiles(CaptureFiles &files);

// The rows the files hold: after a failed write, those the last part kept.
int64_t rowsKept(const CaptureFiles &files);

// Flushes, syncs and closes the file being written.
bool closeCaptureFiles(CaptureFiles &files);

// Puts a directory entry just made on stable storage.
void syncDirectoryOf(const char *path);

#endif
