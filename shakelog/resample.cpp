// Nearest-reading resampling without scanning the whole remaining record for
// every row.
//
// The choice for a row is the earliest index in [cursor, rawCount) with the
// smallest distance fabs(rawT[i] - tTarget).  Over a stretch where rawT never
// decreases, those distances (rounded doubles included) never rise before the
// target and never fall after it: the sequence is valley-shaped.  So within
// such a stretch the earliest minimum is found by walking forward until the
// distance first grows, or by a binary search.  The record is cut into
// maximal non-decreasing stretches ("runs"); the run holding the cursor is
// walked, every later run is searched, and the earliest strict minimum wins.
// When the clock never stepped back there is one run and the walk alone gives
// a cost linear in rows + readings.
#include "resample.h"

#include <algorithm>
#include <cmath>
#include <new>

#include "tuning.h"

namespace {

// Position in the record: the chosen reading and the end of the group of
// readings sharing its time stamp (-1 while unknown).
struct RawCursor {
    int index;
    int groupEnd;
};

double gridTime(int row, double samplePeriod)
{
    return static_cast<double>(static_cast<float>(row)) * samplePeriod;
}

void setRow(ResampledSeries &series, int row, double tGrid, const RawCapture &raw, int index)
{
    series.outT[row] = tGrid;
    series.outX[row] = raw.rawX[index] * accConversion;
    series.outY[row] = raw.rawY[index] * accConversion;
    series.outZ[row] = raw.rawZ[index] * accConversion;
}

double rowTime(int row, double samplePeriod)
{
    return row == 0 ? 0.0 : gridTime(row, samplePeriod);
}

void fillWithoutReadings(int sampleCount, double samplePeriod, ResampledSeries &series)
{
    for (int row = 0; row < sampleCount; ++row) {
        series.outT[row] = rowTime(row, samplePeriod);
        series.outX[row] = 0.0;
        series.outY[row] = 0.0;
        series.outZ[row] = 0.0;
    }
}

// Number of maximal non-decreasing runs in rawT[0..count), or 0 when a time
// stamp is not finite (the valley argument needs finite distances).
int countRuns(const double *rawT, int count)
{
    int runs = 1;
    for (int i = 0; i < count; ++i) {
        if (!std::isfinite(rawT[i])) {
            return 0;
        }
        if (i > 0 && rawT[i] < rawT[i - 1]) {
            ++runs;
        }
    }
    return runs;
}

// runStarts[r] is the first index of run r; runStarts[runCount] is count.
void findRunStarts(const double *rawT, int count, int *runStarts, int runCount)
{
    int run = 0;
    runStarts[run] = 0;
    for (int i = 1; i < count; ++i) {
        if (rawT[i] < rawT[i - 1]) {
            runStarts[++run] = i;
        }
    }
    runStarts[runCount] = count;
}

int equalTimeEnd(const double *rawT, int index, int end)
{
    int next = index + 1;
    while (next < end && rawT[next] == rawT[index]) {
        ++next;
    }
    return next;
}

// Earliest nearest reading in [from.index, runEnd), rawT non-decreasing there.
// Readings sharing a time stamp have the same distance, so whole groups are
// stepped over and the chosen group's end is remembered for the next row.
RawCursor walkRun(const double *rawT, RawCursor from, int runEnd, double tTarget)
{
    RawCursor best = from;
    if (best.groupEnd < 0) {
        best.groupEnd = equalTimeEnd(rawT, best.index, runEnd);
    }
    double bestDistance = std::fabs(rawT[best.index] - tTarget);
    int pos = best.groupEnd;
    while (pos < runEnd) {
        double distance = std::fabs(rawT[pos] - tTarget);
        if (distance > bestDistance) {
            break;  // past the target: distances only grow from here
        }
        int groupEnd = equalTimeEnd(rawT, pos, runEnd);
        if (distance < bestDistance) {
            best = RawCursor{pos, groupEnd};
            bestDistance = distance;
        }
        pos = groupEnd;
    }
    return best;
}

// First index in [lo, hi] whose distance is at most limit; distances do not
// rise over that range and the one at hi is within the limit.
int firstWithin(const double *rawT, int lo, int hi, double tTarget, double limit)
{
    while (lo < hi) {
        int mid = lo + (hi - lo) / 2;
        if (std::fabs(rawT[mid] - tTarget) <= limit) {
            hi = mid;
        } else {
            lo = mid + 1;
        }
    }
    return lo;
}

// Earliest nearest reading in [lo, hi), rawT non-decreasing there.
int searchRun(const double *rawT, int lo, int hi, double tTarget)
{
    int above = static_cast<int>(std::upper_bound(rawT + lo, rawT + hi, tTarget) - rawT);
    if (above == lo) {
        return lo;
    }
    int below = above - 1;
    double belowDistance = std::fabs(rawT[below] - tTarget);
    if (above < hi && std::fabs(rawT[above] - tTarget) < belowDistance) {
        return above;
    }
    return firstWithin(rawT, lo, below, tTarget, belowDistance);
}

// The row's choice over the whole remaining record; `run` is the run holding
// the cursor and is moved along with it.
RawCursor chooseReading(const double *rawT, const int *runStarts, int runCount, int &run,
                        RawCursor cursor, double tTarget)
{
    RawCursor best = walkRun(rawT, cursor, runStarts[run + 1], tTarget);
    double bestDistance = std::fabs(rawT[best.index] - tTarget);
    int bestRun = run;
    for (int later = run + 1; later < runCount; ++later) {
        int index = searchRun(rawT, runStarts[later], runStarts[later + 1], tTarget);
        double distance = std::fabs(rawT[index] - tTarget);
        if (distance < bestDistance) {
            best = RawCursor{index, -1};
            bestDistance = distance;
            bestRun = later;
        }
    }
    run = bestRun;
    return best;
}

void resampleOverRuns(const RawCapture &raw, const int *runStarts, int runCount, int sampleCount,
                      double samplePeriod, ResampledSeries &series)
{
    RawCursor cursor{0, -1};
    int run = 0;
    setRow(series, 0, 0.0, raw, 0);
    for (int row = 1; row < sampleCount; ++row) {
        double tTarget = gridTime(row, samplePeriod);
        // An infinite or NaN target is equally far from every finite time:
        // no reading is strictly nearer than the current one.
        if (std::isfinite(tTarget)) {
            cursor = chooseReading(raw.rawT, runStarts, runCount, run, cursor, tTarget);
        }
        setRow(series, row, tTarget, raw, cursor.index);
    }
}

// The plain scan of every remaining reading, kept for records holding
// non-finite time stamps, where distances are not ordered.
void resampleByFullScan(const RawCapture &raw, int sampleCount, double samplePeriod,
                        ResampledSeries &series)
{
    int chosen = 0;
    setRow(series, 0, 0.0, raw, 0);
    for (int row = 1; row < sampleCount; ++row) {
        double tTarget = gridTime(row, samplePeriod);
        double best = std::fabs(raw.rawT[chosen] - tTarget);
        for (int pos = chosen; pos < raw.rawCount; ++pos) {
            double distance = std::fabs(raw.rawT[pos] - tTarget);
            if (distance < best) {
                chosen = pos;
                best = distance;
            }
        }
        setRow(series, row, tTarget, raw, chosen);
    }
}

}  // namespace

void resampleNearest(const RawCapture &raw, int sampleCount, double samplePeriod,
                     ResampledSeries &series)
{
    if (sampleCount <= 0) {
        return;
    }
    if (raw.rawCount <= 0) {
        fillWithoutReadings(sampleCount, samplePeriod, series);
        return;
    }
    int runCount = countRuns(raw.rawT, raw.rawCount);
    if (runCount == 0) {
        resampleByFullScan(raw, sampleCount, samplePeriod, series);
        return;
    }
    if (runCount == 1) {
        const int wholeRecord[2] = {0, raw.rawCount};
        resampleOverRuns(raw, wholeRecord, 1, sampleCount, samplePeriod, series);
        return;
    }
    int *runStarts = new (std::nothrow) int[static_cast<unsigned>(runCount) + 1];
    if (runStarts == nullptr) {
        resampleByFullScan(raw, sampleCount, samplePeriod, series);
        return;
    }
    findRunStarts(raw.rawT, raw.rawCount, runStarts, runCount);
    resampleOverRuns(raw, runStarts, runCount, sampleCount, samplePeriod, series);
    delete[] runStarts;
}

int rowsWithinSpan(const RawCapture &raw, int sampleCount, double samplePeriod)
{
    if (raw.rawCount <= 0) {
        return 0;
    }
    double last = raw.rawT[raw.rawCount - 1];
    int rows = 0;
    while (rows < sampleCount && rowTime(rows, samplePeriod) <= last) {
        ++rows;
    }
    return rows;
}
