#include "capture_mode.h"

#include <cstdio>

#include <pigpio.h>

#include "capture_memory.h"
#include "csv_output.h"
#include "file_capture.h"
#include "stop_signal.h"
#include "tuning.h"

static bool allocateArrays(int sampleCount, CaptureRecord &record)
{
    // Every row is written, whereas the raw record fills only as far as the
    // bus gets.
    ResampledSeries &series = record.series;
    RawCapture &raw = record.raw;
    series.outT = allocateDoubles(sampleCount);
    series.outX = allocateDoubles(sampleCount);
    series.outY = allocateDoubles(sampleCount);
    series.outZ = allocateDoubles(sampleCount);
    raw.rawT = reserveDoubles(record.readingCapacity);
    raw.rawX = reserveCounts(record.readingCapacity);
    raw.rawY = reserveCounts(record.readingCapacity);
    raw.rawZ = reserveCounts(record.readingCapacity);
    raw.rawCount = 0;
    return series.outT && series.outX && series.outY && series.outZ && raw.rawT && raw.rawX &&
           raw.rawY && raw.rawZ;
}

bool prepareCapture(const RunSettings &settings, CaptureRecord &record)
{
    if (!checkCaptureMemory(settings)) {
        return false;
    }
    record.readingCapacity = captureReadingCapacity(settings.durationSec, settings.rawCapacity);
    if (!allocateArrays(settings.sampleCount, record)) {
        // Memory there may be, but not the address space (a 32-bit system).
        printNotEnoughMemory(settings);
        fflush(stdout);
        return false;
    }
    return true;
}

CaptureEnd captureReadings(const RunSettings &settings, SensorLink &link, CaptureRecord &record,
                           int &deviceId)
{
    RawCapture &raw = record.raw;
    int statusReports = 0;
    AccelSample sample;
    double t0 = time_time();
    double lastCheck = t0;
    raw.rawCount = record.readingCapacity;
    for (int i = 0; i < record.readingCapacity; ++i) {
        if (stopSignal != 0) {
            raw.rawCount = i;
            return CaptureEnd::interrupted;
        }
        // A sensor that went away reads as a still one: only its ID tells.
        // The check costs one short transfer between two readings.
        double now = i > 0 ? t0 + raw.rawT[i - 1] : t0;
        if (now - lastCheck >= sensorCheckSec) {
            lastCheck = now;
            deviceId = readDeviceId(link);
            if (deviceId != devIdADXL345) {
                raw.rawCount = i;
                return deviceId < 0 ? CaptureEnd::readFailed : CaptureEnd::sensorMissing;
            }
        }
        if (readSample(link, sample) != sampleBytes) {
            return CaptureEnd::readFailed;
        }
        double elapsed = time_time() - t0;
        raw.rawT[i] = elapsed;
        raw.rawX[i] = sample.countX;
        raw.rawY[i] = sample.countY;
        raw.rawZ[i] = sample.countZ;
        reportProgress(statusReports, elapsed, settings.durationSec);
        if (elapsed > settings.durationSec) {
            raw.rawCount = i;
            return CaptureEnd::complete;
        }
    }
    return record.readingCapacity > 0 ? CaptureEnd::recordFull : CaptureEnd::complete;
}

int runCaptureMode(const RunSettings &settings, SensorLink &link, CaptureRecord &record)
{
    printf("Reading %d samples in %.1f seconds with sampling rate %.1f Hz...\n", settings.sampleCount,
           settings.durationSec, settings.rateHz);
    fflush(stdout);
    // Reading 0 always serves row 0: on a sensor just switched to measuring
    // it would still hold zeros, so give it time for its first sample.
    time_sleep(firstSampleDelay);
    int deviceId = devIdADXL345;
    CaptureEnd end = captureReadings(settings, link, record, deviceId);
    gpioTerminate();
    // Rows without a single reading inside the duration (the first read
    // stalled past its end) would be made-up zeros: a failed capture.
    if (end == CaptureEnd::complete && settings.sampleCount > 0 && record.raw.rawCount == 0) {
        end = CaptureEnd::readFailed;
    }
    if (end == CaptureEnd::readFailed) {
        printf("Error occurred!");
        fflush(stdout);
        return 1;
    }
    // A capture that ended early is written up to its last reading: a row
    // past it would repeat that reading as if it had been taken there.
    int rows = end == CaptureEnd::complete
                   ? settings.sampleCount
                   : rowsWithinSpan(record.raw, settings.sampleCount, settings.samplePeriod);
    printf("Writing to the output file...\n");
    fflush(stdout);
    resampleNearest(record.raw, rows, settings.samplePeriod, record.series);
    if (!writeCsvFile(settings.savePath, record.series, rows)) {
        return 1;
    }
    return finishCapture(end, rows, settings.sampleCount, deviceId, false);
}
