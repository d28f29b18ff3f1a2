// The ADXL345's FIFO on the sensor link: the data rate a capture reads at,
// and the FIFO's status.
#ifndef SHAKELOG_FIFO_LINK_H
#define SHAKELOG_FIFO_LINK_H

#include <cstdint>

#include "sensor_link.h"

// The data rate a capture at rateHz reads at: the lowest at least twice
// rateHz, 3200 Hz at most, 6.25 Hz at least.
uint8_t fifoRateCode(double rateHz);
double rateCodeHz(uint8_t code);

// FIFO_STATUS, or -1 when the transfer failed.
int readFifoStatus(SensorLink &link);

// The entries FIFO_STATUS counts (more than fifoEntriesMax only from a
// sensor that is not answering as one).
int fifoEntries(int status);

#endif
