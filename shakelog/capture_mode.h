// High-rate capture: back-to-back reads, resampled and written to a CSV file.
#ifndef SHAKELOG_CAPTURE_MODE_H
#define SHAKELOG_CAPTURE_MODE_H

#include "command_line.h"
#include "sensor_link.h"

// Captures for durationSec, terminates pigpio, writes the file.  Returns the
// exit status.
int runCaptureMode(const RunSettings &settings, SensorLink &link);

#endif
