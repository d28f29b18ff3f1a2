// The band-limited value of the sensor's samples at any fractional sample
// position: a Kaiser-windowed sinc, evaluated at each row's own instant on
// the tracked sample clock, so that a clock that drifts moves every row to
// its true time.  The filter passes up to 90 % of the rows' Nyquist
// frequency (of the samples' where they come slower than the rows) and
// stops from 100 % on by filterStopbandDb; it is symmetric, so it delays
// nothing, and reaches halfTaps samples to either side.
#ifndef SHAKELOG_BAND_LIMIT_H
#define SHAKELOG_BAND_LIMIT_H

inline constexpr double filterPassbandShare = 0.90;
inline constexpr double filterStopbandDb = 100.0;
// The filter is tabulated at this many positions between two samples and
// interpolated linearly between them.
inline constexpr int filterPhases = 512;
// The longest filter: the slowest rows from the fastest samples.
inline constexpr int filterMaxHalfTaps = 1024;

struct BandLimit {
    int halfTaps;  // taps at offsets -halfTaps + 1 .. halfTaps from the position's floor
    double passbandHz;
    double stopbandHz;
    float *table;  // (2 * halfTaps) taps for each of filterPhases + 1 phases
};

// Designs the filter for samples at sampleHz and rows at rowHz; false when
// its table cannot be had.
bool designBandLimit(double sampleHz, double rowHz, BandLimit &filter);

void releaseBandLimit(BandLimit &filter);

// The weights of the samples floor(position) - halfTaps + 1 .. floor(position)
// + halfTaps for the value at position, into weights (2 * halfTaps of them),
// normalised to sum to one so that a constant comes through exactly.
void bandLimitWeights(const BandLimit &filter, double position, double *weights);

#endif
