// The device controls both bus stand-ins offer to tests and benchmarks, in
// their units (seconds), with a refusal told on standard error under the
// stand-in's name.
#include <cmath>
#include <cstdio>

#include "adxl345.h"

namespace {

inline constexpr double nanosPerSecond = 1e9;

}  // namespace

void adxlControlClockError(Adxl345 &device, const char *standIn, double fractionOffNominal)
{
    if (!adxlSetClockError(device, fractionOffNominal))
        std::fprintf(stderr, "%s: sample clock error %g refused\n", standIn, fractionOffNominal);
}

void adxlControlDrift(Adxl345 &device, const char *standIn, double rampPerSec, double wanderFraction,
                      double wanderPeriodSec)
{
    if (!adxlSetDrift(device, rampPerSec, wanderFraction, wanderPeriodSec))
        std::fprintf(stderr, "%s: sample clock drift of %g per second, wander %g over %g s refused\n",
                     standIn, rampPerSec, wanderFraction, wanderPeriodSec);
}

void adxlControlStartPhase(Adxl345 &device, const char *standIn, double seconds)
{
    bool representable = std::isfinite(seconds) && std::fabs(seconds) < adxlLongestPhaseSec;
    if (!representable || !adxlSetStartPhase(device, std::llround(seconds * nanosPerSecond)))
        std::fprintf(stderr, "%s: start phase %g s refused\n", standIn, seconds);
}

void adxlControlTone(Adxl345 &device, const char *standIn, int axis, double amplitudeG, double hz)
{
    if (!adxlSetTone(device, axis, amplitudeG, hz))
        std::fprintf(stderr, "%s: tone of %g g at %g Hz on axis %d refused\n", standIn, amplitudeG, hz,
                     axis);
}

void adxlControlNoiseCounts(Adxl345 &device, const char *standIn, int counts)
{
    if (!adxlSetNoiseCounts(device, counts))
        std::fprintf(stderr, "%s: noise of %d counts refused\n", standIn, counts);
}

void adxlControlSelfTestShift(Adxl345 &device, int x, int y, int z)
{
    adxlSetSelfTestShift(device, x, y, z);
}
