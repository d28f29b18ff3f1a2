// Resampling of the raw capture onto the regular time grid of the requested rate.
#ifndef SHAKELOG_RESAMPLE_H
#define SHAKELOG_RESAMPLE_H

// Readings in acquisition order: seconds from the start of the capture to the
// instant just after each read, and acceleration in g.  Only the first
// rawCount entries are valid.
struct RawCapture {
    double *rawT;
    double *rawX;
    double *rawY;
    double *rawZ;
    int rawCount;
};

// One row per grid point: the grid time and the chosen reading's values.
struct ResampledSeries {
    double *outT;
    double *outX;
    double *outY;
    double *outZ;
};

// Fills sampleCount rows spaced samplePeriod apart, each with the raw reading
// nearest in time that is not earlier than the previous row's reading.
void resampleNearest(const RawCapture &raw, int sampleCount, double samplePeriod,
                     ResampledSeries &series);

#endif
