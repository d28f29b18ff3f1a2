// The capture loop's speed and the memory a capture really takes.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "pigpio_emulation.h"
#include "run_captured.h"

namespace {

// Transfers that take no time on a clock that does not move: the loop runs
// until the raw record is full, 100000 readings per second of duration, so
// what is measured is the loop itself (transfer call, clock read, stores).
void captureLoop(benchmark::State &state)
{
    const long readings = 100000;
    for (auto _ : state) {
        emulatedReset();
        emulatedSetQuiet(true);
        emulatedUseVirtualClock(0.0);
        emulatedSetTransferTiming(0.0, true);
        if (runShakelogCaptured({"-t", "1", "-f", "1", "-s", "/dev/null"}).status != 0) {
            state.SkipWithError("capture failed");
        }
    }
    state.SetItemsProcessed(state.iterations() * readings);
}
BENCHMARK(captureLoop)->Unit(benchmark::kMillisecond);

// Peak resident memory of a child process after a 10-second capture at
// 3200 Hz on the virtual clock with realistic transfer timing, against the
// bytes the readings themselves need (32 per raw reading and per row).
long childPeakKilobytes(bool capture, long &readings)
{
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0) {
        return -1;
    }
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
    state.counters["needed_MB"] = (readings + 32000) * 32 / megabyte;
    state.counters["reserved_MB"] = (1000000.0 + 32000) * 32 / megabyte;
    state.counters["peak_growth_MB"] = (peak - baseline) * 1024.0 / megabyte;
}
BENCHMARK(capturePeakMemory)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
