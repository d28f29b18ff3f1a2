// The timing of a capture through the FIFO, fixed when the sensor starts
// measuring: the data rate, when row 0 lies, and how long the samples must
// run for the filter to see real samples on both sides of every row.
#ifndef SHAKELOG_FIFO_PLAN_H
#define SHAKELOG_FIFO_PLAN_H

#include <cstdint>

#include "command_line.h"

// From the measure bit to the first sample: the turn-on time, then one
// period.
inline constexpr double sensorTurnOnSec = 0.0011;
// How slow a part's clock is allowed for when placing row 0 and the end:
// the filter's outermost taps, tiny as they are, still meet real samples.
inline constexpr double slowClockShare = 0.03;
// Samples read past the last row's, so that the clock fit has some on
// either side of it.
inline constexpr double clockTailSec = 0.25;

struct FifoPlan {
    uint8_t rateCode;
    double sampleHz;  // the sensor's nominal data rate
    double rowHz;
    int sampleCount;
    double durationSec;
    int halfTaps;       // the band-limit filter's reach, in samples
    double startSec;    // host times: the capture's start, for the progress lines,
    double measureSec;  // the measure bit,
    double rowZeroSec;  // row 0,
    double endSec;      // and the moment after which nothing more is needed
};

// The plan of a capture of settings through a filter of halfTaps, the
// sensor set measuring at host time measureSec.
FifoPlan planFifoCapture(const RunSettings &settings, uint8_t rateCode, int halfTaps, double measureSec);

// Host time of row r.
double rowSec(const FifoPlan &plan, int64_t row);

#endif
