// Real and virtual clocks of the emulated library.
#include "emulated_clock.h"

#include <cerrno>
#include <cmath>
#include <ctime>

#include "pigpio_emulation.h"

namespace {

// Longest sleep or stall taken into account (about 31 years), so that huge
// requests cannot overflow the nanosecond arithmetic.
inline constexpr double longestWaitSec = 1e9;
// Below this much remaining wait the real clock spins instead of sleeping,
// so that short transfers keep their realistic length.
inline constexpr int64_t spinBelowNs = 2000000;

bool virtualMode = false;
double virtualStartSec = 0.0;
int64_t virtualNs = 0;
int64_t sleptNs = 0;  // virtual time spent in sleeps
double wallStepSec = 0.0;
int64_t overheadNs = std::llround(emulatedDefaultOverheadSec * nanosPerSecond);
bool zeroWire = false;

// Seconds to nanoseconds for waits: NaN and negative give 0, huge values
// are capped.
int64_t waitNs(double seconds)
{
    if (!(seconds > 0.0))
        return 0;
    return std::llround(std::fmin(seconds, longestWaitSec) * nanosPerSecond);
}

int64_t readClockNs(clockid_t clock)
{
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<int64_t>(now.tv_sec) * nanosPerSecond + now.tv_nsec;
}

void sleepRealNs(int64_t ns)
{
    timespec request{static_cast<time_t>(ns / nanosPerSecond), static_cast<long>(ns % nanosPerSecond)};
    timespec remaining{};
    while (nanosleep(&request, &remaining) != 0 && errno == EINTR)
        request = remaining;
}

}  // namespace

void clockReset()
{
    virtualMode = false;
    virtualStartSec = 0.0;
    virtualNs = 0;
    sleptNs = 0;
    wallStepSec = 0.0;
    overheadNs = std::llround(emulatedDefaultOverheadSec * nanosPerSecond);
    zeroWire = false;
}

void clockUseVirtual(double startSec)
{
    virtualMode = true;
    virtualStartSec = startSec;
    virtualNs = 0;
    sleptNs = 0;
}

void clockSetTransferTiming(double overheadSec, bool zeroWireTime)
{
    overheadNs = waitNs(overheadSec);
    zeroWire = zeroWireTime;
}

// Monotonic time of the device: never stepped by wall-clock changes.
int64_t clockDeviceNs()
{
    return virtualMode ? virtualNs : readClockNs(CLOCK_MONOTONIC);
}

// The time pigpio's time_time reports: wall-clock seconds, including any
// injected steps of the system time.
double clockWallSec()
{
    if (virtualMode)
        return virtualStartSec + static_cast<double>(virtualNs) / nanosPerSecond + wallStepSec;
    return static_cast<double>(readClockNs(CLOCK_REALTIME)) / nanosPerSecond + wallStepSec;
}

// As pigpio, a sleep of zero or less (or NaN) returns at once.  On the
// virtual clock a real sleep also costs the wake-up latency of the process.
double clockSleptSec()
{
    return static_cast<double>(sleptNs) / nanosPerSecond;
}

void clockSleep(double seconds)
{
    int64_t ns = waitNs(seconds);
    if (ns == 0)
        return;
    if (virtualMode) {
        int64_t slept = ns + std::llround(emulatedWakeLatencySec * nanosPerSecond);
        virtualNs += slept;
        sleptNs += slept;
    } else
        sleepRealNs(ns);
}

// Length of a transfer: the bytes on the wire at the baud rate, the library
// overhead, and any injected stall.
int64_t clockTransferNs(size_t bytes, unsigned baud, double extraSec)
{
    int64_t wireNs = 0;
    if (!zeroWire && baud > 0) {
        int64_t bits = static_cast<int64_t>(bytes) * bitsPerSpiByte;
        wireNs = (bits * nanosPerSecond + baud / 2) / baud;
    }
    return overheadNs + wireNs + waitNs(extraSec);
}

// Whether transfers take their time on the wire (the device times its
// FIFO pops by it).
bool clockWireTakesTime()
{
    return !zeroWire;
}

// Let device time reach deviceNs: the virtual clock jumps there, the real
// one is waited for (sleeping through long waits, spinning through short
// ones, as the transfer would keep the process busy).
void clockWaitUntil(int64_t deviceNs)
{
    if (virtualMode) {
        if (deviceNs > virtualNs)
            virtualNs = deviceNs;
        return;
    }
    int64_t remaining = deviceNs - readClockNs(CLOCK_MONOTONIC);
    if (remaining > spinBelowNs)
        sleepRealNs(remaining - spinBelowNs);
    while (readClockNs(CLOCK_MONOTONIC) < deviceNs) {
    }
}

void clockStepWall(double stepSec)
{
    if (std::isfinite(stepSec))
        wallStepSec += stepSec;
}
