// What the spidev path costs per transfer on top of the bus: the program's
// 7-byte read through pigpio's functions over the kernel interface, answered
// by the stand-in for the driver with no wire time, against the emulated
// pigpio bus with free transfers; and one real ioctl system call, the part
// of the cost on a Pi that the stand-in leaves out.  A 7-byte read at 2 MHz
// is 28 us on the wire.
#include <benchmark/benchmark.h>

#include <chrono>
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/spi/spidev.h>
#include <unistd.h>

#include <pigpio.h>

#include "pigpio_emulation.h"
#include "sensor_link.h"
#include "spidev_emulation.h"

// The emulated pigpio library, its seven functions renamed (bench/CMakeLists.txt).
extern "C" {
int emulatedBusInitialise(void);
int emulatedBusSpiOpen(unsigned spiChan, unsigned baud, unsigned spiFlags);
int emulatedBusSpiXfer(unsigned handle, char *txBuf, char *rxBuf, unsigned count);
}

namespace {

inline constexpr double wireTimeNs = 28000.0;  // 56 clock cycles at 2 MHz
inline constexpr int batch = 20000;

char readCommand[sampleBytes] = {static_cast<char>(0xF2)};

int openEmulatedBus()
{
    emulatedReset();
    emulatedSetQuiet(true);
    emulatedUseVirtualClock(0.0);
    emulatedSetTransferTiming(0.0, true);
    emulatedBusInitialise();
    return emulatedBusSpiOpen(0, 2000000, 3);
}

int openSpidev()
{
    gpioTerminate();
    spidevEmulationReset();
    spidevEmulationSetWireTime(false);
    return spiOpen(0, 2000000, 3);
}

void emulatedBusTransfer(benchmark::State &state)
{
    auto handle = static_cast<unsigned>(openEmulatedBus());
    for (auto _ : state)
        benchmark::DoNotOptimize(emulatedBusSpiXfer(handle, readCommand, readCommand, sampleBytes));
}
BENCHMARK(emulatedBusTransfer);

void spidevTransfer(benchmark::State &state)
{
    auto handle = static_cast<unsigned>(openSpidev());
    for (auto _ : state)
        benchmark::DoNotOptimize(spiXfer(handle, readCommand, readCommand, sampleBytes));
}
BENCHMARK(spidevTransfer);

// The program's own read (command bits, transfer, decoding) on spidev.
void spidevProgramRead(benchmark::State &state)
{
    SensorLink link{};
    link.handle = openSpidev();
    AccelSample sample{};
    for (auto _ : state)
        benchmark::DoNotOptimize(readSample(link, sample));
}
BENCHMARK(spidevProgramRead);

// One ioctl the kernel answers at once (ENOTTY from /dev/null): the system
// call's own price, without the SPI controller.
using IoctlFunction = int(int, unsigned long, ...);

void realIoctlSystemCall(benchmark::State &state)
{
    auto *realIoctl = reinterpret_cast<IoctlFunction *>(dlsym(RTLD_NEXT, "ioctl"));
    int fd = open("/dev/null", O_RDWR | O_CLOEXEC);
    spi_ioc_transfer xfer{};
    for (auto _ : state)
        benchmark::DoNotOptimize(realIoctl(fd, SPI_IOC_MESSAGE(1), &xfer));
    close(fd);
}
BENCHMARK(realIoctlSystemCall);

template <typename Transfer>
double nanosPerTransfer(Transfer transfer)
{
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < batch; ++i)
        benchmark::DoNotOptimize(transfer());
    std::chrono::duration<double, std::nano> spent = std::chrono::steady_clock::now() - start;
    return spent.count() / batch;
}

// Both paths in alternating batches, so that the ratio comes from one
// stretch of a shared machine.
void spidevAgainstEmulatedBus(benchmark::State &state)
{
    auto busHandle = static_cast<unsigned>(openEmulatedBus());
    auto spidevHandle = static_cast<unsigned>(openSpidev());
    double busNs = 0.0;
    double spidevNs = 0.0;
    for (auto _ : state) {
        busNs += nanosPerTransfer(
            [&] { return emulatedBusSpiXfer(busHandle, readCommand, readCommand, sampleBytes); });
        spidevNs += nanosPerTransfer(
            [&] { return spiXfer(spidevHandle, readCommand, readCommand, sampleBytes); });
    }
    auto rounds = static_cast<double>(state.iterations());
    state.counters["emulated_bus_ns"] = busNs / rounds;
    state.counters["spidev_ns"] = spidevNs / rounds;
    state.counters["ratio"] = spidevNs / busNs;
    state.counters["spidev_share_of_28us_pct"] = 100.0 * spidevNs / rounds / wireTimeNs;
}
BENCHMARK(spidevAgainstEmulatedBus)->Iterations(50)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
