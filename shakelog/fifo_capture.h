// File mode through the sensor's FIFO: every sample read once, in stream
// mode, in batches between sleeps; the sample rate measured against the
// host's clock; gaps from stalls longer than the FIFO counted.
#ifndef SHAKELOG_FIFO_CAPTURE_H
#define SHAKELOG_FIFO_CAPTURE_H

#include <cstdint>

#include "capture_mode.h"
#include "command_line.h"
#include "rate_fit.h"
#include "sensor_link.h"

// Rows of resampler output before the first row and after the last that
// are read but not written: the resampler's filter reaches that far, and
// fed real samples there, the first and last rows are as exact as the rest.
inline constexpr int fifoLeadRows = 32;
// The most a part's clock is taken to run fast when sizing the record.
inline constexpr double fifoClockTolerance = 0.05;
// A sample is three 16-bit counts; the rest of a capture (the resampler,
// buffers) fits in a fixed allowance.
inline constexpr uint64_t fifoSampleBytes = 3 * sizeof(int16_t);
inline constexpr uint64_t fifoFixedBytes = 8u << 20;
// Stalls the record can note before the capture stops as if full.
inline constexpr int fifoGapCapacity = 1024;

// Samples lost in a stall: `lost` samples went missing just before stored
// sample `storedBefore`.
struct FifoGap {
    int64_t storedBefore;
    int64_t lost;
};

// The latest observations, against which the sample clock's phase is found
// when a stall has cost samples.
inline constexpr int fifoRecentObservations = 256;

struct FifoObservation {
    int64_t newest;  // index of the newest sample the FIFO held
    double seconds;  // host time of the FIFO_STATUS read
};

struct FifoRecord {
    int16_t *counts;  // x, y, z of each stored sample
    int64_t capacity;
    int64_t stored;
    int64_t lostTotal;
    int gapCount;
    FifoGap gaps[fifoGapCapacity];
    RateFit fit;
    FifoObservation recent[fifoRecentObservations];
    int64_t observations;
    int rateCode;
    double nominalHz;
};

// Seconds of sensor time a capture reads: the rows and the leads around them.
double fifoSpanSec(const RunSettings &settings);

// Bytes the capture of settings needs.
uint64_t fifoCaptureBytes(const RunSettings &settings);

// Refuses, with the message, a capture that does not fit the memory the
// kernel reports; otherwise reserves the record.
bool prepareFifoCapture(const RunSettings &settings, FifoRecord &record);

// Reads batches until the samples cover the capture's span, until a read
// fails, until the record is full, or until a stop signal arrived.
CaptureEnd captureFifo(const RunSettings &settings, SensorLink &link, FifoRecord &record);

#endif
