#include "resample.h"

void resampleNearest(const RawCapture &, int, double, ResampledSeries &)
{
}
