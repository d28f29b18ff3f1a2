// The capture loop's speed and the memory a capture really takes.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <pigpio.h>

#include "capture_memory.h"
#include "capture_mode.h"
#include "pigpio_emulation.h"
#include "run_captured.h"
#include "tuning.h"

namespace {

// Transfers that take no time on a clock that does not move: the loop runs
// until the raw record is full, at the readings the bus could carry in the
// duration, so what is measured is the loop itself (transfer call, clock
// read, stores), with the program's set-up and file write around it.  A full
// record before the duration is over ends the run as an early stop.
void captureLoop(benchmark::State &state)
{
    const long readings = captureReadingCapacity(1, freqMaxSPI);
    for (auto _ : state) {
        emulatedReset();
        emulatedSetQuiet(true);
        emulatedUseVirtualClock(0.0);
        emulatedSetTransferTiming(0.0, true);
        const CapturedRun run = runShakelogCaptured({"-t", "1", "-f", "1", "-s", "/dev/null"});
        if (run.out.find("its record is full") == std::string::npos) {
            state.SkipWithError("the capture did not fill its record");
        }
    }
    state.SetItemsProcessed(state.iterations() * readings);
}
BENCHMARK(captureLoop)->Unit(benchmark::kMillisecond);

// Peak resident memory of a child process after a 10-second capture at
// 3200 Hz on the virtual clock with realistic transfer timing, against the
// bytes the readings themselves need (rawReadingBytes per raw reading,
// outputRowBytes per row).
long childPeakKilobytes(bool capture, long &readings)
{
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0) {
        return -1;
    }
    ampleMemInfo();  // made (and removed) by this process, not the child
    pid_t child = fork();
    if (child == 0) {
        emulatedReset();
        emulatedSetQuiet(true);
        emulatedUseVirtualClock(0.0);
        long transactions = 0;
        if (capture) {
            runShakelogCaptured({"-t", "10", "-f", "3200", "-s", "/dev/null"});
            transactions = emulatedTransactionCount();
        }
        ssize_t written = write(pipeEnds[1], &transactions, sizeof transactions);
        _exit(written == sizeof transactions ? 0 : 1);
    }
    close(pipeEnds[1]);
    long transactions = 0;
    ssize_t got = read(pipeEnds[0], &transactions, sizeof transactions);
    close(pipeEnds[0]);
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    // The ID read and the three configuration writes are not readings.
    readings = got == sizeof transactions && transactions > 4 ? transactions - 4 : 0;
    return usage.ru_maxrss;
}

void capturePeakMemory(benchmark::State &state)
{
    long readings = 0;
    long baseline = 0;
    long peak = 0;
    for (auto _ : state) {
        long none = 0;
        baseline = childPeakKilobytes(false, none);
        peak = childPeakKilobytes(true, readings);
    }
    const double megabyte = 1024.0 * 1024.0;
    state.counters["readings"] = static_cast<double>(readings);
    state.counters["needed_MB"] = static_cast<double>(captureBytes(static_cast<int>(readings), 32000)) / megabyte;
    state.counters["reserved_MB"] =
        static_cast<double>(captureBytes(captureReadingCapacity(10, 10 * freqMaxSPI), 32000)) / megabyte;
    state.counters["peak_growth_MB"] = (peak - baseline) * 1024.0 / megabyte;
}
BENCHMARK(capturePeakMemory)->Iterations(1)->Unit(benchmark::kMillisecond);

// The capture loop alone, on free transfers, against the same loop without
// the per-reading test of the stop flag: what listening for Ctrl-C costs.
struct LoopBench {
    RunSettings settings;
    SensorLink link;
    CaptureRecord record;
};

bool setUpLoop(LoopBench &bench)
{
    emulatedReset();
    emulatedSetQuiet(true);
    emulatedUseVirtualClock(0.0);
    emulatedSetTransferTiming(0.0, true);
    bench.settings = defaultSettings();
    bench.settings.durationSec = 10;
    bench.settings.saveToFile = true;
    useMemInfoFile(ampleMemInfo());
    if (!deriveCounts(bench.settings) || !prepareCapture(bench.settings, bench.record) ||
        gpioInitialise() < 0) {
        return false;
    }
    openSensorLink(bench.link);
    return true;
}

// captureReadings as it would be without the stop flag; the clock never
// moves here, so neither progress nor the end test ever fires.
void loopWithoutStopFlag(LoopBench &bench)
{
    RawCapture &raw = bench.record.raw;
    AccelSample sample;
    int statusReports = 0;
    double t0 = time_time();
    raw.rawCount = bench.record.readingCapacity;
    for (int i = 0; i < bench.record.readingCapacity; ++i) {
        if (readSample(bench.link, sample) != sampleBytes) {
            return;
        }
        double elapsed = time_time() - t0;
        raw.rawT[i] = elapsed;
        raw.rawX[i] = sample.countX;
        raw.rawY[i] = sample.countY;
        raw.rawZ[i] = sample.countZ;
        if ((static_cast<double>(static_cast<float>(statusReports)) + 1.0) * tStatusReport < elapsed) {
            ++statusReports;
        }
        if (elapsed > bench.settings.durationSec) {
            raw.rawCount = i;
            break;
        }
    }
}

void captureLoopOnly(benchmark::State &state)
{
    bool withFlag = state.range(0) != 0;
    LoopBench bench{};
    if (!setUpLoop(bench)) {
        state.SkipWithError("set-up failed");
        return;
    }
    for (auto _ : state) {
        if (withFlag) {
            int deviceId = 0;
            benchmark::DoNotOptimize(captureReadings(bench.settings, bench.link, bench.record, deviceId));
        } else {
            loopWithoutStopFlag(bench);
        }
        benchmark::ClobberMemory();
    }
    gpioTerminate();
    state.SetItemsProcessed(state.iterations() * bench.record.readingCapacity);
    state.SetLabel(withFlag ? "with the stop-flag test" : "without it");
}
BENCHMARK(captureLoopOnly)->Arg(0)->Arg(1)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
