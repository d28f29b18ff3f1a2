// Register file, command decoding and sample timing of the emulated ADXL345.
#include "adxl345.h"

namespace {

inline constexpr unsigned idleBit = 0;  // level of a line before the first bit
inline constexpr int bitsPerByte = 8;

// The stream as the device sees it, and its answer, on a clock it cannot
// follow.
uint8_t deviceIn[adxlMaxBusBytes];
uint8_t deviceOut[adxlMaxBusBytes];

int64_t samplePeriodNs(const Adxl345 &device)
{
    int code = device.registers[adxlRegBwRate] & adxlBwRateCodeMask;
    return adxlFastestPeriodNs << (adxlFastestRateCode - code);
}

bool isDataRegister(int address)
{
    return address >= adxlRegDataX0 && address <= adxlRegDataZ1;
}

// Registers the host may change.  DEVID, ACT_TAP_STATUS, INT_SOURCE, the
// data registers, FIFO_STATUS and the reserved addresses ignore writes.
bool isWritable(int address)
{
    if (address >= adxlRegThreshTap && address <= adxlRegTapAxes)
        return true;
    return address == adxlRegBwRate || address == adxlRegPowerCtl ||
           address == adxlRegIntEnable || address == adxlRegIntMap ||
           address == adxlRegDataFormat || address == adxlRegFifoCtl;
}

// The receiver sees each bit one bit late: the first bit is the idle level,
// the last bit of the stream is lost.
void delayOneBit(const uint8_t *in, uint8_t *out, size_t count)
{
    unsigned carry = idleBit;
    for (size_t i = 0; i < count; ++i) {
        out[i] = static_cast<uint8_t>((carry << (bitsPerByte - 1)) | (in[i] >> 1));
        carry = in[i] & 1u;
    }
}

// Start counting samples afresh from nowNs, keeping the index running.
void restartCounting(Adxl345 &device, int64_t nowNs)
{
    device.samplesAtEpoch = device.samplesProduced;
    device.epochNs = nowNs;
}

void writePowerCtl(Adxl345 &device, int64_t nowNs, uint8_t value)
{
    bool measure = (value & adxlPowerMeasure) != 0;
    if (measure && !device.measuring) {
        if (!device.originSet) {
            device.originSet = true;
            device.originNs = nowNs;
        }
        restartCounting(device, nowNs);
    }
    device.measuring = measure;
    device.registers[adxlRegPowerCtl] = value;
}

void writeBwRate(Adxl345 &device, int64_t nowNs, uint8_t value)
{
    // A new rate starts a new sample period now; samples already produced
    // stay counted.
    bool rateChanges = ((value ^ device.registers[adxlRegBwRate]) & adxlBwRateCodeMask) != 0;
    if (device.measuring && rateChanges)
        restartCounting(device, nowNs);
    device.registers[adxlRegBwRate] = value;
}

void writeRegister(Adxl345 &device, int64_t nowNs, int address, uint8_t value)
{
    if (!isWritable(address))
        return;
    if (address == adxlRegPowerCtl)
        writePowerCtl(device, nowNs, value);
    else if (address == adxlRegBwRate)
        writeBwRate(device, nowNs, value);
    else
        device.registers[address] = value;
}

}  // namespace

uint8_t adxlPeekRegister(const Adxl345 &device, int address)
{
    if (address == adxlRegIntSource)
        return device.dataReady ? adxlIntDataReady : 0;
    if (address == adxlRegFifoStatus)
        return 0;  // bypass mode: the FIFO holds nothing
    return device.registers[address & adxlCmdAddressMask];
}

// Bring the data registers up to date with the samples that have arrived by
// nowNs.  Only the latest one matters: without a FIFO older ones are lost.
void adxlAdvance(Adxl345 &device, int64_t nowNs)
{
    if (nowNs > device.lastNs)
        device.lastNs = nowNs;
    if (!device.measuring || nowNs < device.epochNs)
        return;
    int64_t period = samplePeriodNs(device);
    int64_t arrived = device.samplesAtEpoch + (nowNs - device.epochNs) / period;
    if (arrived <= device.samplesProduced)
        return;
    int64_t latest = arrived - 1;
    int64_t arrivalNs = device.epochNs + (latest - device.samplesAtEpoch + 1) * period;
    adxlStoreSample(device, latest, static_cast<double>(arrivalNs - device.originNs) * 1e-9);
    device.samplesProduced = arrived;
    device.dataReady = true;
}

// One SPI transaction (chip select low for count bytes).  The device state
// is brought up to nowNs once at the start, so every byte of a multi-byte
// read of the data registers belongs to the same sample, as the real device
// guarantees by holding the registers during the transaction.
void adxlTransaction(Adxl345 &device, int64_t nowNs, const uint8_t *mosi, uint8_t *miso,
                     size_t count)
{
    if (count == 0)
        return;
    adxlAdvance(device, nowNs);
    uint8_t command = mosi[0];
    bool read = (command & adxlCmdRead) != 0;
    bool multiByte = (command & adxlCmdMultiByte) != 0;
    int address = command & adxlCmdAddressMask;
    // In 3-wire mode the device answers on its data-in line, so a 4-wire
    // host sees nothing on MISO.
    bool drivesMiso = (device.registers[adxlRegDataFormat] & adxlFormatSpi3Wire) == 0;
    bool dataRead = false;

    miso[0] = adxlMisoUndriven;
    for (size_t i = 1; i < count; ++i) {
        if (read) {
            miso[i] = drivesMiso ? adxlPeekRegister(device, address) : adxlMisoUndriven;
            dataRead = dataRead || isDataRegister(address);
        } else {
            miso[i] = adxlMisoUndriven;
            writeRegister(device, nowNs, address, mosi[i]);
        }
        if (multiByte)
            address = (address + 1) & adxlCmdAddressMask;
    }
    if (dataRead)
        device.dataReady = false;
}

// One transaction on a bus run in spiMode at baud.  In another mode, or
// faster than the device can follow, it samples on the wrong clock edge,
// emulated as a one-bit delay of the stream in both directions:
// configuration lands in the wrong registers and reads return garbage, but
// nothing reports an error, as on the hardware.  count is at most
// adxlMaxBusBytes.
void adxlBusTransaction(Adxl345 &device, int64_t nowNs, unsigned spiMode, unsigned baud,
                        const uint8_t *mosi, uint8_t *miso, size_t count)
{
    if (spiMode == adxlSpiMode && baud <= adxlMaxBaud) {
        adxlTransaction(device, nowNs, mosi, miso, count);
        return;
    }
    delayOneBit(mosi, deviceIn, count);
    adxlTransaction(device, nowNs, deviceIn, deviceOut, count);
    delayOneBit(deviceOut, miso, count);
}

// The device's time base jumped to nowNs (the bus switched clocks): shift
// the timing state so that sampling carries on as if no time had passed.
void adxlRestartClock(Adxl345 &device, int64_t nowNs)
{
    int64_t shift = nowNs - device.lastNs;
    device.epochNs += shift;
    device.originNs += shift;
    device.lastNs = nowNs;
}

void adxlHoldCounts(Adxl345 &device, int x, int y, int z)
{
    device.holding = true;
    device.heldCounts[0] = x;
    device.heldCounts[1] = y;
    device.heldCounts[2] = z;
}
