// File mode through the sensor's FIFO, from configuration to the last line.
#ifndef SHAKELOG_FIFO_MODE_H
#define SHAKELOG_FIFO_MODE_H

#include "command_line.h"
#include "sensor_link.h"

// Opens the file, configures the FIFO, reads and writes the rows as they
// come, puts the sensor back in bypass and standby, terminates pigpio and
// prints how the capture ended.  Returns the exit status.
int runFifoCaptureMode(const RunSettings &settings, SensorLink &link);

#endif
