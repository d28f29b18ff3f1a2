// The ADXL345's registers and bit fields: every field a mask, every value a
// name, composed with fieldValue() where a register is written.
#ifndef SHAKELOG_SENSOR_REGISTERS_H
#define SHAKELOG_SENSOR_REGISTERS_H

#include <cstdint>

// Register addresses.
inline constexpr uint8_t regDevId = 0x00;
inline constexpr uint8_t regOfsX = 0x1E;  // OFSX, OFSY, OFSZ follow each other
inline constexpr int offsetRegisters = 3;
inline constexpr uint8_t regBwRate = 0x2C;
inline constexpr uint8_t regPowerCtl = 0x2D;
inline constexpr uint8_t regIntSource = 0x30;
inline constexpr uint8_t regDataFormat = 0x31;
inline constexpr uint8_t regDataX0 = 0x32;  // DATAX0 .. DATAZ1: six bytes, x, y, z low byte first
inline constexpr uint8_t regFifoCtl = 0x38;
inline constexpr uint8_t regFifoStatus = 0x39;

inline constexpr uint8_t devIdADXL345 = 0xE5;

// BW_RATE.
inline constexpr uint8_t bwRateLowPower = 1u << 4;
inline constexpr uint8_t bwRateRateMask = 0x0F;
inline constexpr uint8_t rateCode3200Hz = 0x0F;  // each code below halves the rate
inline constexpr uint8_t rateCode400Hz = 0x0C;
inline constexpr uint8_t rateCode6Hz25 = 0x06;
inline constexpr double rateCode3200HzHz = 3200.0;

// POWER_CTL: standby is every bit clear (no link, no sleep).
inline constexpr uint8_t powerCtlMeasure = 1u << 3;
inline constexpr uint8_t powerCtlStandby = 0x00;

// INT_SOURCE.
inline constexpr uint8_t intDataReady = 1u << 7;
inline constexpr uint8_t intWatermark = 1u << 1;
inline constexpr uint8_t intOverrun = 1u << 0;

// DATA_FORMAT.
inline constexpr uint8_t dataFormatSelfTest = 1u << 7;
inline constexpr uint8_t dataFormatSpi3Wire = 1u << 6;
inline constexpr uint8_t dataFormatIntInvert = 1u << 5;
inline constexpr uint8_t dataFormatFullRes = 1u << 3;
inline constexpr uint8_t dataFormatJustify = 1u << 2;
inline constexpr uint8_t dataFormatRangeMask = 0x03;
inline constexpr uint8_t range16g = 3;

// FIFO_CTL.
inline constexpr uint8_t fifoCtlModeMask = 0xC0;
inline constexpr uint8_t fifoModeBypass = 0;
inline constexpr uint8_t fifoModeStream = 2;
inline constexpr uint8_t fifoCtlSamplesMask = 0x1F;  // the watermark

// FIFO_STATUS.
inline constexpr uint8_t fifoStatusTrigger = 1u << 7;
inline constexpr uint8_t fifoStatusEntriesMask = 0x3F;

// The FIFO holds 32 entries behind the data registers' one: 33 samples
// wait at most, and FIFO_STATUS never counts more than 32.
inline constexpr int fifoEntriesMax = 32;
inline constexpr int fifoSamplesHeld = fifoEntriesMax + 1;
// After each pop the FIFO needs 5 us before the data or FIFO_STATUS is read
// again; a read that starts sooner is not the next sample.
inline constexpr double fifoPopGapSec = 5e-6;

// SPI command byte: bit 7 reads, bit 6 moves to the next register per byte.
inline constexpr uint8_t commandRead = 1u << 7;
inline constexpr uint8_t commandMultiByte = 1u << 6;

// A value placed in the field of mask, as a register write composes it.
constexpr uint8_t fieldValue(uint8_t mask, unsigned value)
{
    unsigned shift = 0;
    while (((mask >> shift) & 1u) == 0) {
        ++shift;
    }
    return static_cast<uint8_t>((value << shift) & mask);
}

// A field's value, read back out of a register.
constexpr unsigned fieldOf(uint8_t mask, uint8_t registerValue)
{
    unsigned shift = 0;
    while (((mask >> shift) & 1u) == 0) {
        ++shift;
    }
    return static_cast<unsigned>(registerValue & mask) >> shift;
}

// Full resolution (4 mg a count whatever the range), right-justified, +-16 g:
// the format every mode reads in.
inline constexpr uint8_t dataFormatCapture =
    dataFormatFullRes | fieldValue(dataFormatRangeMask, range16g);

#endif
