// The record of a capture through the FIFO, kept beside its file as
// FILE.json: what ran (program, version, backend, options, data rate),
// when row 0 was in UTC and how far the system clock could be trusted
// then, the sensor's tracked rate a minute at a time, every gap, the parts
// written, and how the capture ended.  Made when the capture starts and
// replaced whole (written beside, then renamed over) at least once a
// minute and at the end, so that it is never found half written.  Each
// replacement is written into a file whose room on the disk was taken
// before (the record padded with spaces to fill it), so that the record
// can still say how a capture ended when its rows filled the card.
#ifndef SHAKELOG_RECORD_FILE_H
#define SHAKELOG_RECORD_FILE_H

#include <climits>
#include <cstdint>

#include "command_line.h"

inline constexpr char recordSuffix[] = ".json";
inline constexpr double recordEverySec = 60.0;
// Entries kept in memory: a rate a minute for 45 days; gaps beyond the
// limit are counted, not listed.
inline constexpr int recordRatesMax = 1 << 16;
inline constexpr int recordGapsMax = 10000;

struct RecordRate {
    double timeSec;  // of the file's time column
    double rateHz;
};

struct RecordGap {
    int64_t firstRow;  // rows first..last lie on the bridge (first > last: none does)
    int64_t lastRow;
    double fromSec;  // the samples either side of the gap, in the file's time
    double toSec;
    int64_t lost;
    bool exact;  // the count is certain
};

struct RecordFile {
    const RunSettings *settings;
    double nominalHz;
    double rowZeroUnixSec;
    double rowZeroMonotonicSec;
    double lastWrittenSec;  // host time of the latest replacement
    long clockEstimatedErrorUs;
    long clockMaximumErrorUs;
    int64_t rowsWritten;
    int64_t gapsNotListed;
    int64_t spareBytes;
    RecordRate *rates;
    RecordGap *gaps;
    const char *state;       // "running", "done", "interrupted", ...
    const char *signalName;  // the signal that interrupted it, or nullptr
    int partsWritten;
    int rateCount;
    int gapCount;
    int exitStatus;    // -1 while running
    int spareFd = -1;  // the next replacement, its room already taken, or -1
    bool enabled;      // beside a regular file
    bool clockSynchronised;
    uint8_t rateCode;
    char message[256];  // the line the run ended with
    char path[PATH_MAX];
};

// Prepares the record of a capture of settings to savePath, with row 0 at
// host (monotonic) time rowZeroSec; false when its memory cannot be had.
// The record is enabled only when the rows go to regular files.
bool openRecordFile(RecordFile &record, const RunSettings &settings, uint8_t rateCode, double nominalHz,
                    double rowZeroSec);

void releaseRecordFile(RecordFile &record);

void noteRecordRate(RecordFile &record, double timeSec, double rateHz);
void noteRecordGap(RecordFile &record, const RecordGap &gap);

// Replaces FILE.json with the record as it stands; false, after a line on
// standard output the first time, when it cannot be written.
bool writeRecordFile(RecordFile &record, double nowSec);

// Gives back the room taken for a next replacement: the capture is over.
void closeRecordFile(RecordFile &record);

#endif
