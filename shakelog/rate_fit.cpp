#include "rate_fit.h"

void addObservation(RateFit &fit, int64_t index, double seconds)
{
    if (fit.count == 0) {
        fit.firstIndex = static_cast<double>(index);
        fit.firstTime = seconds;
    }
    double i = static_cast<double>(index) - fit.firstIndex;
    double t = seconds - fit.firstTime;
    // Welford's update: exact enough over millions of observations, where
    // sums of squares would cancel.
    ++fit.count;
    double n = static_cast<double>(fit.count);
    double deltaIndex = i - fit.meanIndex;
    fit.meanIndex += deltaIndex / n;
    fit.meanTime += (t - fit.meanTime) / n;
    fit.sumIndexIndex += deltaIndex * (i - fit.meanIndex);
    fit.sumIndexTime += deltaIndex * (t - fit.meanTime);
}

bool fitHasRate(const RateFit &fit)
{
    return fit.count >= 2 && fit.sumIndexIndex > 0 && fit.sumIndexTime > 0;
}

double fittedRateHz(const RateFit &fit, double nominalHz)
{
    return fitHasRate(fit) ? fit.sumIndexIndex / fit.sumIndexTime : nominalHz;
}

double expectedIndex(const RateFit &fit, double seconds, double nominalHz)
{
    if (fit.count == 0) {
        return 0;
    }
    double rate = fittedRateHz(fit, nominalHz);
    return fit.firstIndex + fit.meanIndex + (seconds - fit.firstTime - fit.meanTime) * rate;
}
