// File mode through the sensor's FIFO, from configuration to the last line.
#ifndef SHAKELOG_FIFO_MODE_H
#define SHAKELOG_FIFO_MODE_H

#include "command_line.h"
#include "fifo_capture.h"
#include "sensor_link.h"

// Configures the FIFO, captures, terminates pigpio, writes the file.
// Returns the exit status.
int runFifoCaptureMode(const RunSettings &settings, SensorLink &link, FifoRecord &record);

#endif
