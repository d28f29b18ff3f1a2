// Figures for the file-mode tail: resampling a full-speed capture onto the
// 3200 Hz grid and writing the CSV, against the plain nearest-reading scan
// and against a printf loop.  Nothing is asserted; the ratios printed at the
// end come from the single run above them.
#include "csv_output.h"
#include "reference_resample.h"
#include "resample.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

inline constexpr double gridRateHz = 3200.0;
inline constexpr double rawRateHz = 30000.0;  // 300,000 readings in 10 s
inline constexpr char csvPath[] = "/tmp/shakelog_bench.csv";

struct Capture {
    std::vector<double> t;
    std::vector<int16_t> x, y, z;  // counts
};

struct Grid {
    std::vector<double> t, x, y, z;
};

// Back-to-back readings with jittered spacing and a slowly moving signal;
// with clockStepAt > 0 the clock is set back by half a second after that
// many seconds.
Capture makeCapture(int seconds, double clockStepAt)
{
    std::mt19937_64 random(42);
    std::uniform_real_distribution<double> jitter(0.5, 1.5);
    std::uniform_int_distribution<int> noise(-3, 3);
    Capture capture;
    auto count = static_cast<std::size_t>(seconds * rawRateHz);
    double t = 0.0;
    double offset = 0.0;
    int counts[3] = {0, 0, 256};
    for (std::size_t i = 0; i < count; ++i) {
        t += jitter(random) / rawRateHz;
        if (clockStepAt > 0.0 && offset == 0.0 && t > clockStepAt) {
            offset = -0.5;
        }
        for (int &c : counts) {
            c += noise(random);
        }
        capture.t.push_back(t + offset);
        capture.x.push_back(static_cast<int16_t>(counts[0]));
        capture.y.push_back(static_cast<int16_t>(counts[1]));
        capture.z.push_back(static_cast<int16_t>(counts[2]));
    }
    return capture;
}

const Capture &captureOf(int seconds, bool clockStepped)
{
    static std::map<std::pair<int, bool>, Capture> captures;
    auto key = std::make_pair(seconds, clockStepped);
    auto found = captures.find(key);
    if (found == captures.end()) {
        found = captures.emplace(key, makeCapture(seconds, clockStepped ? seconds / 2.0 : 0.0)).first;
    }
    return found->second;
}

RawCapture rawOf(const Capture &capture)
{
    return RawCapture{const_cast<double *>(capture.t.data()), const_cast<int16_t *>(capture.x.data()),
                      const_cast<int16_t *>(capture.y.data()), const_cast<int16_t *>(capture.z.data()),
                      static_cast<int>(capture.t.size())};
}

Grid makeGrid(int rows)
{
    auto size = static_cast<std::size_t>(rows);
    return Grid{std::vector<double>(size), std::vector<double>(size), std::vector<double>(size),
                std::vector<double>(size)};
}

ResampledSeries seriesOf(Grid &grid)
{
    return ResampledSeries{grid.t.data(), grid.x.data(), grid.y.data(), grid.z.data()};
}

int gridRows(int seconds)
{
    return static_cast<int>(gridRateHz * seconds);
}

void printfLoop(const char *path, const ResampledSeries &series, int rows)
{
    FILE *file = std::fopen(path, "w");
    if (file == nullptr) {
        return;
    }
    std::fprintf(file, "time, x, y, z\n");
    for (int k = 0; k < rows; ++k) {
        std::fprintf(file, "%.5f, %.5f, %.5f, %.5f \n", series.outT[k], series.outX[k], series.outY[k],
                     series.outZ[k]);
    }
    std::fclose(file);
}

void resampleAndWrite(benchmark::State &state, bool useReference)
{
    int seconds = static_cast<int>(state.range(0));
    RawCapture raw = rawOf(captureOf(seconds, false));
    int rows = gridRows(seconds);
    Grid grid = makeGrid(rows);
    ResampledSeries series = seriesOf(grid);
    for (auto _ : state) {
        if (useReference) {
            referenceResampleNearest(raw, rows, 1.0 / gridRateHz, series);
        } else {
            resampleNearest(raw, rows, 1.0 / gridRateHz, series);
        }
        if (!writeCsvFile(csvPath, series, rows)) {
            state.SkipWithError("cannot write the benchmark file");
            break;
        }
    }
    unlink(csvPath);
    state.counters["raw"] = raw.rawCount;
    state.counters["rows"] = rows;
}

void BM_ResampleAndWrite(benchmark::State &state)
{
    resampleAndWrite(state, false);
}

void BM_ReferenceResampleAndWrite(benchmark::State &state)
{
    resampleAndWrite(state, true);
}

void BM_Resample(benchmark::State &state)
{
    int seconds = static_cast<int>(state.range(0));
    RawCapture raw = rawOf(captureOf(seconds, state.range(1) != 0));
    int rows = gridRows(seconds);
    Grid grid = makeGrid(rows);
    ResampledSeries series = seriesOf(grid);
    for (auto _ : state) {
        resampleNearest(raw, rows, 1.0 / gridRateHz, series);
        benchmark::DoNotOptimize(grid.x.data());
    }
    state.counters["raw"] = raw.rawCount;
    state.counters["rows"] = rows;
}

void BM_ReferenceResample(benchmark::State &state)
{
    int seconds = static_cast<int>(state.range(0));
    RawCapture raw = rawOf(captureOf(seconds, false));
    int rows = gridRows(seconds);
    Grid grid = makeGrid(rows);
    ResampledSeries series = seriesOf(grid);
    for (auto _ : state) {
        referenceResampleNearest(raw, rows, 1.0 / gridRateHz, series);
        benchmark::DoNotOptimize(grid.x.data());
    }
}

// The 60 s grid, resampled once, written by each writer.
void writeWith(benchmark::State &state, bool usePrintf)
{
    RawCapture raw = rawOf(captureOf(60, false));
    int rows = gridRows(60);
    Grid grid = makeGrid(rows);
    ResampledSeries series = seriesOf(grid);
    resampleNearest(raw, rows, 1.0 / gridRateHz, series);
    for (auto _ : state) {
        if (usePrintf) {
            printfLoop(csvPath, series, rows);
        } else if (!writeCsvFile(csvPath, series, rows)) {
            state.SkipWithError("cannot write the benchmark file");
            break;
        }
    }
    unlink(csvPath);
    state.counters["rows"] = rows;
}

void BM_CsvWriter(benchmark::State &state)
{
    writeWith(state, false);
}

void BM_PrintfLoop(benchmark::State &state)
{
    writeWith(state, true);
}

// Keeps each benchmark's time per iteration for the ratios.
class TimeKeeper : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override
    {
        for (const Run &run : runs) {
            times[run.benchmark_name()] = run.GetAdjustedRealTime();
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> times;
};

void printRatio(const TimeKeeper &keeper, const std::string &slow, const std::string &fast,
                const char *label)
{
    auto slowTime = keeper.times.find(slow);
    auto fastTime = keeper.times.find(fast);
    if (slowTime == keeper.times.end() || fastTime == keeper.times.end() || fastTime->second <= 0.0) {
        return;
    }
    std::printf("%s: %.1fx\n", label, slowTime->second / fastTime->second);
}

}  // namespace

BENCHMARK(BM_ResampleAndWrite)->Arg(10)->Arg(60)->Unit(benchmark::kMillisecond);
// The plain scan needs sampleCount x rawCount steps: a few seconds for 10 s
// of capture, several minutes for 60 s, so only the 10 s case is run.
BENCHMARK(BM_ReferenceResampleAndWrite)->Arg(10)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Resample)->Args({10, 0})->Args({60, 0})->Args({60, 1})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReferenceResample)->Arg(10)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CsvWriter)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PrintfLoop)->Unit(benchmark::kMillisecond);

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    TimeKeeper keeper;
    benchmark::RunSpecifiedBenchmarks(&keeper);
    benchmark::Shutdown();
    std::printf("\nRatios from this run (60 s reference scan skipped: it needs minutes):\n");
    printRatio(keeper, "BM_ReferenceResampleAndWrite/10/iterations:1", "BM_ResampleAndWrite/10",
               "resample + write, 10 s at 3200 Hz, reference / fast");
    printRatio(keeper, "BM_ReferenceResample/10/iterations:1", "BM_Resample/10/0",
               "resample only, 10 s at 3200 Hz, reference / fast");
    printRatio(keeper, "BM_PrintfLoop", "BM_CsvWriter", "CSV writer, 192,000 rows, printf loop / writer");
    return 0;
}
