#include "fifo_reader.h"

#include <cmath>
#include <cstdint>

#include <pigpio.h>
#include <sys/prctl.h>

#include "fifo_link.h"
#include "file_capture.h"
#include "host_clock.h"
#include "sample_clock.h"
#include "stop_signal.h"

namespace {

// Aimed wakes fall a little before or after their arrival in turn, by a
// low-discrepancy sequence of this step.
inline constexpr double wakePhaseStep = 0.41421356237309515;
// Wakes on the grid fall at a phase of the period drawn afresh each time:
// a fixed step, whatever it is, adds up to a whole number of samples for
// some clock, and every read then meets the clock at the same few phases.
inline constexpr uint64_t wakePhaseSeed = 0x5EADC0FFEE5EEDULL;
// Wakes are aimed at arrivals where the period is longer than this (1600 Hz
// and slower), within aimHalfWidthSec of them.
inline constexpr double aimFromPeriodSec = 600e-6;
inline constexpr double aimHalfWidthSec = 150e-6;
// The reader's own fit of the clock: over the last fitWindowSec or
// fitWindowPeriods periods, whichever is longer, redone every refitSec.
inline constexpr double refitSec = 0.1;
inline constexpr double fitWindowSec = 2.0;
inline constexpr int fitWindowPeriods = 60;
inline constexpr int fitObservationsMax = 1024;
inline constexpr int fitObservationsLeast = 4;
// This many aimed reads in a row on the same side of their arrival: the fit
// is off, and the next ones spread over the whole period.
inline constexpr int oneSidedReads = 8;
inline constexpr double longestSleepSec = 0.25;
// How quickly the estimate of the wake-up latency follows.
inline constexpr double latencyWeight = 0.1;

// The reader's rough clock, good enough to aim wakes by.  Its counts run
// from the last loss on: across one the offset is the writer's to find.
struct Aim {
    ClockObservation ring[fitObservationsMax];
    ClockObservation scratch[fitObservationsMax];
    ClockWindow window;
    ClockModel model;
    double lastFitSec;
    int64_t segmentStart;  // samples popped when the counts started afresh
    double latencySec;     // how late a wake comes after the time asked for
    int sideRun;           // aimed reads in a row after (> 0) or before (< 0) their arrival
    int spreadReads;       // reads left that spread over the whole period
    bool aimed;            // the latest wake was aimed at arrival aimedIndex
    int64_t aimedIndex;
};

struct Reader {
    const FifoPlan *plan;
    bool behind;  // the latest batch found the FIFO filling: read again at once
    SensorLink *link;
    FifoQueue *queue;
    int64_t stored;       // samples popped
    bool countKnown;      // a sample has been left in the FIFO: every count is exact
    double lastNewSec;    // the latest read that found a new sample
    int batchesSinceNew;  // batches since then
    double lastCheckSec;  // the latest device ID check
    int statusReports;
    int64_t wake;         // wakes so far, for their phases
    uint64_t phaseState;  // the grid's phases, drawn from it
    double askedSec;      // the time the latest wake was asked for
    Aim aim;
};

double period(const Reader &reader)
{
    return 1 / reader.plan->sampleHz;
}

void restartAim(Aim &aim, int64_t stored)
{
    clearWindow(aim.window);
    aim.model.valid = false;
    aim.segmentStart = stored;
    aim.sideRun = 0;
    aim.aimed = false;
}

// FIFO_STATUS, read once more when it counts more than the FIFO holds: a
// single bad read is never used as a count.
bool readStatus(Reader &reader, int &entries, double &begin, double &end, CaptureEnd &why,
                double &detail)
{
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (attempt > 0) {
            time_sleep(fifoPopGapSec);
        }
        begin = hostMonotonicSec();
        int status = readFifoStatus(*reader.link);
        end = hostMonotonicSec();
        if (status < 0) {
            why = CaptureEnd::readFailed;
            return false;
        }
        entries = fifoEntries(status);
        if (entries <= fifoEntriesMax) {
            return true;
        }
        detail = status;
    }
    why = CaptureEnd::sensorImpossible;
    return false;
}

// Whether the latest aimed read came after its arrival, and what that says
// of the aim.
void noteAimedSide(Aim &aim, int64_t count)
{
    if (!aim.aimed) {
        return;
    }
    bool after = count > aim.aimedIndex;
    aim.sideRun =
        after ? (aim.sideRun > 0 ? aim.sideRun + 1 : 1) : (aim.sideRun < 0 ? aim.sideRun - 1 : -1);
    if (aim.sideRun >= oneSidedReads || aim.sideRun <= -oneSidedReads) {
        aim.spreadReads = oneSidedReads;
        aim.sideRun = 0;
    }
}

// One read for the reader's own clock, and its fit now and then.
void noteForAim(Reader &reader, int entries, double begin, double end)
{
    Aim &aim = reader.aim;
    if (!reader.countKnown || end - begin > readLongestSec) {
        return;
    }
    int64_t count = reader.stored - aim.segmentStart + entries + 1;
    noteAimedSide(aim, count);
    noteRead(aim.window, count, begin, end);
    if (end - aim.lastFitSec < refitSec) {
        return;
    }
    aim.lastFitSec = end;
    double span = std::fmax(fitWindowSec, fitWindowPeriods * period(reader));
    int n = windowBetween(aim.window, end - span, end, aim.scratch, fitObservationsMax);
    if (n >= fitObservationsLeast) {
        fitClock(aim.scratch, n, period(reader), aim.model);
    }
}

// Why a push into the queue was refused.
CaptureEnd refusedPush(const FifoQueue &queue)
{
    return queue.writerFailed.load(std::memory_order_acquire) ? CaptureEnd::writeFailed
                                                              : CaptureEnd::interrupted;
}

// Pops `entries` samples, one transfer each, fifoPopGapSec apart.  Each
// starts at INT_SOURCE: a set Overrun says samples were lost before this one.
bool popEntries(Reader &reader, int entries, CaptureEnd &why)
{
    for (int i = 0; i < entries; ++i) {
        if (i > 0) {
            time_sleep(fifoPopGapSec);
        }
        AccelSample sample{};
        uint8_t source = 0;
        double begin = hostMonotonicSec();
        if (readFifoSample(*reader.link, sample, source) != fifoSampleBytes) {
            why = CaptureEnd::readFailed;
            return false;
        }
        double end = hostMonotonicSec();
        bool overrun = (source & intOverrun) != 0;
        FifoEvent lossSeen{FifoEventKind::overrun, 0, reader.stored, begin, end};
        FifoSample popped{{sample.countX, sample.countY, sample.countZ}};
        if ((overrun && !pushEvent(*reader.queue, lossSeen)) || !pushSample(*reader.queue, popped)) {
            why = refusedPush(*reader.queue);
            return false;
        }
        if (overrun) {
            restartAim(reader.aim, reader.stored + 1);
        }
        ++reader.stored;
    }
    return true;
}

// One wake's reads: FIFO_STATUS, then every entry it counts.  The one
// sample left in the data registers keeps every later count exact: with
// none left, a count of 0 could mean one sample or none.
bool readBatch(Reader &reader, CaptureEnd &why, double &detail)
{
    int entries = 0;
    double begin = 0;
    double end = 0;
    if (!readStatus(reader, entries, begin, end, why, detail)) {
        return false;
    }
    FifoEvent read{FifoEventKind::status, entries, reader.stored, begin, end};
    if (!pushEvent(*reader.queue, read)) {
        why = refusedPush(*reader.queue);
        return false;
    }
    double late = begin - reader.askedSec;
    if (reader.wake > 0 && late > 0 && late < readLongestSec) {
        reader.aim.latencySec += latencyWeight * (late - reader.aim.latencySec);
    }
    ++reader.batchesSinceNew;
    if (entries > 0) {
        reader.countKnown = true;
        reader.lastNewSec = end;
        reader.batchesSinceNew = 0;
    }
    noteForAim(reader, entries, begin, end);
    int64_t before = reader.aim.segmentStart;
    if (!popEntries(reader, entries, why)) {
        return false;
    }
    // Held up, the FIFO was found three quarters full, overflowing, or the
    // batch itself was held up: what came meanwhile is read at once.
    double batchSec = hostMonotonicSec() - begin;
    reader.behind =
        entries >= fifoEntriesMax * 3 / 4 || reader.aim.segmentStart != before || batchSec > fifoWakeSec;
    return true;
}

// The device ID about once a second, and whether samples still come.
bool checkSensor(Reader &reader, double now, CaptureEnd &why, double &detail)
{
    if (now - reader.lastCheckSec >= sensorCheckSec) {
        reader.lastCheckSec = now;
        int deviceId = readDeviceId(*reader.link);
        if (deviceId != devIdADXL345) {
            why = deviceId < 0 ? CaptureEnd::readFailed : CaptureEnd::sensorMissing;
            detail = deviceId;
            return false;
        }
    }
    double silentLimit = std::fmax(silentLimitSec, silentLimitPeriods * period(reader));
    if (now - reader.lastNewSec > silentLimit && reader.batchesSinceNew >= silentLimitBatches) {
        why = CaptureEnd::sensorSilent;
        detail = now - reader.lastNewSec;
        return false;
    }
    return true;
}

// A uniform draw in [0, 1): splitmix64, the same on every machine.
double drawPhase(uint64_t &state)
{
    uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    z ^= z >> 31;
    return static_cast<double>(z >> 11) / static_cast<double>(uint64_t{1} << 53);
}

// The next wake on the regular grid, at a phase drawn afresh.
double gridWake(Reader &reader, double now)
{
    double phase = drawPhase(reader.phaseState);
    double spread = std::fmin(period(reader), fifoWakeSec);
    double start = reader.plan->startSec;
    auto slot = static_cast<int64_t>(std::floor((now - start) / fifoWakeSec)) + 1;
    return start + static_cast<double>(slot) * fifoWakeSec + phase * spread;
}

// The next wake aimed at an arrival: the first far enough ahead, a little
// before or after it as the phase says.
double aimedWake(Reader &reader, double now, double phase)
{
    Aim &aim = reader.aim;
    double length = period(reader);
    double ahead = length < fifoWakeSec ? 0.9 * fifoWakeSec : 0.5 * length;
    double earliest = now + ahead;
    auto index = static_cast<int64_t>(std::ceil(indexAtSec(aim.model, earliest)));
    double halfWidth = aim.spreadReads > 0 ? length / 2 : std::fmin(length / 2, aimHalfWidthSec);
    if (aim.spreadReads > 0) {
        --aim.spreadReads;
    }
    aim.aimed = true;
    aim.aimedIndex = index;
    return arrivalSec(aim.model, static_cast<double>(index)) + (2 * phase - 1) * halfWidth -
           aim.latencySec;
}

double nextWake(Reader &reader, double now)
{
    ++reader.wake;
    double phase = std::fmod(static_cast<double>(reader.wake) * wakePhaseStep, 1.0);
    const Aim &aim = reader.aim;
    bool canAim = period(reader) > aimFromPeriodSec && aim.model.valid && now - aim.lastFitSec < 1.0;
    reader.aim.aimed = false;
    if (reader.behind) {
        return now + fifoPopGapSec;
    }
    double wake = canAim ? aimedWake(reader, now, phase) : gridWake(reader, now);
    if (wake < now + fifoPopGapSec) {
        wake = now + fifoPopGapSec;
    }
    return std::fmin(wake, now + longestSleepSec);
}

}  // namespace

void runFifoReader(const FifoPlan &plan, SensorLink &link, FifoQueue &queue)
{
    // Wakes a few microseconds late rather than the default 50: the aim
    // and the FIFO's room both count on it.
    prctl(PR_SET_TIMERSLACK, 1000UL, 0, 0, 0);
    static Reader reader;
    reader = Reader{};
    reader.plan = &plan;
    reader.link = &link;
    reader.queue = &queue;
    reader.lastNewSec = plan.measureSec + sensorTurnOnSec + 1 / plan.sampleHz;
    reader.lastCheckSec = plan.startSec;
    reader.aim.window = ClockWindow{reader.aim.ring, fitObservationsMax, 0};
    reader.askedSec = hostMonotonicSec();
    reader.phaseState = wakePhaseSeed;
    CaptureEnd why = CaptureEnd::complete;
    double detail = 0;
    for (;;) {
        if (stopSignal != 0) {
            why = CaptureEnd::interrupted;
            break;
        }
        if (queue.writerFailed.load(std::memory_order_acquire)) {
            why = CaptureEnd::writeFailed;
            break;
        }
        if (!readBatch(reader, why, detail)) {
            break;
        }
        double now = hostMonotonicSec();
        queue.readerSec.store(now, std::memory_order_release);
        if (!checkSensor(reader, now, why, detail)) {
            break;
        }
        // Progress in the rows' time: their first second is the first
        // second of the duration, and the reads past the last row (the
        // filter's reach) say no more once it is over.
        if (reader.statusReports < plan.durationSec) {
            reportProgress(reader.statusReports, now - plan.rowZeroSec, plan.durationSec);
        }
        if (now > plan.endSec) {
            why = CaptureEnd::complete;
            break;
        }
        reader.askedSec = nextWake(reader, now);
        time_sleep(reader.askedSec - now);
    }
    queue.readerSec.store(hostMonotonicSec(), std::memory_order_release);
    queue.readerDetail.store(detail, std::memory_order_relaxed);
    queue.readerEnd.store(static_cast<int>(why), std::memory_order_release);
}
