// Resampling of the raw capture onto the regular time grid of the requested rate.
#ifndef SHAKELOG_RESAMPLE_H
#define SHAKELOG_RESAMPLE_H

#include <cstdint>

// Readings in acquisition order: seconds from the start of the capture to the
// instant just after each read, and the sensor's signed counts on each axis
// (accConversion g each).  Counts take a quarter of the room of values in g,
// and count * accConversion is exact in a double, so the rows come out the
// same as from values converted at the read.  Only the first rawCount
// entries are valid.
struct RawCapture {
    double *rawT;
    int16_t *rawX;
    int16_t *rawY;
    int16_t *rawZ;
    int rawCount;
};

// One row per grid point: the grid time and the chosen reading's values in g.
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

// How many of the first sampleCount rows have a grid time no later than the
// last valid reading's time stamp: the rows a record cut short can fill
// without running past its end.  0 without readings.
int rowsWithinSpan(const RawCapture &raw, int sampleCount, double samplePeriod);

#endif
