#include "band_limit.h"

#include <cmath>
#include <cstddef>

#include "capture_memory.h"

namespace {

inline constexpr double pi = 3.14159265358979323846;

// Kaiser's formulas for a window that keeps the stopband filterStopbandDb
// down: its shape parameter, and the length a transition band of
// `transition` (cycles per sample) needs.
double kaiserBeta()
{
    return 0.1102 * (filterStopbandDb - 8.7);
}

int kaiserLength(double transition)
{
    return static_cast<int>(std::ceil((filterStopbandDb - 7.95) / (14.36 * transition))) + 1;
}

// The modified Bessel function of order 0, by the polynomial
// approximations of Abramowitz and Stegun (9.8.1, 9.8.2): relative error
// below 2e-7, far below what a float table keeps.
double besselI0(double x)
{
    double ax = std::fabs(x);
    if (ax < 3.75) {
        double y = (x / 3.75) * (x / 3.75);
        return 1.0 + y * (3.5156229 +
                          y * (3.0899424 +
                               y * (1.2067492 + y * (0.2659732 + y * (0.0360768 + y * 0.0045813)))));
    }
    double y = 3.75 / ax;
    return std::exp(ax) / std::sqrt(ax) *
           (0.39894228 +
            y * (0.01328592 +
                 y * (0.00225319 +
                      y * (-0.00157565 +
                           y * (0.00916281 +
                                y * (-0.02057706 +
                                     y * (0.02635537 + y * (-0.01647633 + y * 0.00392377))))))));
}

// The windowed sinc at x samples from the position, for a cutoff of
// cutoff cycles per sample, reaching halfTaps samples.
double kernel(double x, double cutoff, int halfTaps, double beta, double windowScale)
{
    double u = x / halfTaps;
    if (std::fabs(u) >= 1) {
        return 0;
    }
    double arg = 2 * cutoff * x;
    double sinc = std::fabs(arg) < 1e-12 ? 1 : std::sin(pi * arg) / (pi * arg);
    return 2 * cutoff * sinc * besselI0(beta * std::sqrt(1 - u * u)) * windowScale;
}

}  // namespace

bool designBandLimit(double sampleHz, double rowHz, BandLimit &filter)
{
    filter = BandLimit{};
    double edge = std::fmin(rowHz, sampleHz) / 2;
    filter.passbandHz = filterPassbandShare * edge;
    filter.stopbandHz = edge;
    double transition = (filter.stopbandHz - filter.passbandHz) / sampleHz;
    double cutoff = (filter.passbandHz + filter.stopbandHz) / 2 / sampleHz;
    int length = kaiserLength(transition);
    filter.halfTaps = (length + 1) / 2;
    if (filter.halfTaps > filterMaxHalfTaps) {
        return false;
    }
    int taps = 2 * filter.halfTaps;
    size_t entries = static_cast<size_t>(filterPhases + 1) * static_cast<size_t>(taps);
    filter.table = static_cast<float *>(reserveArray(entries, sizeof(float)));
    if (filter.table == nullptr) {
        return false;
    }
    double beta = kaiserBeta();
    double windowScale = 1 / besselI0(beta);
    for (int phase = 0; phase <= filterPhases; ++phase) {
        double fraction = static_cast<double>(phase) / filterPhases;
        float *row = filter.table + static_cast<size_t>(phase) * static_cast<size_t>(taps);
        for (int tap = 0; tap < taps; ++tap) {
            int offset = tap - filter.halfTaps + 1;  // sample floor(position) + offset
            row[tap] = static_cast<float>(
                kernel(fraction - offset, cutoff, filter.halfTaps, beta, windowScale));
        }
    }
    return true;
}

void releaseBandLimit(BandLimit &filter)
{
    releaseArray(filter.table, static_cast<size_t>(filterPhases + 1) * 2 * filter.halfTaps,
                 sizeof(float));
    filter.table = nullptr;
}

void bandLimitWeights(const BandLimit &filter, double position, double *weights)
{
    int taps = 2 * filter.halfTaps;
    double fraction = (position - std::floor(position)) * filterPhases;
    int phase = static_cast<int>(fraction);
    if (phase >= filterPhases) {
        phase = filterPhases - 1;
    }
    double blend = fraction - phase;
    const float *low = filter.table + static_cast<size_t>(phase) * static_cast<size_t>(taps);
    const float *high = low + taps;
    double sum = 0;
    for (int tap = 0; tap < taps; ++tap) {
        weights[tap] = low[tap] + (high[tap] - low[tap]) * blend;
        sum += weights[tap];
    }
    for (int tap = 0; tap < taps; ++tap) {
        weights[tap] /= sum;
    }
}
