// The sensor's own sample rate, measured against the host's clock: a
// least-squares line through (sample index, host time) observations, kept
// as running sums so that an hour of observations costs no memory.
#ifndef SHAKELOG_RATE_FIT_H
#define SHAKELOG_RATE_FIT_H

#include <cstdint>

struct RateFit {
    int64_t count;
    double firstIndex;  // the sums are of offsets from the first observation,
    double firstTime;   // which keeps them small enough to stay exact
    double meanIndex;
    double meanTime;
    double sumIndexIndex;  // sums of products of deviations from the means
    double sumIndexTime;
};

// Notes that sample `index` had arrived at host time `seconds`.
void addObservation(RateFit &fit, int64_t index, double seconds);

// True once two observations at distinct indices give a slope.
bool fitHasRate(const RateFit &fit);

// Samples per second, from the fit; nominalHz until it has a rate (or when
// the fit is plainly not a sample clock: not positive).
double fittedRateHz(const RateFit &fit, double nominalHz);

// The index the fit expects at host time `seconds` (nominalHz before it has
// a rate).
double expectedIndex(const RateFit &fit, double seconds, double nominalHz);

#endif
