#include "file_capture.h"

#include <cstdio>
#include <cstring>

#include "sensor_link.h"
#include "tuning.h"

void reportProgress(int &statusReports, double elapsed, double durationSec)
{
    if ((static_cast<double>(static_cast<float>(statusReports)) + 1.0) * tStatusReport < elapsed) {
        ++statusReports;
        double left = durationSec - elapsed;
        printf("%.2f seconds left...\n", left < 0 ? 0.0 : left);
        fflush(stdout);
    }
}

int finishCapture(CaptureEnd end, int rows, int sampleCount, int deviceId, bool lossesReported,
                  char *lastLine, int lastLineSize)
{
    char line[160] = "";
    int status = 1;
    switch (end) {
    case CaptureEnd::complete:
        if (!lossesReported) {
            snprintf(line, sizeof line, "Done\n");
            status = 0;
        }
        break;
    case CaptureEnd::readFailed:
        snprintf(line, sizeof line, "Error occurred!");
        break;
    case CaptureEnd::interrupted:
        snprintf(line, sizeof line, "Capture interrupted: %d of %d rows written.\n", rows, sampleCount);
        break;
    case CaptureEnd::recordFull:
        snprintf(line, sizeof line,
                 "Capture stopped early, its record is full: %d of %d rows written.\n", rows,
                 sampleCount);
        break;
    case CaptureEnd::sensorMissing:
        printMissingSensor(deviceId);
        snprintf(line, sizeof line, "Capture stopped: %d of %d rows written.\n", rows, sampleCount);
        break;
    case CaptureEnd::sensorSilent:
    case CaptureEnd::sensorImpossible:
    case CaptureEnd::writeFailed:
        // Their own lines, with what was seen, came first.
        break;
    }
    fputs(line, stdout);
    fflush(stdout);
    if (lastLine != nullptr && line[0] != '\0') {
        snprintf(lastLine, static_cast<size_t>(lastLineSize), "%.*s",
                 static_cast<int>(strcspn(line, "\n")), line);
    }
    return status;
}

int longestFitting(const RunSettings &settings, int longestSec, FitsTest fits, const void *resource)
{
    int fitting = 0;
    int tooLong = longestSec + 1;
    while (tooLong - fitting > 1) {
        int middle = fitting + (tooLong - fitting) / 2;
        RunSettings trial = settings;
        trial.durationSec = middle;
        deriveCounts(trial);  // within the mode's limit: never refused
        if (fits(trial, resource)) {
            fitting = middle;
        } else {
            tooLong = middle;
        }
    }
    return fitting;
}
