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
//
// Row 0 is grid time 0 with reading 0.  Row k has grid time
// (double)(float)k * samplePeriod and the earliest reading at or after the
// previous row's choice whose distance |rawT - grid time| is smallest; a
// reading replaces the previous choice only when strictly nearer.
//
// A sampleCount of 0 or less fills nothing.  With no valid reading
// (rawCount 0) every row gets its grid time and 0.0 for x, y and z; the raw
// arrays are not touched.
//
// Cost: linear in sampleCount + rawCount when the time stamps never step
// backwards; when they do, each row also costs a binary search per later
// ascending stretch of the record.
void resampleNearest(const RawCapture &raw, int sampleCount, double samplePeriod,
                     ResampledSeries &series);

#endif
