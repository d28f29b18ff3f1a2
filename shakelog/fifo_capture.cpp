#include "fifo_capture.h"

#include <cmath>
#include <cstdio>

#include <pigpio.h>

#include "capture_memory.h"
#include "fifo_link.h"
#include "stop_signal.h"

// Batches: at 3200 Hz a wake every 8 samples (2.5 ms) leaves the FIFO room
// for a stall of 7 ms more; slower rates take 16 a batch, at most a quarter
// of a second apart so that a stop signal is not kept waiting.
inline constexpr double fifoFastHz = 3200.0;
inline constexpr int fifoFastBatch = 8;
inline constexpr int fifoBatch = 16;
inline constexpr double fifoLongestWakeSec = 0.25;
// A FIFO_STATUS read that took longer than this was held up (the process
// was preempted): its time says little about when the FIFO was read.
inline constexpr double fifoStatusReadLongestSec = 0.0005;
// Wakes a fraction of a sample period off the batch, so that the reads meet
// the sample clock at every phase and the fit can place its edges.
inline constexpr double fifoWakePhaseStep = 0.381966;
// How far newestBy's phase shift can move the fit's line, in samples, with
// room to spare.
inline constexpr double fifoPhaseMargin = 2.0;
// After each pop the FIFO needs 5 us before the data or FIFO_STATUS is read
// again; a read that starts sooner is not the next sample.
inline constexpr double fifoPopGapSec = 5e-6;

double fifoSpanSec(const RunSettings &settings)
{
    return (settings.sampleCount + 2.0 * fifoLeadRows) / settings.rateHz;
}

// Samples the record holds at most: the span at the fastest clock taken
// into account, two FIFOs' worth of slack at either end.
inline constexpr int64_t fifoCapacitySlack = int64_t{4} * (fifoDepth + 1);

static int64_t fifoSampleCapacity(const RunSettings &settings)
{
    double hz = rateCodeHz(fifoRateCode(settings.rateHz));
    return static_cast<int64_t>(std::ceil(fifoSpanSec(settings) * hz * (1 + fifoClockTolerance))) +
           fifoCapacitySlack;
}

uint64_t fifoCaptureBytes(const RunSettings &settings)
{
    return static_cast<uint64_t>(fifoSampleCapacity(settings)) * fifoSampleBytes + fifoFixedBytes;
}

static int longestFittingFifoDuration(const RunSettings &settings, uint64_t available)
{
    int fits = 0;
    int tooLong = fifoDurationMax + 1;
    while (tooLong - fits > 1) {
        int middle = fits + (tooLong - fits) / 2;
        RunSettings trial = settings;
        trial.durationSec = middle;
        trial.sampleCount = static_cast<int>(trial.rateHz * middle);
        if (fifoCaptureBytes(trial) <= available) {
            fits = middle;
        } else {
            tooLong = middle;
        }
    }
    return fits;
}

bool prepareFifoCapture(const RunSettings &settings, FifoRecord &record)
{
    uint64_t available = 0;
    if (readAvailableMemory(available) && fifoCaptureBytes(settings) > available) {
        printNotEnoughMemory(settings);
        printf("The available memory holds a capture of at most %d seconds.\n",
               longestFittingFifoDuration(settings, available));
        fflush(stdout);
        return false;
    }
    record.rateCode = fifoRateCode(settings.rateHz);
    record.nominalHz = rateCodeHz(record.rateCode);
    record.capacity = fifoSampleCapacity(settings);
    record.counts =
        static_cast<int16_t *>(reserveArray(static_cast<size_t>(record.capacity), fifoSampleBytes));
    if (record.counts == nullptr) {
        printNotEnoughMemory(settings);
        fflush(stdout);
        return false;
    }
    return true;
}

// Pops one sample into the record.
static bool popSample(SensorLink &link, FifoRecord &record)
{
    AccelSample sample;
    if (readSample(link, sample) != sampleBytes) {
        return false;
    }
    int16_t *slot = record.counts + record.stored * 3;
    slot[0] = sample.countX;
    slot[1] = sample.countY;
    slot[2] = sample.countZ;
    ++record.stored;
    return true;
}

static void observe(FifoRecord &record, int64_t newest, double seconds)
{
    addObservation(record.fit, newest, seconds);
    record.recent[record.observations % fifoRecentObservations] = FifoObservation{newest, seconds};
    ++record.observations;
}

// The index of the newest sample that had arrived by `seconds`, by the
// fitted clock.  The fit runs through the middle of the observations; each
// saw its newest sample somewhere within one period after it arrived, so
// the recent ones, read at every phase, show where the arrivals lie.
static int64_t newestBy(const FifoRecord &record, double seconds)
{
    double low = 1;
    double high = -1;
    int64_t kept =
        record.observations < fifoRecentObservations ? record.observations : fifoRecentObservations;
    for (int64_t i = 0; i < kept; ++i) {
        const FifoObservation &seen = record.recent[i];
        double ahead =
            expectedIndex(record.fit, seen.seconds, record.nominalHz) - static_cast<double>(seen.newest);
        low = ahead < low ? ahead : low;
        high = ahead > high ? ahead : high;
    }
    double shift = kept > 0 ? (1 - low - high) / 2 : 0.5;
    return static_cast<int64_t>(
        std::floor(expectedIndex(record.fit, seconds, record.nominalHz) + shift));
}

// Notes the samples lost before this batch, if any: where the newest sample
// should have got to by now, by the fitted clock, against where the pops
// have got.
static void noteGap(FifoRecord &record, int64_t expected, int64_t newest)
{
    int64_t lost = expected - newest;
    if (lost > 0) {
        record.gaps[record.gapCount++] = FifoGap{record.stored, lost};
        record.lostTotal += lost;
    }
}

// Samples the capture's span needs, by the clock fitted so far.
static int64_t samplesNeeded(const RunSettings &settings, const FifoRecord &record)
{
    double hz = fittedRateHz(record.fit, record.nominalHz);
    return static_cast<int64_t>(std::ceil(fifoSpanSec(settings) * hz)) + 2;
}

// One batch: FIFO_STATUS, INT_SOURCE when it was full, then every entry
// popped with the gap the FIFO needs between pops.
static bool readBatch(SensorLink &link, FifoRecord &record, int64_t room)
{
    double before = time_time();
    int entries = readFifoEntries(link);
    double after = time_time();
    double seconds = (before + after) / 2;
    if (entries < 0) {
        return false;
    }
    if (entries == 0) {
        return true;
    }
    // The FIFO holds the oldest unread sample and up to fifoDepth more: by
    // the clock, samples can have been dropped only if more than that have
    // arrived since the oldest.  Overrun cannot tell: the pops after a drop
    // clear it.  INT_SOURCE is read all the same when the FIFO is full, so
    // that a sensor gone silent ends the capture here as anywhere.
    int64_t oldest = record.stored + record.lostTotal;
    int64_t newest = oldest + entries - 1;
    bool full = entries >= fifoDepth;
    if (full && readIntSource(link) < 0) {
        return false;
    }
    // The fit's line alone is within a sample or so of newestBy: the recent
    // observations are gone through only where a drop is possible at all.
    int64_t mostHeld = oldest + fifoDepth - 1;
    if (record.fit.count > 0 &&
        (full || expectedIndex(record.fit, seconds, record.nominalHz) + fifoPhaseMargin > mostHeld)) {
        int64_t expected = newestBy(record, seconds);
        if (full || expected > mostHeld) {
            noteGap(record, expected, newest);
            newest = record.stored + record.lostTotal + entries - 1;
        }
    }
    if (after - before <= fifoStatusReadLongestSec) {
        observe(record, newest, seconds);
    }
    int pops = entries < room ? entries : static_cast<int>(room);
    for (int i = 0; i < pops; ++i) {
        if (i > 0) {
            time_sleep(fifoPopGapSec);
        }
        if (!popSample(link, record)) {
            return false;
        }
    }
    return true;
}

CaptureEnd captureFifo(const RunSettings &settings, SensorLink &link, FifoRecord &record)
{
    int batch = record.nominalHz >= fifoFastHz ? fifoFastBatch : fifoBatch;
    double wakeSec = (batch + fifoWakePhaseStep) / record.nominalHz;
    if (wakeSec > fifoLongestWakeSec) {
        wakeSec = fifoLongestWakeSec;
    }
    int statusReports = 0;
    double t0 = time_time();
    double nextWake = t0;
    for (;;) {
        if (stopSignal != 0) {
            return CaptureEnd::interrupted;
        }
        // Every gap must be placed to keep the samples after it in time.
        if (record.stored == record.capacity || record.gapCount == fifoGapCapacity) {
            return CaptureEnd::recordFull;
        }
        int64_t room = record.capacity - record.stored;
        if (!readBatch(link, record, room)) {
            return CaptureEnd::readFailed;
        }
        double now = time_time();
        reportProgress(statusReports, now - t0, settings.durationSec);
        if (record.stored + record.lostTotal >= samplesNeeded(settings, record)) {
            return CaptureEnd::complete;
        }
        // Held up past the next wake, the FIFO is filling: read again as
        // soon as the last pop allows, and keep the pace from there.
        nextWake += wakeSec;
        if (nextWake <= now + fifoPopGapSec) {
            nextWake = now + fifoPopGapSec;
        }
        time_sleep(nextWake - now);
    }
}
