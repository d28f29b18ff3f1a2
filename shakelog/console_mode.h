// Console streaming: paced reads printed as they are taken.
#ifndef SHAKELOG_CONSOLE_MODE_H
#define SHAKELOG_CONSOLE_MODE_H

#include "command_line.h"
#include "sensor_link.h"

// Streams sampleCount readings, terminates pigpio, prints the summary.
// Returns the exit status.
int runConsoleMode(const RunSettings &settings, SensorLink &link);

#endif
