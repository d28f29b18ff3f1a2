// The ADXL345 on SPI channel 0, reached through pigpio's SPI calls: one
// function per bus transaction, and the configuration every mode starts
// from.
#ifndef SHAKELOG_SENSOR_LINK_H
#define SHAKELOG_SENSOR_LINK_H

#include <cstdint>

#include "sensor_registers.h"

inline constexpr unsigned spiChannel = 0;
inline constexpr unsigned spiMode3 = 3;  // clock idles high, data sampled on the rising edge
inline constexpr int sampleBytes = 7;    // command byte + DATAX0..DATAZ1
// A FIFO read starts at INT_SOURCE, so that each sample brings the
// sensor's word on whether one was lost before it: INT_SOURCE,
// DATA_FORMAT, then the six data bytes.
inline constexpr int fifoSampleBytes = 9;
inline constexpr int linkBufferBytes = fifoSampleBytes;

struct SensorLink {
    int handle;
    char buffer[linkBufferBytes];
};

struct AccelSample {
    int16_t countX;
    int16_t countY;
    int16_t countZ;
    double x;  // g
    double y;
    double z;
};

int writeBytes(int handle, char *buffer, int count);
int readBytes(int handle, char *buffer, int count);

// Opens SPI channel 0 in mode 3 at speedSPI.
void openSensorLink(SensorLink &link);

// One register: its value, or -1 when the transfer failed.
int readRegister(SensorLink &link, uint8_t address);

// Writes one register; false when the transfer failed.
bool writeRegister(SensorLink &link, uint8_t address, uint8_t value);

// Writes count registers from address on in one transfer, without reading
// them back; false when the transfer failed.
bool writeRegisters(SensorLink &link, uint8_t address, const uint8_t *values, int count);

// The device ID register: the ID, or -1 when the transfer failed.
int readDeviceId(SensorLink &link);

// Says on standard output that what readDeviceId found is not an ADXL345.
void printMissingSensor(int deviceId);

// Puts every register a mode depends on in a known state, whatever an
// earlier run or another program left: standby, the FIFO in fifoMode with
// its watermark, no offset trims, rateCode in normal power, full resolution
// at +-16 g, then measurement.  False when a write failed.
bool configureSensor(SensorLink &link, uint8_t rateCode, uint8_t fifoMode, uint8_t watermark);

// Whether the sensor, read back, holds what configureSensor wrote: a part
// that takes no writes would otherwise read as a still one.
bool sensorHoldsConfiguration(SensorLink &link, uint8_t rateCode, uint8_t fifoMode, uint8_t watermark);

// The 3200 Hz bypass configuration of the console and the default file mode.
bool configureDirectReading(SensorLink &link);

// Back to bypass (which empties the FIFO), the self-test force off, and
// standby, for whatever runs on the sensor next.  Results are not examined: it runs on failed links too.
void releaseSensor(SensorLink &link);

// One 7-byte data read.  Returns the transfer result; only when it equals
// sampleBytes is sample filled.
int readSample(SensorLink &link, AccelSample &sample);

// One 9-byte read from INT_SOURCE through DATAZ1, which pops one sample
// off the FIFO.  Returns the transfer result; only when it equals
// fifoSampleBytes are sample and intSource filled.
int readFifoSample(SensorLink &link, AccelSample &sample, uint8_t &intSource);

// Decodes the six data bytes that follow buffer[0] (little-endian two's
// complement).
AccelSample decodeSample(const char *buffer);

#endif
