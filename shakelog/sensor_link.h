// The ADXL345 on SPI channel 0, reached through pigpio.
#ifndef SHAKELOG_SENSOR_LINK_H
#define SHAKELOG_SENSOR_LINK_H

#include <cstdint>

// ADXL345 registers and bits used here.
inline constexpr char regDevId = 0x00;
inline constexpr char regBwRate = 0x2C;
inline constexpr char regPowerCtl = 0x2D;
inline constexpr char regDataFormat = 0x31;
inline constexpr char regDataX0 = 0x32;

inline constexpr char bwRate3200Hz = 0x0F;
inline constexpr char dataFormatFullRes16g = 0x0B;  // FULL_RES | range +-16 g
inline constexpr char powerCtlMeasure = 0x08;
inline constexpr unsigned char devIdADXL345 = 0xE5;

// SPI command byte: bit 7 reads, bit 6 moves to the next register per byte.
inline constexpr char commandRead = static_cast<char>(0x80);
inline constexpr char commandMultiByte = 0x40;

inline constexpr unsigned spiChannel = 0;
inline constexpr unsigned spiMode3 = 3;  // clock idles high, data sampled on the rising edge
inline constexpr int sampleBytes = 7;    // command byte + DATAX0..DATAZ1

struct SensorLink {
    int handle;
    char buffer[sampleBytes];
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

// Reads the device ID register: the ID, or -1 when the transfer failed.
int readDeviceId(SensorLink &link);

// Says on standard output that what readDeviceId found is not an ADXL345.
void printMissingSensor(int deviceId);

// Data rate 3200 Hz, full resolution at +-16 g, measurement on.
void configureSensor(SensorLink &link);

// One 7-byte data read.  Returns the transfer result; only when it equals
// sampleBytes is sample filled.
int readSample(SensorLink &link, AccelSample &sample);

// Decodes bytes 1 to 6 of a data read (little-endian two's complement).
AccelSample decodeSample(const char *buffer);

#endif
