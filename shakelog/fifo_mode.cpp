#include "fifo_mode.h"

#include <cstdio>

#include <pigpio.h>

#include "fifo_link.h"
#include "fifo_output.h"

// The watermark: not wired to an interrupt, but a sensor left with its
// reset value of 0 would flag a watermark that never clears.
inline constexpr int fifoWatermark = 16;

static void printLostSamples(const FifoRecord &record, double inputHz, double rateHz)
{
    // A gap's samples lie after the stored sample before it: its time in the
    // file counts from the first row, fifoLeadRows row periods into the run.
    double leadSec = fifoLeadRows / rateHz;
    const FifoGap &first = record.gaps[0];
    double startSec = (first.storedBefore - 1) / inputHz - leadSec;
    double endSec = (first.storedBefore + first.lost) / inputHz - leadSec;
    double bridgedMs = 0;
    for (int i = 0; i < record.gapCount; ++i) {
        bridgedMs += 1000.0 * (record.gaps[i].lost + 1) / inputHz;
    }
    if (record.gapCount == 1) {
        printf(
            "Lost %lld samples in a stall longer than the sensor's FIFO holds: "
            "rows from %.5f to %.5f seconds are bridged linearly.\n",
            static_cast<long long>(record.lostTotal), startSec, endSec);
    } else {
        printf(
            "Lost %lld samples in %d stalls longer than the sensor's FIFO holds: "
            "rows over %.1f ms, the first from %.5f to %.5f seconds, are bridged linearly.\n",
            static_cast<long long>(record.lostTotal), record.gapCount, bridgedMs, startSec, endSec);
    }
}

int runFifoCaptureMode(const RunSettings &settings, SensorLink &link, FifoRecord &record)
{
    printf("Reading %d samples in %.1f seconds with sampling rate %.1f Hz...\n", settings.sampleCount,
           settings.durationSec, settings.rateHz);
    fflush(stdout);
    CaptureEnd end = CaptureEnd::readFailed;
    if (configureFifo(link, record.rateCode, fifoWatermark)) {
        end = captureFifo(settings, link, record);
    }
    gpioTerminate();
    double inputHz = fittedRateHz(record.fit, record.nominalHz);
    int rows =
        end == CaptureEnd::complete ? settings.sampleCount : fifoRowsCovered(settings, record, inputHz);
    if (end == CaptureEnd::readFailed) {
        printf("Error occurred!");
        fflush(stdout);
        return 1;
    }
    printf("Writing to the output file...\n");
    fflush(stdout);
    if (!writeFifoRows(settings, record, inputHz, rows)) {
        fflush(stdout);
        return 1;
    }
    int status = 0;
    if (record.lostTotal > 0) {
        printLostSamples(record, inputHz, settings.rateHz);
        status = 1;
    }
    if (end == CaptureEnd::interrupted) {
        printf("Capture interrupted: %d of %d rows written.\n", rows, settings.sampleCount);
        status = 1;
    } else if (end == CaptureEnd::recordFull) {
        printf("Capture stopped early, its record is full: %d of %d rows written.\n", rows,
               settings.sampleCount);
        status = 1;
    } else if (status == 0) {
        printf("Done\n");
    }
    fflush(stdout);
    return status;
}
