#include "fifo_writer.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <ctime>

#include "capture_memory.h"
#include "fifo_reader.h"
#include "host_clock.h"
#include "sensor_registers.h"
#include "tuning.h"

namespace {

inline constexpr int axes = 3;
inline constexpr int64_t windowObservations = int64_t{1} << 13;
inline constexpr int segmentsMax = 4096;
inline constexpr int breaksMax = 256;
// The clock fit of a block of rows: observations from clockWindowSec (or
// clockWindowSamples samples) around it, of which at most the lookahead
// after it; the longer of the filter's reach plus this and half the window.
inline constexpr double clockWindowSec = 3.0;
inline constexpr double clockWindowSamples = 400.0;
inline constexpr double clockLookaheadSec = 1.0;
// The fit that keeps the books, from the observations so far: redone this
// often.
inline constexpr double bookFitEverySec = 0.1;
// The status reads after an overrun that size it: up to this many, within
// this long of it.  Candidate sizes this far either side of the clock's are
// tried.  The size is exact when one alone lets a clock meet every read,
// to within this share of a period.
inline constexpr int gapWitnessesMax = 32;
inline constexpr double witnessLongestSec = 0.05;
inline constexpr double gapWitnessSec = 0.1;
inline constexpr int64_t gapCandidateSpread = 2;
inline constexpr double gapFitSlackShare = 0.02;
// How far the bookkeeping fit may be off at a moment dt after its last
// observation: a base, plus a rate error, plus a drift it did not see.
inline constexpr double clockDoubtSec = 20e-6;
inline constexpr double clockDoubtRate = 1e-5;
inline constexpr double clockDoubtDrift = 1e-5;
// A count below what the clock allows by this share of a period, at least,
// is a loss nobody reported, if the clock was fitted over this long.
inline constexpr double unseenLossShare = 0.25;
inline constexpr double unseenLossLeastSec = 100e-6;
inline constexpr double unseenLossFitSec = 0.5;
inline constexpr double idleWaitSec = 0.001;

// Stored samples from firstStored on are sensor samples from firstIndex on,
// until the next segment.
struct Segment {
    int64_t firstStored;
    int64_t firstIndex;
};

// An inclusive range of candidate loss counts.
struct Candidates {
    int64_t low;
    int64_t high;
};

}  // namespace

struct FifoWriter {
    const FifoPlan *plan;
    FifoQueue *queue;
    const BandLimit *filter;
    CaptureFiles *files;
    RecordFile *record;
    // The observations, with sensor counts, and the fits.
    ClockObservation *ring;
    ClockObservation *scratch;
    ClockWindow window;
    ClockModel books;  // from the observations so far, for the losses
    double booksFitSec;
    bool countKnown;  // a read found a sample behind the data registers' one
    // Where the stored samples lie among the sensor's.
    Segment *segments;
    int segmentCount;
    int64_t lost;  // samples lost so far: the current segment's offset
    // Host times of the losses not sized exactly: the counts on either side
    // may be a sample apart, so no fit of the clock takes reads from both.
    double breaks[breaksMax];
    int64_t breakCount;
    int64_t eventCursor;
    double takenUpToSec;  // every read that began before this is in the books
    // Rows.
    int64_t nextRow;
    bool rowsDone;
    double nextRateNoteSec;
    double *weights;
    double windowSec;
    double lookaheadSec;
    FifoWriterResult result;
};

namespace {

double samplePeriod(const FifoWriter &writer)
{
    return 1 / writer.plan->sampleHz;
}

// The latest break at or before t, or -infinity.
double breakBefore(const FifoWriter &writer, double t)
{
    for (int64_t i = writer.breakCount - 1; i >= 0 && i >= writer.breakCount - breaksMax; --i) {
        double at = writer.breaks[i % breaksMax];
        if (at <= t) {
            return at;
        }
    }
    return -INFINITY;
}

// The earliest break after t, or infinity.
double breakAfter(const FifoWriter &writer, double t)
{
    double found = INFINITY;
    for (int64_t i = writer.breakCount - 1; i >= 0 && i >= writer.breakCount - breaksMax; --i) {
        double at = writer.breaks[i % breaksMax];
        if (at <= t) {
            break;
        }
        found = at;
    }
    return found;
}

// --- Where samples lie -------------------------------------------------

// The segment holding sensor index k (the last whose first index is at
// most k), or 0.
int segmentOf(const FifoWriter &writer, int64_t k)
{
    int i = writer.segmentCount - 1;
    while (i > 0 && writer.segments[i].firstIndex > k) {
        --i;
    }
    return i;
}

// Stored samples in segment i so far.
int64_t segmentLength(const FifoWriter &writer, int i)
{
    int64_t end = i + 1 < writer.segmentCount ? writer.segments[i + 1].firstStored
                                              : writer.queue->samplesIn.load(std::memory_order_acquire);
    return end - writer.segments[i].firstStored;
}

void storedG(const FifoWriter &writer, int64_t stored, double g[axes])
{
    const FifoSample &sample = writer.queue->samples[stored & (queueSampleCapacity - 1)];
    for (int axis = 0; axis < axes; ++axis) {
        g[axis] = sample.counts[axis] * accConversion;
    }
}

// The value at sensor index k: the sample itself; within a gap, the straight
// line between the samples either side; before the first or after the
// latest, that sample held.
void sampleAt(const FifoWriter &writer, int64_t k, double g[axes])
{
    int i = segmentOf(writer, k);
    const Segment &segment = writer.segments[i];
    int64_t length = segmentLength(writer, i);
    int64_t offset = k - segment.firstIndex;
    if (offset < 0) {
        storedG(writer, segment.firstStored, g);
        return;
    }
    if (offset < length) {
        storedG(writer, segment.firstStored + offset, g);
        return;
    }
    int64_t lastStored = segment.firstStored + length - 1;
    if (i + 1 == writer.segmentCount) {
        storedG(writer, lastStored > 0 ? lastStored : 0, g);
        return;
    }
    const Segment &next = writer.segments[i + 1];
    int64_t lastIndex = segment.firstIndex + length - 1;
    double share = static_cast<double>(k - lastIndex) / static_cast<double>(next.firstIndex - lastIndex);
    double before[axes];
    storedG(writer, lastStored, before);
    storedG(writer, next.firstStored, g);
    for (int axis = 0; axis < axes; ++axis) {
        g[axis] = before[axis] + (g[axis] - before[axis]) * share;
    }
}

// The stored sample the value at sensor index k needs first.
int64_t storedNeededFor(const FifoWriter &writer, int64_t k)
{
    int i = segmentOf(writer, k);
    const Segment &segment = writer.segments[i];
    int64_t offset = k - segment.firstIndex;
    int64_t length = segmentLength(writer, i);
    if (offset < 0) {
        return segment.firstStored;
    }
    return segment.firstStored + std::min(offset, length > 0 ? length - 1 : 0);
}

// The sensor index of the latest stored sample.
int64_t latestIndex(const FifoWriter &writer)
{
    const Segment &segment = writer.segments[writer.segmentCount - 1];
    return segment.firstIndex + segmentLength(writer, writer.segmentCount - 1) - 1;
}

// --- The books: counts, losses ----------------------------------------

double doubtAt(const ClockModel &model, double t)
{
    double dt = std::fabs(t - model.lastSec);
    return clockDoubtSec + clockDoubtRate * dt + clockDoubtDrift * dt * dt;
}

// The counts a read between begin and end can have seen, by the books' fit.
Candidates countsBetween(const ClockModel &model, double begin, double end)
{
    return Candidates{arrivedBy(model, begin - doubtAt(model, begin)),
                      arrivedBy(model, end + doubtAt(model, end))};
}

void refitBooks(FifoWriter &writer, double nowSec)
{
    writer.booksFitSec = nowSec;
    double fromSec = std::fmax(nowSec - writer.windowSec, breakBefore(writer, nowSec));
    int n = windowBetween(writer.window, fromSec, nowSec, writer.scratch,
                          static_cast<int>(windowObservations));
    if (n > 0) {
        fitClock(writer.scratch, n, samplePeriod(writer), writer.books);
    }
}

// Before any observation: the nominal clock from the measure bit on.
ClockModel nominalClock(const FifoWriter &writer)
{
    ClockObservation guess{1, writer.plan->measureSec + sensorTurnOnSec,
                           writer.plan->measureSec + sensorTurnOnSec + samplePeriod(writer)};
    ClockModel model{};
    fitClock(&guess, 1, samplePeriod(writer), model);
    model.lastSec = writer.plan->measureSec;
    return model;
}

void noteGap(FifoWriter &writer, int64_t stored, int64_t lost, bool exact, double atSec)
{
    if (!exact) {
        writer.breaks[writer.breakCount++ % breaksMax] = atSec;
    }
    FifoWriterResult &result = writer.result;
    const FifoPlan &plan = *writer.plan;
    int64_t lastIndex = stored + writer.lost - 1;  // the sample before the gap
    writer.lost += lost;
    if (writer.segmentCount == segmentsMax) {
        // Rows long past: the oldest segment is no longer looked at.
        std::memmove(writer.segments, writer.segments + 1, (segmentsMax - 1) * sizeof(Segment));
        --writer.segmentCount;
    }
    writer.segments[writer.segmentCount++] = Segment{stored, stored + writer.lost};
    const ClockModel &clock = writer.books.valid ? writer.books : nominalClock(writer);
    double fromSec = arrivalSec(clock, static_cast<double>(lastIndex)) - plan.rowZeroSec;
    double toSec = arrivalSec(clock, static_cast<double>(lastIndex + lost + 1)) - plan.rowZeroSec;
    if (result.gaps == 0) {
        result.firstGapFromSec = fromSec;
        result.firstGapToSec = toSec;
    }
    ++result.gaps;
    result.lost += lost;
    result.inexactGaps += exact ? 0 : 1;
    result.bridgedSec += toSec - fromSec;
    RecordGap gap{static_cast<int64_t>(std::ceil(fromSec * plan.rowHz)),
                  static_cast<int64_t>(std::floor(toSec * plan.rowHz)),
                  fromSec,
                  toSec,
                  lost,
                  exact};
    noteRecordGap(*writer.record, gap);
}

const FifoEvent &eventAt(const FifoWriter &writer, int64_t index)
{
    return writer.queue->events[index & (queueEventCapacity - 1)];
}

// The status reads after an overrun, up to the next loss: their counts
// without the loss being sized, and when.
struct Witnesses {
    ClockObservation seen[gapWitnessesMax];
    int count;
    bool complete;  // enough of them, or all there will be
};

Witnesses gatherWitnesses(const FifoWriter &writer, int64_t at, bool readerEnded)
{
    static Witnesses witnesses;
    witnesses.count = 0;
    const FifoEvent &overrun = eventAt(writer, at);
    int64_t in = writer.queue->eventsIn.load(std::memory_order_acquire);
    int64_t next = at + 1;
    bool stopped = false;
    for (; next < in && witnesses.count < gapWitnessesMax; ++next) {
        const FifoEvent &seen = eventAt(writer, next);
        if (seen.kind == FifoEventKind::overrun || seen.begin - overrun.end > gapWitnessSec) {
            stopped = true;  // another loss: what follows speaks of both
            break;
        }
        // A read of a full FIFO may come after a further loss that the next
        // pop will report: it speaks of both.
        // One held up inside still bounds the count, if loosely.
        if (seen.end - seen.begin > witnessLongestSec || seen.entries >= fifoEntriesMax) {
            continue;
        }
        int64_t known = seen.stored + writer.lost + seen.entries + 1;
        witnesses.seen[witnesses.count++] = ClockObservation{known, seen.begin, seen.end};
    }
    witnesses.complete = stopped || witnesses.count == gapWitnessesMax || readerEnded;
    return witnesses;
}

// How well the clock fits the reads before a loss and after it, when `lost`
// samples went missing: its margin.
double marginWith(FifoWriter &writer, int before, const Witnesses &witnesses, int64_t lost)
{
    int n = before;
    for (int i = 0; i < witnesses.count; ++i) {
        ClockObservation seen = witnesses.seen[i];
        seen.count += lost;
        writer.scratch[n++] = seen;
    }
    ClockModel joint{};
    return fitClock(writer.scratch, n, samplePeriod(writer), joint) ? joint.margin : -INFINITY;
}

// Sizes the loss an overrun at event `at` reports, once the reads after it
// are in; false while they are not.  The arithmetic: with the FIFO full when
// the pop began, the sample it popped was the 33rd newest,
//     index = arrived(t) - fifoSamplesHeld,
// so lost = index - (stored + lost so far).  Each status read after it,
// with `entries` counted and `stored` popped before it, has
//     arrived(t) = stored + lost so far + lost + entries + 1.
// The clock of the reads before the loss, carried to the pop, gives the
// candidates; the one under which the reads before and after fit one clock
// is the loss.  It is exact when no other lets one clock meet every read: a
// whole sample off, the reads after the gap fall outside any clock the reads
// before allow.
bool sizeGap(FifoWriter &writer, int64_t at, bool readerEnded)
{
    const FifoEvent &overrun = eventAt(writer, at);
    Witnesses witnesses = gatherWitnesses(writer, at, readerEnded);
    if (!witnesses.complete) {
        return false;
    }
    refitBooks(writer, overrun.begin);  // every read before the loss, and no later one
    ClockModel clock = writer.books.valid ? writer.books : nominalClock(writer);
    Candidates fromPop = countsBetween(clock, overrun.begin, overrun.end);
    int64_t before = overrun.stored + writer.lost;
    int64_t low = std::max<int64_t>(1, fromPop.low - fifoSamplesHeld - before - gapCandidateSpread);
    int64_t high = std::max<int64_t>(1, fromPop.high - fifoSamplesHeld - before + gapCandidateSpread);
    double fromSec = std::fmax(overrun.begin - writer.windowSec, breakBefore(writer, overrun.begin));
    int earlier = windowBetween(writer.window, fromSec, overrun.begin, writer.scratch,
                                static_cast<int>(windowObservations) - gapWitnessesMax);
    int64_t lost = std::max<int64_t>(1, (fromPop.low + fromPop.high) / 2 - fifoSamplesHeld - before);
    // Without a read after it, the clock alone sizes it: exact where the pop
    // fell clear of any arrival by a clock seen long enough to be sure of.
    const ClockModel &books = writer.books;
    bool sure = books.valid && books.margin >= 0 && books.lastSec - books.firstSec >= unseenLossFitSec;
    bool exact = witnesses.count == 0 && sure && fromPop.low == fromPop.high;
    if (earlier > 0 && witnesses.count > 0) {
        double best = -INFINITY;
        double runnerUp = -INFINITY;
        for (int64_t trial = low; trial <= high; ++trial) {
            double margin = marginWith(writer, earlier, witnesses, trial);
            if (margin > best) {
                runnerUp = best;
                best = margin;
                lost = trial;
            } else if (margin > runnerUp) {
                runnerUp = margin;
            }
        }
        double slack = gapFitSlackShare * samplePeriod(writer);
        exact = best >= -slack && runnerUp < -slack;
    }
    noteGap(writer, overrun.stored, lost, exact, overrun.begin);
    return true;
}

// A status read: its count, checked against the books, and kept.
void takeStatus(FifoWriter &writer, const FifoEvent &status)
{
    if (!writer.countKnown) {
        if (status.entries == 0) {
            return;  // one sample or none: a count of 0 cannot tell
        }
        writer.countKnown = true;
    }
    // A read held up inside says little of when; one of a full FIFO may
    // come after a loss that only the next pop reports.
    if (status.end - status.begin > readLongestSec || status.entries >= fifoEntriesMax) {
        return;
    }
    int64_t count = status.stored + writer.lost + status.entries + 1;
    const ClockModel &books = writer.books;
    // Only a FIFO that brings samples can have lost one unseen (a count
    // that stops is a sensor that stopped, for the reader to find), and only
    // a clock seen long enough to be sure of can say so.
    bool sure = books.valid && books.margin >= 0 && books.lastSec - books.firstSec >= unseenLossFitSec;
    if (sure && status.entries > 0) {
        double slack = std::fmax(unseenLossLeastSec, unseenLossShare * samplePeriod(writer));
        int64_t least = arrivedBy(books, status.begin - slack - doubtAt(books, status.begin));
        if (count < least) {
            // Lost where no pop could see it: after the samples the read
            // before counted, which agreed with the clock, and were popped.
            noteGap(writer, status.stored, least - count, false, status.begin);
            count = least;
        }
    }
    noteRead(writer.window, count, status.begin, status.end);
    if (status.end - writer.booksFitSec >= bookFitEverySec) {
        refitBooks(writer, status.end);
    }
}

// Takes the events in; true when it took any.
bool takeEvents(FifoWriter &writer, bool readerEnded)
{
    // The reader's time first: every event that began before it is in by
    // the time eventsIn is read.
    double readerSec = writer.queue->readerSec.load(std::memory_order_acquire);
    int64_t in = writer.queue->eventsIn.load(std::memory_order_acquire);
    bool took = false;
    // No further ahead of the rows than their clock fits look: the window
    // keeps only so many observations, and a reader far ahead (the writer
    // held up) would push out those the next rows need.
    double aheadSec = writer.rowsDone
                          ? INFINITY
                          : rowSec(*writer.plan, writer.nextRow) + writer.windowSec + blockSec + 1.0;
    while (writer.eventCursor < in) {
        const FifoEvent &event = eventAt(writer, writer.eventCursor);
        if (event.begin > aheadSec) {
            break;
        }
        if (event.kind == FifoEventKind::overrun) {
            if (!sizeGap(writer, writer.eventCursor, readerEnded)) {
                break;
            }
        } else {
            takeStatus(writer, event);
        }
        ++writer.eventCursor;
        took = true;
    }
    writer.takenUpToSec =
        writer.eventCursor < in ? eventAt(writer, writer.eventCursor).begin : readerSec;
    writer.queue->eventsFreed.store(writer.eventCursor, std::memory_order_release);
    return took;
}

// --- Rows --------------------------------------------------------------

bool writeRow(FifoWriter &writer, const ClockModel &clock, int64_t row)
{
    const BandLimit &filter = *writer.filter;
    double position = indexAtSec(clock, rowSec(*writer.plan, row));
    auto first = static_cast<int64_t>(std::floor(position)) - filter.halfTaps + 1;
    bandLimitWeights(filter, position, writer.weights);
    double value[axes] = {0, 0, 0};
    for (int tap = 0; tap < 2 * filter.halfTaps; ++tap) {
        double g[axes];
        sampleAt(writer, first + tap, g);
        for (int axis = 0; axis < axes; ++axis) {
            value[axis] += writer.weights[tap] * g[axis];
        }
    }
    double t = static_cast<double>(row) / writer.plan->rowHz;
    if (!writeCaptureRow(*writer.files, t, value[0], value[1], value[2])) {
        return false;
    }
    ++writer.result.rows;
    return true;
}

// Whether the reads and samples a block up to row last needs are in.
bool blockReady(const FifoWriter &writer, const ClockModel &clock, int64_t last, bool readerEnded)
{
    if (readerEnded) {
        return true;
    }
    double lastSec = rowSec(*writer.plan, last);
    double position = indexAtSec(clock, lastSec);
    return position + writer.filter->halfTaps + 1 <= static_cast<double>(latestIndex(writer));
}

void noteRate(FifoWriter &writer, const ClockModel &clock, int64_t row)
{
    double timeSec = static_cast<double>(row) / writer.plan->rowHz;
    if (timeSec < writer.nextRateNoteSec) {
        return;
    }
    writer.nextRateNoteSec += recordEverySec;
    double position = indexAtSec(clock, rowSec(*writer.plan, row));
    noteRecordRate(*writer.record, timeSec, 1 / periodAt(clock, position));
}

// Frees the samples no row from `row` on needs.
void freeSamplesBefore(FifoWriter &writer, const ClockModel &clock, int64_t row)
{
    double position = indexAtSec(clock, rowSec(*writer.plan, row));
    auto first = static_cast<int64_t>(std::floor(position)) - writer.filter->halfTaps - 1;
    int64_t needed = storedNeededFor(writer, first);
    int64_t freed = writer.queue->samplesFreed.load(std::memory_order_relaxed);
    if (needed > freed) {
        writer.queue->samplesFreed.store(needed, std::memory_order_release);
    }
}

// Writes the next block of rows if it can be; false when it cannot yet (or
// at all).
bool writeBlock(FifoWriter &writer, bool readerEnded)
{
    const FifoPlan &plan = *writer.plan;
    int64_t firstRow = writer.nextRow;
    if (writer.rowsDone || firstRow >= plan.sampleCount) {
        return false;
    }
    auto blockRows = std::max<int64_t>(1, std::llround(blockSec * plan.rowHz));
    int64_t last = std::min<int64_t>(firstRow + blockRows, plan.sampleCount) - 1;
    double centreSec = (rowSec(plan, firstRow) + rowSec(plan, last)) / 2;
    double toSec = rowSec(plan, last) + writer.lookaheadSec;
    double fromSec = centreSec - (writer.windowSec - writer.lookaheadSec);
    // Every read the window reaches must be in the books: once the reader
    // has ended, all there will be.
    bool allTaken = writer.eventCursor == writer.queue->eventsIn.load(std::memory_order_acquire);
    if (writer.takenUpToSec < toSec && !(readerEnded && allTaken)) {
        return false;
    }
    // A fit takes no reads from beyond a loss not sized exactly, unless no
    // read lies between the losses around the block: then the reads about
    // them place its rows, off by a sample at most, as the end line says.
    int n = windowBetween(writer.window, std::fmax(fromSec, breakBefore(writer, centreSec)),
                          std::fmin(toSec, breakAfter(writer, centreSec)), writer.scratch,
                          static_cast<int>(windowObservations));
    if (n == 0) {
        n = windowBetween(writer.window, fromSec, toSec, writer.scratch,
                          static_cast<int>(windowObservations));
    }
    ClockModel clock{};
    if (n == 0 || !fitClock(writer.scratch, n, samplePeriod(writer), clock)) {
        writer.rowsDone = readerEnded;
        return false;
    }
    if (!blockReady(writer, clock, last, readerEnded)) {
        return false;
    }
    // A capture cut short ends with the last row its samples reach.
    bool cutShort = readerEnded && writer.result.end != CaptureEnd::complete;
    double latest = static_cast<double>(latestIndex(writer));
    for (int64_t row = firstRow; row <= last; ++row) {
        if (cutShort && indexAtSec(clock, rowSec(plan, row)) > latest) {
            writer.rowsDone = true;
            return false;
        }
        noteRate(writer, clock, row);
        if (!writeRow(writer, clock, row)) {
            writer.result.end = CaptureEnd::writeFailed;
            writer.queue->writerFailed.store(true, std::memory_order_release);
            writer.rowsDone = true;
            return false;
        }
        writer.nextRow = row + 1;
    }
    freeSamplesBefore(writer, clock, writer.nextRow);
    return true;
}

// Flushes and syncs on time, and replaces the record once a minute.  The
// rows go to stable storage before the record that counts them, so that
// after a power cut the files hold at least the rows the record names.
void keepSafe(FifoWriter &writer)
{
    double now = hostMonotonicSec();
    CaptureFiles &files = *writer.files;
    RecordFile &record = *writer.record;
    bool recordDue = now - record.lastWrittenSec >= recordEverySec || record.partsWritten != files.part;
    if (writer.result.end != CaptureEnd::writeFailed &&
        !(recordDue ? syncCaptureFiles(files, now) : keepCaptureFilesSafe(files, now))) {
        writer.result.end = CaptureEnd::writeFailed;
        writer.queue->writerFailed.store(true, std::memory_order_release);
        writer.rowsDone = true;
    }
    if (recordDue) {
        record.rowsWritten = rowsKept(files);
        record.partsWritten = files.part;
        writeRecordFile(record, now);
    }
}

}  // namespace

FifoWriter *makeFifoWriter(const FifoPlan &plan, FifoQueue &queue, const BandLimit &filter,
                           CaptureFiles &files, RecordFile &record)
{
    auto *writer = static_cast<FifoWriter *>(reserveArray(1, sizeof(FifoWriter)));
    if (writer == nullptr) {
        return nullptr;
    }
    writer->plan = &plan;
    writer->queue = &queue;
    writer->filter = &filter;
    writer->files = &files;
    writer->record = &record;
    writer->ring =
        static_cast<ClockObservation *>(reserveArray(windowObservations, sizeof(ClockObservation)));
    writer->scratch =
        static_cast<ClockObservation *>(reserveArray(windowObservations, sizeof(ClockObservation)));
    writer->segments = static_cast<Segment *>(reserveArray(segmentsMax, sizeof(Segment)));
    writer->weights =
        static_cast<double *>(reserveArray(2 * static_cast<size_t>(filter.halfTaps), sizeof(double)));
    if (writer->ring == nullptr || writer->scratch == nullptr || writer->segments == nullptr ||
        writer->weights == nullptr) {
        releaseFifoWriter(writer);
        return nullptr;
    }
    writer->window = ClockWindow{writer->ring, windowObservations, 0};
    writer->segments[0] = Segment{0, 0};
    writer->segmentCount = 1;
    double period = samplePeriod(*writer);
    writer->windowSec = std::fmax(clockWindowSec, clockWindowSamples * period);
    writer->lookaheadSec =
        std::fmin(writer->windowSec / 2, filter.halfTaps * period + clockLookaheadSec);
    writer->result.end = CaptureEnd::complete;
    return writer;
}

void releaseFifoWriter(FifoWriter *writer)
{
    if (writer == nullptr) {
        return;
    }
    releaseArray(writer->ring, windowObservations, sizeof(ClockObservation));
    releaseArray(writer->scratch, windowObservations, sizeof(ClockObservation));
    releaseArray(writer->segments, segmentsMax, sizeof(Segment));
    releaseArray(writer->weights, 2 * static_cast<size_t>(writer->filter->halfTaps), sizeof(double));
    releaseArray(writer, 1, sizeof(FifoWriter));
}

void runFifoWriter(FifoWriter *writer)
{
    FifoQueue &queue = *writer->queue;
    for (;;) {
        int endSeen = queue.readerEnd.load(std::memory_order_acquire);
        bool readerEnded = endSeen >= 0;
        if (readerEnded && writer->result.end != CaptureEnd::writeFailed) {
            writer->result.end = static_cast<CaptureEnd>(endSeen);
            writer->result.detail = queue.readerDetail.load(std::memory_order_relaxed);
        }
        bool busy = takeEvents(*writer, readerEnded);
        while (writeBlock(*writer, readerEnded)) {
            busy = true;
        }
        keepSafe(*writer);
        bool allTaken = writer->eventCursor == queue.eventsIn.load(std::memory_order_acquire);
        if (readerEnded && allTaken && !busy) {
            return;
        }
        if (!busy) {
            timespec pause{0, static_cast<long>(idleWaitSec * 1e9)};
            nanosleep(&pause, nullptr);
        }
    }
}

FifoWriterResult fifoWriterResult(const FifoWriter *writer)
{
    return writer->result;
}
