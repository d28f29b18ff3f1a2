// When the emulated ADXL345's samples arrive: its sample clock, steady or
// drifting, in stretches from one restart of the count to the next.
#include <cmath>
#include <limits>

#include "adxl345.h"

namespace {

inline constexpr double nanosPerSecond = 1e9;
inline constexpr double secondsPerNano = 1e-9;
inline constexpr double pi = 3.141592653589793;
inline constexpr double twoPi = 2.0 * pi;
inline constexpr double fastestRateHz = 3200.0;

// Finding where a drifting clock reaches a sample: Newton's method, kept
// inside a bracket by bisection, to well under a nanosecond.
inline constexpr int solverIterations = 100;
inline constexpr int bracketWidenings = 64;
inline constexpr double solverToleranceSec = 1e-13;
inline constexpr double solverRelativeTolerance = 1e-15;
// The slowest a clock accepted by the controls runs within ten minutes (a
// fraction of nominal): how far the wander can move a sample in time.
inline constexpr double slowestRate = 1.0 - adxlMaxClockError;

bool isDrifting(const AdxlDrift &drift)
{
    return drift.rampPerSec != 0.0 || drift.wanderFraction != 0.0;
}

double nominalPeriodNs(const Adxl345 &device)
{
    int code = device.registers[adxlRegBwRate] & adxlBwRateCodeMask;
    return static_cast<double>(adxlFastestPeriodNs << (adxlFastestRateCode - code));
}

double nominalHz(const Adxl345 &device)
{
    int code = device.registers[adxlRegBwRate] & adxlBwRateCodeMask;
    return std::ldexp(fastestRateHz, code - adxlFastestRateCode);
}

AdxlSampleClock &currentClock(Adxl345 &device)
{
    return device.clocks[device.clockIndex];
}

const AdxlSampleClock &currentClock(const Adxl345 &device)
{
    return device.clocks[device.clockIndex];
}

// The stretch that times sample k: the latest that began at or before it,
// or none when k is older than all the device remembers.
const AdxlSampleClock *clockOfSample(const Adxl345 &device, int64_t k)
{
    for (int back = 0; back < device.clocksKept; ++back) {
        int index = (device.clockIndex - back + adxlClockHistory) % adxlClockHistory;
        if (device.clocks[index].firstSample <= k)
            return &device.clocks[index];
    }
    return nullptr;
}

// The drifting clock's fraction off nominal, s seconds after the first
// Measure.
double fractionOffNominal(const AdxlSampleClock &clock, double s)
{
    const AdxlDrift &drift = clock.drift;
    double fraction = clock.clockError + drift.rampPerSec * s;
    if (drift.wanderFraction != 0.0)
        fraction += drift.wanderFraction * std::sin(twoPi * s / drift.wanderPeriodSec);
    return fraction;
}

// The nominal periods a drifting clock counts from the first Measure to s
// seconds after it: its rate integrated.
double cyclesAt(const AdxlSampleClock &clock, double s)
{
    const AdxlDrift &drift = clock.drift;
    double seconds = (1.0 + clock.clockError) * s + 0.5 * drift.rampPerSec * s * s;
    if (drift.wanderFraction != 0.0) {
        double radiansPerSec = twoPi / drift.wanderPeriodSec;
        seconds += drift.wanderFraction * (1.0 - std::cos(radiansPerSec * s)) / radiansPerSec;
    }
    return clock.nominalHz * seconds;
}

// Where a drifting clock has counted cycles, in seconds since the first
// Measure.  The start is where it would be without its wander (the ramp's
// quadratic solved), which the wander moves by at most its bracket.
double secondsAtCycles(const AdxlSampleClock &clock, double cycles)
{
    const AdxlDrift &drift = clock.drift;
    double nominalSec = cycles / clock.nominalHz;
    double linear = 1.0 + clock.clockError;
    double discriminant = linear * linear + 2.0 * drift.rampPerSec * nominalSec;
    double s = 2.0 * nominalSec / (linear + std::sqrt(std::fmax(discriminant, 0.0)));

    double reach = 2.0 * std::fabs(drift.wanderFraction) * drift.wanderPeriodSec / (pi * slowestRate) +
                   1.0 / clock.nominalHz;
    double low = s - reach;
    double high = s + reach;
    for (int i = 0; i < bracketWidenings && cyclesAt(clock, low) > cycles; ++i)
        low -= reach * std::ldexp(1.0, i);
    for (int i = 0; i < bracketWidenings && cyclesAt(clock, high) < cycles; ++i)
        high += reach * std::ldexp(1.0, i);

    for (int i = 0; i < solverIterations; ++i) {
        double error = cyclesAt(clock, s) - cycles;
        if (error == 0.0)
            return s;
        if (error < 0.0)
            low = s;
        else
            high = s;
        double next = s - error / (clock.nominalHz * (1.0 + fractionOffNominal(clock, s)));
        if (!(next > low && next < high))
            next = 0.5 * (low + high);
        if (std::fabs(next - s) <= solverToleranceSec + solverRelativeTolerance * std::fabs(s))
            return next;
        s = next;
    }
    return s;
}

// Arrival of sample k in nanoseconds after device time refNs, by the
// stretch that times it.  A steady clock's is exact in whole nanoseconds at
// the nominal rate.
double arrivalAfterNs(const Adxl345 &device, const AdxlSampleClock &clock, int64_t k, int64_t refNs)
{
    if (!clock.drifting)
        return static_cast<double>(clock.epochNs - refNs) +
               (clock.firstDelayNs + static_cast<double>(k - clock.firstSample) * clock.periodNs);
    double sinceOriginSec = secondsAtCycles(clock, clock.cycleBase + static_cast<double>(k));
    return static_cast<double>(device.originNs - refNs) + sinceOriginSec * nanosPerSecond;
}

// A new stretch from the next sample on, timed by the device's rate and
// clock settings as they are now.  A stretch in which no sample arrived is
// replaced rather than remembered.
AdxlSampleClock &beginStretch(Adxl345 &device, int64_t nowNs)
{
    if (device.clocksKept == 0) {
        device.clocksKept = 1;
    } else if (currentClock(device).firstSample != device.samplesProduced) {
        device.clockIndex = (device.clockIndex + 1) % adxlClockHistory;
        if (device.clocksKept < adxlClockHistory)
            ++device.clocksKept;
    }
    AdxlSampleClock &clock = currentClock(device);
    clock = AdxlSampleClock{};
    clock.firstSample = device.samplesProduced;
    clock.epochNs = nowNs;
    clock.periodNs = adxlSteadyPeriodNs(device);
    clock.drifting = isDrifting(device.drift);
    clock.nominalHz = nominalHz(device);
    clock.clockError = device.clockError;
    clock.drift = device.drift;
    return clock;
}

// A new stretch at device.lastNs whose first sample arrives dueAfterNs
// later, on either clock: the sample already due keeps its time.
void restartAtDueSample(Adxl345 &device, double dueAfterNs)
{
    AdxlSampleClock &clock = beginStretch(device, device.lastNs);
    clock.firstDelayNs = dueAfterNs;
    if (clock.drifting) {
        double dueSec =
            (static_cast<double>(device.lastNs - device.originNs) + dueAfterNs) * secondsPerNano;
        clock.cycleBase = cyclesAt(clock, dueSec) - static_cast<double>(clock.firstSample);
    }
}

// The largest fraction off nominal a clock error and a drift can reach
// within ten minutes of the first Measure (a bound: the wander taken at its
// peak).
double largestFractionInHorizon(double clockError, const AdxlDrift &drift)
{
    double rampedError = clockError + drift.rampPerSec * adxlDriftHorizonSec;
    return std::fmax(std::fabs(clockError), std::fabs(rampedError)) + std::fabs(drift.wanderFraction);
}

// New clock settings.  While measuring, the sample already due keeps its
// time and the new settings count from it.
void changeClock(Adxl345 &device, double clockError, const AdxlDrift &drift)
{
    if (!device.measuring) {
        device.clockError = clockError;
        device.drift = drift;
        return;
    }
    adxlAdvance(device, device.lastNs);
    double dueAfterNs =
        arrivalAfterNs(device, currentClock(device), device.samplesProduced, device.lastNs);
    device.clockError = clockError;
    device.drift = drift;
    restartAtDueSample(device, dueAfterNs);
}

}  // namespace

// The time between samples on a clock that does not drift.  At the nominal
// rate it is a whole number of nanoseconds, so that the sample times are
// exact.
double adxlSteadyPeriodNs(const Adxl345 &device)
{
    return nominalPeriodNs(device) / (1.0 + device.clockError);
}

// From the Measure write to the first sample: the start phase within one
// period, a phase of 0 meaning a whole period.
double adxlFirstDelayAfterMeasureNs(const Adxl345 &device)
{
    double period = adxlSteadyPeriodNs(device);
    double delay = std::fmod(static_cast<double>(device.startPhaseNs), period);
    return delay > 0.0 ? delay : period;
}

// Start counting samples afresh at nowNs, the index running on: the next
// sample arrives firstDelayNs later on a steady clock, and after as many of
// its steady periods' worth of cycles on a drifting one (so that the first
// sample after the first Measure arrives exactly where the integrated rate
// reaches one sample, or the start phase's share of one).
void adxlRestartCounting(Adxl345 &device, int64_t nowNs, double firstDelayNs)
{
    AdxlSampleClock &clock = beginStretch(device, nowNs);
    clock.firstDelayNs = firstDelayNs;
    if (clock.drifting) {
        double nowSec = static_cast<double>(nowNs - device.originNs) * secondsPerNano;
        clock.cycleBase = cyclesAt(clock, nowSec) + firstDelayNs / clock.periodNs -
                          static_cast<double>(clock.firstSample);
    }
}

// How many samples have arrived by nowNs (those of earlier stretches
// included).  A drifting clock's count is settled on the arrival times
// themselves, so that it agrees with them to the last bit.
int64_t adxlSamplesArrivedBy(const Adxl345 &device, int64_t nowNs)
{
    const AdxlSampleClock &clock = currentClock(device);
    if (!clock.drifting) {
        double sinceFirst = static_cast<double>(nowNs - clock.epochNs) - clock.firstDelayNs;
        if (sinceFirst < 0.0)
            return clock.firstSample;
        return clock.firstSample + static_cast<int64_t>(sinceFirst / clock.periodNs) + 1;
    }
    double sinceOriginNs = static_cast<double>(nowNs - device.originNs);
    double cycles = cyclesAt(clock, sinceOriginNs * secondsPerNano) - clock.cycleBase;
    int64_t arrived = clock.firstSample;
    if (cycles >= static_cast<double>(clock.firstSample))
        arrived = static_cast<int64_t>(std::floor(cycles)) + 1;
    while (arrived > clock.firstSample &&
           arrivalAfterNs(device, clock, arrived - 1, device.originNs) > sinceOriginNs)
        --arrived;
    while (arrivalAfterNs(device, clock, arrived, device.originNs) <= sinceOriginNs)
        ++arrived;
    return arrived;
}

// Motion time of sample k: its arrival time since the first Measure.
double adxlSampleMotionSec(const Adxl345 &device, int64_t k)
{
    const AdxlSampleClock *clock = clockOfSample(device, k);
    if (clock == nullptr)
        return std::numeric_limits<double>::quiet_NaN();
    return arrivalAfterNs(device, *clock, k, device.originNs) * secondsPerNano;
}

// Device time, in nanoseconds, at which sample k (from 0 at the first
// Measure) arrives or will arrive if nothing changes; NaN before the first
// Measure and for samples older than the stretches remembered.
double adxlSampleArrivalNs(const Adxl345 &device, int64_t k)
{
    const AdxlSampleClock *clock = device.originSet && k >= 0 ? clockOfSample(device, k) : nullptr;
    if (clock == nullptr)
        return std::numeric_limits<double>::quiet_NaN();
    return arrivalAfterNs(device, *clock, k, 0);
}

// The device's time base jumped to nowNs (the bus switched clocks): shift
// the timing state so that sampling carries on as if no time had passed.
void adxlRestartClock(Adxl345 &device, int64_t nowNs)
{
    int64_t shift = nowNs - device.lastNs;
    for (AdxlSampleClock &clock : device.clocks)
        clock.epochNs += shift;
    device.originNs += shift;
    device.fifo.popNs += shift;
    device.lastNs = nowNs;
}

// The sample clock runs fractionOffNominal fast (negative: slow), its drift
// added.
bool adxlSetClockError(Adxl345 &device, double fractionOffNominal)
{
    if (!(largestFractionInHorizon(fractionOffNominal, device.drift) < adxlMaxClockError))
        return false;
    changeClock(device, fractionOffNominal, device.drift);
    return true;
}

// From now on the clock's fraction off nominal, s seconds after the first
// Measure, is its clock error + rampPerSec * s + wanderFraction * sin(2 pi s
// / wanderPeriodSec).  Refused where that could leave +-adxlMaxClockError
// within ten minutes, or for a wander without a positive period.
bool adxlSetDrift(Adxl345 &device, double rampPerSec, double wanderFraction, double wanderPeriodSec)
{
    if (!std::isfinite(rampPerSec) || !std::isfinite(wanderFraction) || !std::isfinite(wanderPeriodSec))
        return false;
    if (wanderFraction != 0.0 && !(wanderPeriodSec > 0.0))
        return false;
    AdxlDrift drift{rampPerSec, wanderFraction, wanderFraction != 0.0 ? wanderPeriodSec : 0.0};
    if (!(largestFractionInHorizon(device.clockError, drift) < adxlMaxClockError))
        return false;
    changeClock(device, device.clockError, drift);
    return true;
}

// Where in its period the sample clock stands when Measure is next set:
// the first sample follows ns later (taken modulo the period).
bool adxlSetStartPhase(Adxl345 &device, int64_t ns)
{
    if (ns < 0)
        return false;
    device.startPhaseNs = ns;
    return true;
}
