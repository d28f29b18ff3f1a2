// The emulated ADXL345: register file, SPI command decoding and the samples
// the device produces.  The device knows nothing about pigpio or handles: the
// bus code hands it the bytes it sees on MOSI together with the device's own
// monotonic time, and takes back what it drives on MISO.
//
// Not emulated: self-test (DATA_FORMAT bit 7), low power (BW_RATE bit 4) and
// the sleep/auto-sleep bits of POWER_CTL are stored but change nothing; the
// FIFO always behaves as in bypass mode whatever FIFO_CTL holds; INT_SOURCE
// reports DATA_READY only (no tap, activity, free-fall, watermark or overrun).
#ifndef EMULATED_ADXL345_H
#define EMULATED_ADXL345_H

#include <cstddef>
#include <cstdint>

// Register addresses.
inline constexpr int adxlRegDevId = 0x00;
inline constexpr int adxlRegThreshTap = 0x1D;
inline constexpr int adxlRegOfsX = 0x1E;
inline constexpr int adxlRegOfsY = 0x1F;
inline constexpr int adxlRegOfsZ = 0x20;
inline constexpr int adxlRegTapAxes = 0x2A;
inline constexpr int adxlRegActTapStatus = 0x2B;
inline constexpr int adxlRegBwRate = 0x2C;
inline constexpr int adxlRegPowerCtl = 0x2D;
inline constexpr int adxlRegIntEnable = 0x2E;
inline constexpr int adxlRegIntMap = 0x2F;
inline constexpr int adxlRegIntSource = 0x30;
inline constexpr int adxlRegDataFormat = 0x31;
inline constexpr int adxlRegDataX0 = 0x32;
inline constexpr int adxlRegDataZ1 = 0x37;
inline constexpr int adxlRegFifoCtl = 0x38;
inline constexpr int adxlRegFifoStatus = 0x39;
inline constexpr int adxlRegisterCount = 0x40;  // the 6-bit address space

// Command byte, the first byte of every transaction.
inline constexpr uint8_t adxlCmdRead = 0x80;
inline constexpr uint8_t adxlCmdMultiByte = 0x40;
inline constexpr uint8_t adxlCmdAddressMask = 0x3F;

// Register contents.
inline constexpr uint8_t adxlDevIdValue = 0xE5;
inline constexpr uint8_t adxlBwRateReset = 0x0A;        // 100 Hz
inline constexpr uint8_t adxlBwRateCodeMask = 0x0F;
inline constexpr uint8_t adxlPowerMeasure = 0x08;
inline constexpr uint8_t adxlIntDataReady = 0x80;
inline constexpr uint8_t adxlFormatSpi3Wire = 0x40;
inline constexpr uint8_t adxlFormatFullRes = 0x08;
inline constexpr uint8_t adxlFormatJustify = 0x04;
inline constexpr uint8_t adxlFormatRangeMask = 0x03;

// What the host reads on MISO while the device does not drive it (the
// command byte of every transaction, bytes of a write, 3-wire mode).
inline constexpr uint8_t adxlMisoUndriven = 0x00;

// Output data rate: code 0x0F is 3200 Hz (312.5 us), each code below halves
// the rate, down to code 0x00 at 0.098 Hz.
inline constexpr int adxlFastestRateCode = 0x0F;
inline constexpr int64_t adxlFastestPeriodNs = 312500;

// What the device can follow on the bus: SPI mode 3 (clock idles high, data
// sampled on the rising edge) at up to 5 MHz, and transactions of at most
// adxlMaxBusBytes (the longest any host library sends).
inline constexpr unsigned adxlSpiMode = 3;
inline constexpr unsigned adxlMaxBaud = 5000000;
inline constexpr size_t adxlMaxBusBytes = 1u << 16;

// Scaling.
inline constexpr int adxlAxisCount = 3;
inline constexpr int adxlFullResCountsPerG = 256;
inline constexpr int adxlFixedResBits = 10;             // without FULL_RES
inline constexpr int adxlRegisterBits = 16;
inline constexpr double adxlOffsetGPerCount = 0.015625;  // 15.6 mg per OFSx count

// Emulated motion, in g: gravity on z plus small vibrations, plus uniform
// noise of at most adxlNoiseCounts counts at 256 counts per g.
inline constexpr double adxlGravityG = 1.0;
inline constexpr double adxlXSlowAmplitudeG = 0.05;
inline constexpr double adxlXSlowHz = 7.5;
inline constexpr double adxlXFastAmplitudeG = 0.02;
inline constexpr double adxlXFastHz = 120.0;
inline constexpr double adxlYAmplitudeG = 0.03;
inline constexpr double adxlYHz = 25.0;
inline constexpr double adxlZAmplitudeG = 0.01;
inline constexpr double adxlZHz = 50.0;
inline constexpr int adxlNoiseCounts = 2;
inline constexpr uint64_t adxlNoiseSeed = 0x5EED0ADA1345ULL;

// The whole state of the device.  Sample k (counted from the first Measure
// since power-on) arrives at epochNs + (k - samplesAtEpoch + 1) periods; its
// motion time is its arrival time minus originNs.
struct Adxl345 {
    uint8_t registers[adxlRegisterCount];
    bool measuring;
    bool dataReady;          // a sample has arrived that was not read yet
    bool originSet;          // Measure was set at least once
    int64_t originNs;        // device time of the first Measure
    int64_t epochNs;         // device time sample counting (re)started
    int64_t samplesAtEpoch;  // samples produced before epochNs
    int64_t samplesProduced;
    int64_t lastNs;          // latest device time seen
    bool holding;            // constant counts instead of motion
    int heldCounts[adxlAxisCount];
};

// The device as it comes out of power-on reset.
constexpr Adxl345 adxlPowerOnState()
{
    Adxl345 device{};
    device.registers[adxlRegDevId] = adxlDevIdValue;
    device.registers[adxlRegBwRate] = adxlBwRateReset;
    return device;
}

// Device register file and command decoding (adxl345.cpp).
void adxlTransaction(Adxl345 &device, int64_t nowNs, const uint8_t *mosi, uint8_t *miso,
                     size_t count);
void adxlBusTransaction(Adxl345 &device, int64_t nowNs, unsigned spiMode, unsigned baud,
                        const uint8_t *mosi, uint8_t *miso, size_t count);
void adxlAdvance(Adxl345 &device, int64_t nowNs);
uint8_t adxlPeekRegister(const Adxl345 &device, int address);
void adxlRestartClock(Adxl345 &device, int64_t nowNs);
void adxlHoldCounts(Adxl345 &device, int x, int y, int z);

// Sample generation (adxl345_samples.cpp).
void adxlMotionG(double seconds, double g[adxlAxisCount]);
int adxlNoiseCountsAt(int64_t sampleIndex, int axis);
uint16_t adxlAxisRegisterValue(double g, uint8_t dataFormat);
void adxlStoreSample(Adxl345 &device, int64_t sampleIndex, double motionSec);

#endif
