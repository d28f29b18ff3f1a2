#include "capture_mode.h"

#include <cstdio>

#include <pigpio.h>

#include "capture_memory.h"
#include "csv_output.h"
#include "resample.h"
#include "tuning.h"

static bool allocateArrays(int sampleCount, int rawCapacity, ResampledSeries &series,
                           RawCapture &raw)
{
    // Every row is written, whereas the raw record fills only as far as the
    // bus gets.
    series.outT = allocateDoubles(sampleCount);
    series.outX = allocateDoubles(sampleCount);
    series.outY = allocateDoubles(sampleCount);
    series.outZ = allocateDoubles(sampleCount);
    raw.rawT = reserveDoubles(rawCapacity);
    raw.rawX = reserveDoubles(rawCapacity);
    raw.rawY = reserveDoubles(rawCapacity);
    raw.rawZ = reserveDoubles(rawCapacity);
    raw.rawCount = 0;
    return series.outT && series.outX && series.outY && series.outZ && raw.rawT && raw.rawX &&
           raw.rawY && raw.rawZ;
}

// The n-th progress line is due at the first reading after n seconds; a
// stall owes the missed lines to the following readings, one per reading.
static void reportProgress(int &statusReports, double elapsed, double durationSec)
{
    if ((static_cast<double>(static_cast<float>(statusReports)) + 1.0) * tStatusReport < elapsed) {
        ++statusReports;
        double left = durationSec - elapsed;
        printf("%.2f seconds left...\n", left < 0 ? 0.0 : left);
        fflush(stdout);
    }
}

// Reads back to back until the first reading after durationSec.  Returns
// false on a failed read.
static bool capture(const RunSettings &settings, SensorLink &link, RawCapture &raw)
{
    int statusReports = 0;
    AccelSample sample;
    double t0 = time_time();
    raw.rawCount = settings.rawCapacity;
    for (int i = 0; i < settings.rawCapacity; ++i) {
        if (readSample(link, sample) != sampleBytes) {
            return false;
        }
        double elapsed = time_time() - t0;
        raw.rawT[i] = elapsed;
        raw.rawX[i] = sample.x;
        raw.rawY[i] = sample.y;
        raw.rawZ[i] = sample.z;
        reportProgress(statusReports, elapsed, settings.durationSec);
        if (elapsed > settings.durationSec) {
            raw.rawCount = i;
            break;
        }
    }
    return true;
}

int runCaptureMode(const RunSettings &settings, SensorLink &link)
{
    ResampledSeries series;
    RawCapture raw;
    if (!allocateArrays(settings.sampleCount, settings.rawCapacity, series, raw)) {
        gpioTerminate();
        printf("Not enough memory for a capture of %.0f seconds!\n", settings.durationSec);
        fflush(stdout);
        return 1;
    }
    printf("Reading %d samples in %.1f seconds with sampling rate %.1f Hz...\n",
           settings.sampleCount, settings.durationSec, settings.rateHz);
    fflush(stdout);
    // Reading 0 always serves row 0: on a sensor just switched to measuring
    // it would still hold zeros, so give it time for its first sample.
    time_sleep(firstSampleDelay);
    bool readOk = capture(settings, link, raw);
    gpioTerminate();
    // Rows without a single reading inside the duration (the first read
    // stalled past its end) would be made-up zeros: a failed capture.
    if (settings.sampleCount > 0 && raw.rawCount == 0) {
        readOk = false;
    }
    if (!readOk) {
        printf("Error occurred!");
        fflush(stdout);
        return 1;
    }
    printf("Writing to the output file...\n");
    fflush(stdout);
    resampleNearest(raw, settings.sampleCount, settings.samplePeriod, series);
    if (!writeCsvFile(settings.savePath, series, settings.sampleCount)) {
        return 1;
    }
    printf("Done\n");
    fflush(stdout);
    return 0;
}
