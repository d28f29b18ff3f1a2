// High-rate capture: back-to-back reads, resampled and written to a CSV file.
#ifndef SHAKELOG_CAPTURE_MODE_H
#define SHAKELOG_CAPTURE_MODE_H

#include "command_line.h"
#include "file_capture.h"
#include "resample.h"
#include "sensor_link.h"

// The arrays of a capture and how many readings the raw ones hold.
struct CaptureRecord {
    RawCapture raw;
    ResampledSeries series;
    int readingCapacity;
};

// Before the sensor is touched: refuses a capture that does not fit the
// memory the kernel reports, or whose arrays cannot be mapped, with the
// message on standard output; otherwise maps the arrays.
bool prepareCapture(const RunSettings &settings, CaptureRecord &record);

// Reads back to back until the first reading after durationSec, until the
// raw record is full, until a read fails, until a stop signal arrived
// (tested once per reading), or until the device ID, read again between
// readings about once a second, is not the sensor's (it is put in
// deviceId).  Sets rawCount.
CaptureEnd captureReadings(const RunSettings &settings, SensorLink &link, CaptureRecord &record,
                           int &deviceId);

// Captures, terminates pigpio, writes the file.  Returns the exit status.
int runCaptureMode(const RunSettings &settings, SensorLink &link, CaptureRecord &record);

#endif
