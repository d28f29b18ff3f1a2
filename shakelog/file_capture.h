// What the two file modes share: how a capture ended, its progress lines,
// the lines that close it, and the search for the longest capture a
// resource holds.
#ifndef SHAKELOG_FILE_CAPTURE_H
#define SHAKELOG_FILE_CAPTURE_H

#include "command_line.h"

// complete: the duration was covered.  readFailed: a transfer failed.
// interrupted: a stop signal.  recordFull: the readings outran the record
// (a bus clocked faster than asked for).  sensorMissing: the device ID read
// wrong during the capture.  sensorSilent: the FIFO brought no new sample
// while they were due.  sensorImpossible: FIFO_STATUS held more than the
// FIFO can.  writeFailed: the file could not take a row.
enum class CaptureEnd {
    complete,
    readFailed,
    interrupted,
    recordFull,
    sensorMissing,
    sensorSilent,
    sensorImpossible,
    writeFailed,
};

// Prints the progress line due at `elapsed` seconds into the capture, if
// one is: the n-th is due at the first reading after n seconds, and a stall
// owes the missed lines to the following readings, one per reading.
void reportProgress(int &statusReports, double elapsed, double durationSec);

// The device ID is read again about this often during a run.
inline constexpr double sensorCheckSec = 1.0;

// The lines that close a capture whose rows are in the file: the
// interruption, a full record or a missing sensor with the rows written,
// "Error occurred!" for a failed read, or "Done" (unless `lossesReported`,
// a loss line printed before it, took its place).  deviceId is what the
// check read, for sensorMissing.  Returns the exit status.  The last line
// printed, without its newline, goes to lastLine (lastLineSize bytes) when
// that is not nullptr and a line was printed.
int finishCapture(CaptureEnd end, int rows, int sampleCount, int deviceId, bool lossesReported,
                  char *lastLine = nullptr, int lastLineSize = 0);

// Whether a capture of the settings fits, for longestFitting.
typedef bool (*FitsTest)(const RunSettings &trial, const void *resource);

// The longest whole number of seconds, from 0 to longestSec, whose capture
// at the settings' rate passes fits; a longer capture never fits where a
// shorter one does not.  The trial settings carry the derived counts.
int longestFitting(const RunSettings &settings, int longestSec, FitsTest fits, const void *resource);

#endif
