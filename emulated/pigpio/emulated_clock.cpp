// Real and virtual clocks of the emulated library.
#include "emulated_clock.h"

#include <atomic>
#include <cerrno>
#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <ctime>

#include "pigpio_emulation.h"

namespace {

// Longest sleep or stall taken into account (about 31 years), so that huge
// requests cannot overflow the nanosecond arithmetic.
inline constexpr double longestWaitSec = 1e9;
// Below this much remaining wait the real clock spins instead of sleeping,
// so that short transfers keep their realistic length.
inline constexpr int64_t spinBelowNs = 2000000;

inline constexpr double secondsPerNano = 1e-9;
inline constexpr int halfBits = 32;
inline constexpr uint64_t lowHalfMask = 0xFFFFFFFFu;

// Whether the virtual clock is in use, and its time.  The thread that runs
// the transfers and sleeps is the only one that moves it (virtualNs is its
// own copy); other threads read it through hostMonotonicSec.  They get it
// as two 32-bit halves under a sequence count, odd while an update is under
// way, so that no reader sees half an update and no platform needs a lock
// for it (32-bit ARM without 64-bit atomics included).
std::atomic<bool> virtualMode{false};
int64_t virtualNs = 0;
std::atomic<uint32_t> virtualSequence{0};
std::atomic<uint32_t> virtualHigh{0};
std::atomic<uint32_t> virtualLow{0};
static_assert(std::atomic<uint32_t>::is_always_lock_free, "the virtual clock is read without a lock");
static_assert(std::atomic<bool>::is_always_lock_free, "the clock's mode is read without a lock");

double virtualStartSec = 0.0;

// The device time at which the process is killed, if armed.
bool killArmed = false;
int64_t killNs = 0;
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

// Read by the thread that moves the clock.
bool usingVirtual()
{
    return virtualMode.load(std::memory_order_relaxed);
}

void setVirtualNs(int64_t ns)
{
    virtualNs = ns;
    auto bits = static_cast<uint64_t>(ns);
    uint32_t sequence = virtualSequence.load(std::memory_order_relaxed);
    virtualSequence.store(sequence + 1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    virtualHigh.store(static_cast<uint32_t>(bits >> halfBits), std::memory_order_relaxed);
    virtualLow.store(static_cast<uint32_t>(bits & lowHalfMask), std::memory_order_relaxed);
    virtualSequence.store(sequence + 2, std::memory_order_release);
}

// The virtual clock's time as any thread may read it.
int64_t sharedVirtualNs()
{
    uint32_t before = 0;
    uint32_t after = 0;
    uint64_t bits = 0;
    do {
        before = virtualSequence.load(std::memory_order_acquire);
        bits = static_cast<uint64_t>(virtualHigh.load(std::memory_order_relaxed)) << halfBits |
               virtualLow.load(std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_acquire);
        after = virtualSequence.load(std::memory_order_relaxed);
    } while ((before & 1u) != 0 || before != after);
    return static_cast<int64_t>(bits);
}

bool killDueBy(int64_t deviceNs)
{
    return killArmed && deviceNs >= killNs;
}

// As a power cut or the out-of-memory killer: the process ends at once,
// nothing flushed, no handler run.
void killNow()
{
    std::raise(SIGKILL);
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
    virtualMode.store(false, std::memory_order_release);
    virtualStartSec = 0.0;
    setVirtualNs(0);
    sleptNs = 0;
    wallStepSec = 0.0;
    overheadNs = std::llround(emulatedDefaultOverheadSec * nanosPerSecond);
    zeroWire = false;
    killArmed = false;
}

void clockUseVirtual(double startSec)
{
    virtualStartSec = startSec;
    setVirtualNs(0);
    sleptNs = 0;
    virtualMode.store(true, std::memory_order_release);
}

void clockSetTransferTiming(double overheadSec, bool zeroWireTime)
{
    overheadNs = waitNs(overheadSec);
    zeroWire = zeroWireTime;
}

// Monotonic time of the device: never stepped by wall-clock changes.
int64_t clockDeviceNs()
{
    return usingVirtual() ? virtualNs : readClockNs(CLOCK_MONOTONIC);
}

// The same time in seconds, from any thread.
double clockMonotonicSec()
{
    int64_t ns =
        virtualMode.load(std::memory_order_acquire) ? sharedVirtualNs() : readClockNs(CLOCK_MONOTONIC);
    return static_cast<double>(ns) * secondsPerNano;
}

// The time pigpio's time_time reports: wall-clock seconds, including any
// injected steps of the system time.
double clockWallSec()
{
    if (usingVirtual())
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
    if (usingVirtual()) {
        int64_t slept = ns + std::llround(emulatedWakeLatencySec * nanosPerSecond);
        if (killDueBy(virtualNs + slept)) {
            setVirtualNs(std::max(virtualNs, killNs));
            killNow();
        }
        setVirtualNs(virtualNs + slept);
        sleptNs += slept;
        return;
    }
    int64_t startNs = readClockNs(CLOCK_MONOTONIC);
    if (killDueBy(startNs + ns)) {
        if (killNs > startNs)
            sleepRealNs(killNs - startNs);
        killNow();
    }
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

// The part of a transfer's library overhead that comes before its bytes
// reach the bus (the rest comes after they have gone): half of it.
int64_t clockLeadInNs()
{
    return overheadNs / 2;
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
    bool killed = killDueBy(deviceNs);
    int64_t untilNs = killed ? killNs : deviceNs;
    if (usingVirtual()) {
        if (untilNs > virtualNs)
            setVirtualNs(untilNs);
    } else {
        int64_t remaining = untilNs - readClockNs(CLOCK_MONOTONIC);
        if (remaining > spinBelowNs)
            sleepRealNs(remaining - spinBelowNs);
        while (readClockNs(CLOCK_MONOTONIC) < untilNs) {
        }
    }
    if (killed)
        killNow();
}

// A transfer that starts when the kill is due does not get to run.
void clockKillIfDue()
{
    if (killDueBy(clockDeviceNs()))
        killNow();
}

// Kill the process when a sleep or transfer reaches device time deviceSec.
// False for a time that is not finite or beyond the clock's range.
bool clockKillAt(double deviceSec)
{
    if (!(std::fabs(deviceSec) < longestWaitSec))
        return false;
    killArmed = true;
    killNs = std::llround(deviceSec * nanosPerSecond);
    return true;
}

void clockStepWall(double stepSec)
{
    if (std::isfinite(stepSec))
        wallStepSec += stepSec;
}
