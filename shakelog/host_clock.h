// The host's monotonic clock, in seconds.  The FIFO capture times the
// sensor's clock by it: unlike pigpio's time_time (the wall clock), it never
// steps when the system time is set, which a Pi without a real-time clock
// does shortly after boot.  Each backend provides it: the real ones read
// CLOCK_MONOTONIC, the emulated library its own clock (virtual in tests).
// Both are safe to call from any thread.
#ifndef SHAKELOG_HOST_CLOCK_H
#define SHAKELOG_HOST_CLOCK_H

double hostMonotonicSec();

// What the program reads the sensor through: "pigpio", "spidev" or
// "emulated", for the record of a capture.
const char *backendName();

#endif
