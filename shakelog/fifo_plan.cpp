#include "fifo_plan.h"

#include "fifo_link.h"

FifoPlan planFifoCapture(const RunSettings &settings, uint8_t rateCode, int halfTaps, double measureSec)
{
    FifoPlan plan{};
    plan.rateCode = rateCode;
    plan.sampleHz = rateCodeHz(rateCode);
    plan.rowHz = settings.rateHz;
    plan.sampleCount = settings.sampleCount;
    plan.durationSec = settings.durationSec;
    plan.halfTaps = halfTaps;
    plan.startSec = measureSec;
    plan.measureSec = measureSec;
    // The filter reaches halfTaps samples to either side of a row; a few
    // more allow for a clock that runs slow.
    double reachSec = (halfTaps + 1) / (plan.sampleHz * (1 - slowClockShare));
    plan.rowZeroSec = measureSec + sensorTurnOnSec + 1 / plan.sampleHz + reachSec;
    plan.endSec = rowSec(plan, plan.sampleCount - 1) + reachSec + clockTailSec;
    return plan;
}

double rowSec(const FifoPlan &plan, int64_t row)
{
    return plan.rowZeroSec + static_cast<double>(row) / plan.rowHz;
}
