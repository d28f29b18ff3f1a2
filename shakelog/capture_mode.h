// High-rate capture: back-to-back reads, resampled and written to a CSV file.
#ifndef SHAKELOG_CAPTURE_MODE_H
#define SHAKELOG_CAPTURE_MODE_H

#include "command_line.h"
#include "resample.h"
#include "sensor_link.h"

// The arrays of a capture and how many readings the raw ones hold.
struct CaptureRecord {
    RawCapture raw;
    ResampledSeries series;
    int readingCapacity;
};

// recordFull: the readings outran the record before the duration was over
// (a bus clocked faster than asked for).
enum class CaptureEnd { complete, readFailed, interrupted, recordFull };

// Before the sensor is touched: refuses a capture that does not fit the
// memory the kernel reports, or whose arrays cannot be mapped, with the
// message on standard output; otherwise maps the arrays.
bool prepareCapture(const RunSettings &settings, CaptureRecord &record);

// Reads back to back until the first reading after durationSec, until the
// raw record is full, until a read fails, or until a stop signal arrived
// (tested once per reading).  Sets rawCount.
CaptureEnd captureReadings(const RunSettings &settings, SensorLink &link, CaptureRecord &record);

// Prints the progress line due at `elapsed` seconds into the capture, if
// one is: the n-th is due at the first reading after n seconds, and a stall
// owes the missed lines to the following readings, one per reading.
void reportProgress(int &statusReports, double elapsed, double durationSec);

// Captures, terminates pigpio, writes the file.  Returns the exit status.
int runCaptureMode(const RunSettings &settings, SensorLink &link, CaptureRecord &record);

#endif
