// The sensor's sample clock as the host sees it.  The FIFO never says when
// a sample arrived, only how many had arrived at some moment within a
// transfer: each FIFO_STATUS read bounds the arrival times around it.  A
// run of reads that saw the same count is one observation:
//     arrival(count - 1) <= upper   and   arrival(count) > lower,
// upper being the end of the first read that saw the count and lower the
// start of the last.  The clock is a polynomial of degree 1 or 2 in the
// sample index, fitted to a window of observations so that it leaves the
// most room on both sides of every bound: reads that meet the clock at
// every phase pin its edges far closer than one period.
#ifndef SHAKELOG_SAMPLE_CLOCK_H
#define SHAKELOG_SAMPLE_CLOCK_H

#include <cstdint>

struct ClockObservation {
    int64_t count;  // samples arrived, counted from sample 0
    double lower;   // host seconds: arrival(count) is later
    double upper;   // host seconds: arrival(count - 1) is no later
};

// arrival(k) = coef[0] + coef[1] * x + coef[2] * x * x, x = (k - center) / scale.
struct ClockModel {
    bool valid;
    int degree;
    double center;
    double scale;
    double coef[3];
    // The least room the fit leaves between itself and a bound, in seconds:
    // negative when no such polynomial meets every observation.
    double margin;
    double firstSec;  // the window the fit saw, by the observations' times
    double lastSec;
};

// Fits the n observations (in time order), taking nominalPeriod (seconds)
// as the first guess of the rate.  A window shorter than quadraticSpanSec,
// or with few observations, gets a straight line.  False, with model
// invalid, when there is nothing to fit.  highestDegree 1 keeps it a line
// whatever the window.
bool fitClock(const ClockObservation *observations, int n, double nominalPeriod, ClockModel &model,
              int highestDegree = 2);

inline constexpr double quadraticSpanSec = 1.0;

// A window of observations as reads come in: a ring of capacity entries
// (a power of two), reads that saw the count of the one before merged into
// it.
struct ClockWindow {
    ClockObservation *ring;
    int64_t capacity;
    int64_t added;  // observations ever kept
};

// Notes a read that saw `count` samples arrived at some moment between
// begin and end.
void noteRead(ClockWindow &window, int64_t count, double begin, double end);

// Forgets every observation (the counts start afresh).
void clearWindow(ClockWindow &window);

// Copies the kept observations whose times lie within [fromSec, toSec],
// at most maxCount of the latest of them, into out; returns how many.
int windowBetween(const ClockWindow &window, double fromSec, double toSec, ClockObservation *out,
                  int maxCount);

// The host time sample k arrived at, by the model (k may be fractional).
double arrivalSec(const ClockModel &model, double k);

// The fractional sample index that arrived at host time t: arrivalSec of
// it is t.
double indexAtSec(const ClockModel &model, double t);

// Seconds between samples at index k.
double periodAt(const ClockModel &model, double k);

// How many samples had arrived by host time t: the samples whose arrival
// is no later than t.
int64_t arrivedBy(const ClockModel &model, double t);

#endif
