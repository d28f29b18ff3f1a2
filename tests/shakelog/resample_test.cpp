// Nearest-reading resampling: the worked examples, the empty record, and a
// property test holding the fast resampler to the plain rule on random
// records of every shape the clock can produce.
#include "reference_resample.h"
#include "resample.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace {

struct Record {
    std::vector<double> t;
    std::vector<int16_t> x, y, z;  // counts
};

inline constexpr double countToG = 0.00390625;

struct Series {
    std::vector<double> t, x, y, z;
};

// Values that name the reading they came from, so a wrong pick shows.
Record recordOf(const std::vector<double> &times)
{
    Record record{times, {}, {}, {}};
    for (std::size_t i = 0; i < times.size(); ++i) {
        record.x.push_back(static_cast<int16_t>(i));
        record.y.push_back(static_cast<int16_t>(-static_cast<int>(i)));
        record.z.push_back(static_cast<int16_t>(1000 + i));
    }
    return record;
}

RawCapture captureOf(Record &record)
{
    return RawCapture{record.t.data(), record.x.data(), record.y.data(), record.z.data(),
                      static_cast<int>(record.t.size())};
}

// Rows start out as a marker so that rows left unwritten show too.
Series seriesOf(int rows)
{
    std::size_t size = static_cast<std::size_t>(rows > 0 ? rows : 0) + 1;
    double marker = -12345.0;
    return Series{std::vector<double>(size, marker), std::vector<double>(size, marker),
                  std::vector<double>(size, marker), std::vector<double>(size, marker)};
}

ResampledSeries viewOf(Series &series)
{
    return ResampledSeries{series.t.data(), series.x.data(), series.y.data(), series.z.data()};
}

Series resample(Record &record, int rows, double period)
{
    Series series = seriesOf(rows);
    ResampledSeries view = viewOf(series);
    resampleNearest(captureOf(record), rows, period, view);
    return series;
}

// The raw index each row took, read back from the x column.
std::vector<int> pickedReadings(const Series &series, int rows)
{
    std::vector<int> picks;
    for (int row = 0; row < rows; ++row) {
        picks.push_back(static_cast<int>(series.x[static_cast<std::size_t>(row)] / countToG));
    }
    return picks;
}

bool sameBits(double a, double b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// Empty when both resamplers agree bit for bit (marker slot included),
// otherwise a description of the first difference.
std::string compareWithRule(Record &record, int rows, double period)
{
    Series fast = seriesOf(rows);
    Series rule = seriesOf(rows);
    ResampledSeries fastView = viewOf(fast);
    ResampledSeries ruleView = viewOf(rule);
    RawCapture raw = captureOf(record);
    resampleNearest(raw, rows, period, fastView);
    referenceResampleNearest(raw, rows, period, ruleView);
    for (std::size_t row = 0; row < fast.t.size(); ++row) {
        if (!sameBits(fast.t[row], rule.t[row]) || !sameBits(fast.x[row], rule.x[row]) ||
            !sameBits(fast.y[row], rule.y[row]) || !sameBits(fast.z[row], rule.z[row])) {
            return "row " + std::to_string(row) + " of " + std::to_string(rows) + ": reading " +
                   std::to_string(fast.x[row]) + " instead of " + std::to_string(rule.x[row]) +
                   " (period " + std::to_string(period) + ", " + std::to_string(record.t.size()) +
                   " readings)";
        }
    }
    return "";
}

using Random = std::mt19937_64;

double uniform(Random &random, double low, double high)
{
    return std::uniform_real_distribution<double>(low, high)(random);
}

int uniformInt(Random &random, int low, int high)
{
    return std::uniform_int_distribution<int>(low, high)(random);
}

// Readings at steadily rising times with gaps between minStep and maxStep.
std::vector<double> ascendingTimes(Random &random, int count, double minStep, double maxStep)
{
    std::vector<double> times;
    double t = uniform(random, 0.0, maxStep);
    for (int i = 0; i < count; ++i) {
        times.push_back(t);
        t += uniform(random, minStep, maxStep);
    }
    return times;
}

// Times on a coarse grid, so that equal stamps and exact ties are common.
void quantise(std::vector<double> &times, double quantum)
{
    for (double &t : times) {
        t = std::floor(t / quantum) * quantum;
    }
}

// A period matching a rate of 1 to 3200 Hz, as the program computes it.
double ratePeriod(Random &random)
{
    return 1.0 / static_cast<double>(uniformInt(random, 1, 3200));
}

// Enough rows to run from before the first reading to beyond the last.
int rowsCovering(Random &random, const std::vector<double> &times, double period)
{
    double span = times.empty() ? 1.0 : times.back() + 0.5;
    double rows = span / period * uniform(random, 0.2, 1.6) + 3.0;
    return static_cast<int>(std::fmin(rows, 4000.0));
}

void expectMatchesRule(Record record, int rows, double period, int seed)
{
    std::string difference = compareWithRule(record, rows, period);
    EXPECT_EQ(difference, "") << "seed " << seed;
}

}  // namespace

TEST(ResampleNearest, ExampleOfSixReadingsPicksEveryOtherOne)
{
    Record record = recordOf({0.01, 0.04, 0.09, 0.12, 0.18, 0.26});
    Series series = resample(record, 3, 0.1);
    EXPECT_EQ(pickedReadings(series, 3), (std::vector<int>{0, 2, 4}));
    EXPECT_EQ(series.t[0], 0.0);
    EXPECT_EQ(series.t[1], 0.1);
    EXPECT_EQ(series.t[2], static_cast<double>(2.0f) * 0.1);
    EXPECT_EQ(series.y[2], -4 * countToG);
    EXPECT_EQ(series.z[2], 1004 * countToG);
}

TEST(ResampleNearest, TieGoesToTheEarlierReading)
{
    Record record = recordOf({0.25, 0.75});
    Series series = resample(record, 2, 0.5);
    EXPECT_EQ(pickedReadings(series, 2), (std::vector<int>{0, 0}));
}

TEST(ResampleNearest, SparseReadingsRepeatTheLastWhileGridTimesAdvance)
{
    Record record = recordOf({0.0, 0.1, 0.2, 0.3});
    Series series = resample(record, 10, 0.1);
    EXPECT_EQ(pickedReadings(series, 10), (std::vector<int>{0, 1, 2, 3, 3, 3, 3, 3, 3, 3}));
    for (int row = 1; row < 10; ++row) {
        EXPECT_EQ(series.t[static_cast<std::size_t>(row)],
                  static_cast<double>(static_cast<float>(row)) * 0.1);
    }
}

TEST(ResampleNearest, RowZeroIsGridTimeZeroWithReadingZero)
{
    // Reading 1 lies nearer to time 0, but row 0 never searches.
    Record record = recordOf({0.3, 0.01, 0.5});
    Series series = resample(record, 1, 0.1);
    EXPECT_EQ(series.t[0], 0.0);
    EXPECT_EQ(series.x[0], 0.0);
    EXPECT_EQ(series.x[1], -12345.0) << "only sampleCount rows are written";
}

TEST(ResampleNearest, NoRowsWritesNothing)
{
    Record record = recordOf({0.0, 0.1});
    for (int rows : {0, -1, -1000}) {
        Series series = resample(record, rows, 0.1);
        EXPECT_EQ(series.t[0], -12345.0);
        EXPECT_EQ(series.x[0], -12345.0);
    }
}

TEST(ResampleNearest, NoReadingsGiveGridTimesAndZeroValues)
{
    // Null arrays: any read of the raw record would crash.
    RawCapture empty{nullptr, nullptr, nullptr, nullptr, 0};
    Series series = seriesOf(4);
    ResampledSeries view = viewOf(series);
    resampleNearest(empty, 4, 0.25, view);
    EXPECT_EQ(series.t, (std::vector<double>{0.0, 0.25, 0.5, 0.75, -12345.0}));
    EXPECT_EQ(series.x, (std::vector<double>{0.0, 0.0, 0.0, 0.0, -12345.0}));
    EXPECT_EQ(series.y, (std::vector<double>{0.0, 0.0, 0.0, 0.0, -12345.0}));
    EXPECT_EQ(series.z, (std::vector<double>{0.0, 0.0, 0.0, 0.0, -12345.0}));
}

TEST(ResampleNearest, ClockSteppedBackMayPickALaterReadingWithAnEarlierStamp)
{
    // After reading 2 the clock went back by 0.25 s.  For grid time 0.45,
    // reading 4 (stamp 0.45) beats reading 1 (0.5) although it comes later;
    // from then on readings 1 to 3 are never revisited.
    Record record = recordOf({0.0, 0.5, 0.6, 0.35, 0.45, 0.55, 0.95});
    Series series = resample(record, 3, 0.45);
    EXPECT_EQ(pickedReadings(series, 3), (std::vector<int>{0, 4, 6}));
}

TEST(ResampleMatchesRule, AscendingRecordsDenserAndSparserThanTheGrid)
{
    for (int seed = 0; seed < 300; ++seed) {
        Random random(static_cast<std::uint64_t>(seed));
        double period = ratePeriod(random);
        // Raw gaps from a hundredth of a period up to ten periods.
        double gap = period * std::pow(10.0, uniform(random, -2.0, 1.0));
        std::vector<double> times =
            ascendingTimes(random, uniformInt(random, 1, 800), gap * 0.5, gap * 1.5);
        expectMatchesRule(recordOf(times), rowsCovering(random, times, period), period, seed);
    }
}

TEST(ResampleMatchesRule, RecordsWithEqualStampsAndExactTies)
{
    for (int seed = 0; seed < 300; ++seed) {
        Random random(static_cast<std::uint64_t>(seed));
        // Dyadic periods and stamps make |t - target| ties exact.
        double period = uniformInt(random, 1, 8) / 64.0;
        std::vector<double> times =
            ascendingTimes(random, uniformInt(random, 1, 600), 0.0, period * 1.5);
        quantise(times, period / static_cast<double>(uniformInt(random, 1, 4)) / 2.0);
        if (seed % 3 == 0) {
            times.insert(times.end(), static_cast<std::size_t>(uniformInt(random, 1, 50)), times.back());
        }
        expectMatchesRule(recordOf(times), rowsCovering(random, times, period), period, seed);
    }
}

TEST(ResampleMatchesRule, ClockSteppedBackOnceOrSeveralTimes)
{
    for (int seed = 0; seed < 300; ++seed) {
        Random random(static_cast<std::uint64_t>(seed));
        double period = seed % 2 == 0 ? ratePeriod(random) : uniformInt(random, 1, 8) / 32.0;
        std::vector<double> times = ascendingTimes(random, uniformInt(random, 2, 800), 0.0, period);
        if (seed % 4 == 0) {
            quantise(times, period / 4.0);
        }
        int steps = uniformInt(random, 1, 6);
        for (int step = 0; step < steps; ++step) {
            // Backwards by up to a third of the span, sometimes below zero.
            std::size_t from =
                static_cast<std::size_t>(uniformInt(random, 1, static_cast<int>(times.size()) - 1));
            double back = uniform(random, 0.0, times.back() / 3.0 + period);
            for (std::size_t i = from; i < times.size(); ++i) {
                times[i] -= back;
            }
        }
        expectMatchesRule(recordOf(times), rowsCovering(random, times, period), period, seed);
    }
}

TEST(ResampleMatchesRule, UnorderedRecords)
{
    for (int seed = 0; seed < 200; ++seed) {
        Random random(static_cast<std::uint64_t>(seed));
        double period = seed % 2 == 0 ? ratePeriod(random) : 0.125;
        int count = uniformInt(random, 1, 400);
        double span = uniform(random, 0.0, 2.0);
        std::vector<double> times;
        for (int i = 0; i < count; ++i) {
            double t = uniform(random, -0.2, span);
            times.push_back(seed % 3 == 0 ? std::round(t * 16.0) / 16.0 : t);
        }
        expectMatchesRule(recordOf(times),
                          static_cast<int>(std::fmin(span / period * 1.3 + 2.0, 3000.0)), period, seed);
    }
}

TEST(ResampleMatchesRule, StampsTooCloseForTheDistanceToTellApart)
{
    // Distinct stamps whose distances to a far target round to the same
    // double, so the earliest-minimum rule decides among many equal values.
    for (int seed = 0; seed < 200; ++seed) {
        Random random(static_cast<std::uint64_t>(seed));
        std::vector<double> times;
        int count = uniformInt(random, 1, 300);
        double base = seed % 2 == 0 ? 0.0 : 1e6;
        double scale = seed % 2 == 0 ? 1e-18 : 1e-10;
        for (int i = 0; i < count; ++i) {
            times.push_back(base + scale * static_cast<double>(i + uniformInt(random, 0, 2)));
        }
        if (seed % 5 == 0) {
            std::swap(times[0], times.back());
        }
        double period = seed % 2 == 0 ? uniform(random, 1e-19, 1e-16) : uniform(random, 1e-11, 1e-9);
        int rows = uniformInt(random, 1, 500);
        expectMatchesRule(recordOf(times), rows, period, seed);
        double lateTarget = base + 1.0;  // every distance rounds alike
        expectMatchesRule(recordOf(times), 3, lateTarget / 2.0, seed);
    }
}

TEST(ResampleMatchesRule, NonFiniteStampsAndUnusualPeriods)
{
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double periods[] = {0.0, -0.0, -0.01, 1e300, inf, -inf, nan, 1e-300, 0.1};
    for (int seed = 0; seed < 200; ++seed) {
        Random random(static_cast<std::uint64_t>(seed));
        std::vector<double> times = ascendingTimes(random, uniformInt(random, 1, 200), 0.0, 0.02);
        if (seed % 2 == 0) {
            const double odd[] = {inf, -inf, nan, -nan, 1e308, -1e308};
            int spoiled = uniformInt(random, 1, 3);
            for (int i = 0; i < spoiled; ++i) {
                times[static_cast<std::size_t>(uniformInt(
                    random, 0, static_cast<int>(times.size()) - 1))] = odd[uniformInt(random, 0, 5)];
            }
        }
        for (double period : periods) {
            expectMatchesRule(recordOf(times), uniformInt(random, 0, 300), period, seed);
        }
    }
}
