// Shared set-up of the emulated-library tests: a freshly reset library on a
// virtual clock, initialised quietly, with helpers that speak the ADXL345's
// SPI protocol directly.
#ifndef TESTS_EMULATED_FIXTURE_H
#define TESTS_EMULATED_FIXTURE_H

#include <gtest/gtest.h>

#include <cstdint>

#include "pigpio.h"
#include "pigpio_emulation.h"

inline constexpr unsigned deviceChannel = 0;
inline constexpr unsigned emptyChannel = 1;
inline constexpr unsigned busBaud = 2000000;
inline constexpr unsigned mode3 = 3;
inline constexpr unsigned mode0 = 0;
inline constexpr double virtualStart = 1000.0;

inline constexpr unsigned char cmdRead = 0x80;
inline constexpr unsigned char cmdMultiByte = 0x40;

inline constexpr int regDevId = 0x00;
inline constexpr int regOfsX = 0x1E;
inline constexpr int regOfsZ = 0x20;
inline constexpr int regBwRate = 0x2C;
inline constexpr int regPowerCtl = 0x2D;
inline constexpr int regIntSource = 0x30;
inline constexpr int regDataFormat = 0x31;
inline constexpr int regDataX0 = 0x32;
inline constexpr int regFifoCtl = 0x38;
inline constexpr int regFifoStatus = 0x39;

inline constexpr unsigned char devIdValue = 0xE5;
inline constexpr unsigned char rate3200Hz = 0x0F;
inline constexpr unsigned char rate100Hz = 0x0A;
inline constexpr unsigned char powerMeasure = 0x08;
inline constexpr unsigned char intDataReady = 0x80;
inline constexpr unsigned char formatFullRes16g = 0x0B;
inline constexpr unsigned char format10Bit16g = 0x03;
inline constexpr unsigned char format10Bit2g = 0x00;
inline constexpr unsigned char formatSpi3Wire = 0x40;
inline constexpr unsigned char formatJustify = 0x04;
inline constexpr double period3200HzSec = 1.0 / 3200.0;
inline constexpr double period100HzSec = 1.0 / 100.0;

struct Counts {
    int x;
    int y;
    int z;
};

class EmulatedBus : public ::testing::Test {
protected:
    void SetUp() override
    {
        emulatedReset();
        emulatedSetQuiet(true);
        emulatedUseVirtualClock(virtualStart);
        ASSERT_GE(gpioInitialise(), 0);
        handle = spiOpen(deviceChannel, busBaud, mode3);
        ASSERT_GE(handle, 0);
    }
    void TearDown() override { emulatedReset(); }

    int handle = -1;
};

// One-byte register write and read on a handle.
inline int writeRegister(int handle, int address, unsigned char value)
{
    char buffer[2] = {static_cast<char>(address), static_cast<char>(value)};
    return spiWrite(static_cast<unsigned>(handle), buffer, 2);
}

inline int readRegister(int handle, int address)
{
    char buffer[2] = {static_cast<char>(cmdRead | address), 0};
    if (spiXfer(static_cast<unsigned>(handle), buffer, buffer, 2) != 2)
        return -1;
    return static_cast<unsigned char>(buffer[1]);
}

// One axis of a data burst: little-endian two's complement.
inline int axisCounts(const char *buffer, int low)
{
    unsigned value = static_cast<unsigned char>(buffer[low]) |
                     static_cast<unsigned>(static_cast<unsigned char>(buffer[low + 1])) << 8;
    return static_cast<int16_t>(value);
}

// The burst read of the six data registers, decoded as the driver does.
inline Counts readCounts(int handle)
{
    char buffer[7] = {static_cast<char>(cmdRead | cmdMultiByte | regDataX0)};
    spiXfer(static_cast<unsigned>(handle), buffer, buffer, 7);
    return Counts{axisCounts(buffer, 1), axisCounts(buffer, 3), axisCounts(buffer, 5)};
}

inline void startMeasuring(int handle, unsigned char rate, unsigned char format)
{
    writeRegister(handle, regBwRate, rate);
    writeRegister(handle, regDataFormat, format);
    writeRegister(handle, regPowerCtl, powerMeasure);
}

#endif
