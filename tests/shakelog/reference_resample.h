// The nearest-reading rule written out plainly, scanning every remaining
// reading for every row.  Tests hold the fast resampler to it and the
// benchmarks time it.
#ifndef SHAKELOG_REFERENCE_RESAMPLE_H
#define SHAKELOG_REFERENCE_RESAMPLE_H

#include "resample.h"

// Same contract as resampleNearest when rawCount >= 1.  It reads raw entry 0
// for any row, so it must not be given an empty record with rows to fill.
void referenceResampleNearest(const RawCapture &raw, int sampleCount, double samplePeriod,
                              ResampledSeries &series);

#endif
