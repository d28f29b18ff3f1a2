#include "reference_resample.h"

#include <cmath>

#include "tuning.h"

void referenceResampleNearest(const RawCapture &raw, int sampleCount, double samplePeriod,
                              ResampledSeries &series)
{
    if (sampleCount <= 0) {
        return;
    }
    int j = 0;
    double tFound = raw.rawT[0];
    for (int k = 0; k < sampleCount; ++k) {
        double tTarget = 0.0;
        if (k > 0) {
            tTarget = static_cast<double>(static_cast<float>(k)) * samplePeriod;
            double best = std::fabs(tFound - tTarget);
            for (int pos = j; pos < raw.rawCount; ++pos) {
                double d = std::fabs(raw.rawT[pos] - tTarget);
                if (d < best) {
                    j = pos;
                    tFound = raw.rawT[pos];
                    best = d;
                }
            }
        }
        series.outT[k] = tTarget;
        series.outX[k] = raw.rawX[j] * accConversion;
        series.outY[k] = raw.rawY[j] * accConversion;
        series.outZ[k] = raw.rawZ[j] * accConversion;
    }
}
