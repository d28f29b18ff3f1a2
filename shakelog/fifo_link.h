// The ADXL345's FIFO on the sensor link: its registers, its configuration
// and one function per bus transaction.
#ifndef SHAKELOG_FIFO_LINK_H
#define SHAKELOG_FIFO_LINK_H

#include "sensor_link.h"

inline constexpr char regIntSource = 0x30;
inline constexpr char regFifoCtl = 0x38;
inline constexpr char regFifoStatus = 0x39;

inline constexpr unsigned char fifoCtlStream = 0x80;       // FIFO_MODE 10
inline constexpr unsigned char fifoCtlSamplesMask = 0x1F;  // the watermark
inline constexpr unsigned char fifoStatusEntriesMask = 0x3F;
// Entries the FIFO holds; one more sample waits in the output registers.
inline constexpr int fifoDepth = 32;

// BW_RATE codes: 0x0F is 3200 Hz and each code below halves the rate, down
// to 0x06 at 6.25 Hz, the slowest this mode uses.
inline constexpr int bwRateCodeFastest = 0x0F;
inline constexpr int bwRateCodeSlowest = 0x06;
inline constexpr double bwRateFastestHz = 3200.0;

// The data rate a capture at rateHz reads at: the lowest at least twice
// rateHz, 3200 Hz at most.
int fifoRateCode(double rateHz);
double rateCodeHz(int code);

// Data rate, stream mode with the watermark, full resolution at +-16 g, then
// measurement on.  False when a write failed or a register, read back, does
// not hold what was written.
bool configureFifo(SensorLink &link, int rateCode, int watermark);

// Samples the FIFO holds, or -1 when the transfer failed.
int readFifoEntries(SensorLink &link);

// INT_SOURCE, or -1 when the transfer failed.
int readIntSource(SensorLink &link);

#endif
