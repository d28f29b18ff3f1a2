// The sensor's health, asked at the command line: its self-test force,
// its readings at rest, its noise and its data rate, each a line with PASS
// or FAIL.
#ifndef SHAKELOG_SELF_TEST_H
#define SHAKELOG_SELF_TEST_H

#include "sensor_link.h"

// Runs every check, leaves the sensor in bypass and standby, terminates
// pigpio.  Returns 0 when every check passed, else 1.
int runSelfTest(SensorLink &link);

#endif
