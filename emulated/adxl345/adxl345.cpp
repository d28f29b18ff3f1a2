// Register file and command decoding of the emulated ADXL345.
#include <cmath>

#include "adxl345.h"

namespace {

inline constexpr unsigned idleBit = 0;  // level of a line before the first bit
inline constexpr int bitsPerByte = 8;

// The stream as the device sees it, and its answer, on a clock it cannot
// follow.
uint8_t deviceIn[adxlMaxBusBytes];
uint8_t deviceOut[adxlMaxBusBytes];

inline constexpr double nanosPerSecond = 1e9;

// Device time nowNs plus the time count bytes take on the wire.
int64_t afterBytesNs(int64_t nowNs, double byteNs, size_t count)
{
    return nowNs + std::llround(byteNs * static_cast<double>(count));
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
    return address == adxlRegBwRate || address == adxlRegPowerCtl || address == adxlRegIntEnable ||
           address == adxlRegIntMap || address == adxlRegDataFormat || address == adxlRegFifoCtl;
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

void writePowerCtl(Adxl345 &device, int64_t nowNs, uint8_t value)
{
    bool measure = (value & adxlPowerMeasure) != 0;
    if (measure && !device.measuring) {
        if (!device.originSet) {
            device.originSet = true;
            device.originNs = nowNs;
        }
        adxlRestartCounting(device, nowNs, adxlFirstDelayAfterMeasureNs(device));
    }
    device.measuring = measure;
    device.registers[adxlRegPowerCtl] = value;
}

void writeBwRate(Adxl345 &device, int64_t nowNs, uint8_t value)
{
    // A new rate starts a new sample period now; samples already produced
    // stay counted.
    bool rateChanges = ((value ^ device.registers[adxlRegBwRate]) & adxlBwRateCodeMask) != 0;
    device.registers[adxlRegBwRate] = value;
    if (device.measuring && rateChanges)
        adxlRestartCounting(device, nowNs, adxlSteadyPeriodNs(device));
}

// Leaving the FIFO modes empties the FIFO; entering them starts it empty.
void writeFifoCtl(Adxl345 &device, uint8_t value)
{
    device.registers[adxlRegFifoCtl] = value;
    if (!adxlFifoEnabled(device)) {
        adxlFifoEmpty(device);
        device.dataOverrun = false;
    }
}

void writeRegister(Adxl345 &device, int64_t nowNs, int address, uint8_t value)
{
    if (!isWritable(address))
        return;
    if (address == adxlRegPowerCtl)
        writePowerCtl(device, nowNs, value);
    else if (address == adxlRegBwRate)
        writeBwRate(device, nowNs, value);
    else if (address == adxlRegFifoCtl)
        writeFifoCtl(device, value);
    else
        device.registers[address] = value;
}

// What a read of address returns.  Read too soon after a pop, the data
// registers and FIFO_STATUS still give what they held before it.
uint8_t readRegister(const Adxl345 &device, int address, bool tooSoon)
{
    if (tooSoon && isDataRegister(address))
        return device.fifo.beforePop[address - adxlRegDataX0];
    if (tooSoon && address == adxlRegFifoStatus)
        return device.fifo.statusBeforePop;
    return adxlPeekRegister(device, address);
}

}  // namespace

uint8_t adxlPeekRegister(const Adxl345 &device, int address)
{
    bool fifo = adxlFifoEnabled(device);
    if (address == adxlRegIntSource && fifo)
        return adxlFifoIntSource(device);
    if (address == adxlRegIntSource)
        return static_cast<uint8_t>((device.dataReady ? adxlIntDataReady : 0) |
                                    (device.dataOverrun ? adxlIntOverrun : 0));
    if (address == adxlRegFifoStatus)
        return adxlFifoStatus(device);
    return device.registers[address & adxlCmdAddressMask];
}

// Bring the data registers and the FIFO up to date with the samples that
// have arrived by nowNs.  In bypass mode only the latest one matters: older
// ones are lost.
void adxlAdvance(Adxl345 &device, int64_t nowNs)
{
    if (nowNs > device.lastNs)
        device.lastNs = nowNs;
    if (!device.measuring)
        return;
    int64_t arrived = adxlSamplesArrivedBy(device, nowNs);
    if (arrived <= device.samplesProduced)
        return;
    if (adxlFifoEnabled(device)) {
        adxlFifoCollect(device, arrived);
    } else {
        // Unread, the sample shown and any that came and went are lost.
        int64_t latest = arrived - 1;
        if (device.dataReady || latest > device.samplesProduced)
            device.dataOverrun = true;
        adxlMakeSample(device, latest, adxlSampleMotionSec(device, latest),
                       &device.registers[adxlRegDataX0]);
        device.dataReady = true;
    }
    device.samplesProduced = arrived;
}

// One SPI transaction (chip select low at nowNs for count bytes, each
// taking byteNs on the wire).  The device state is brought up to the end of
// the command byte once, so every byte of a multi-byte read of the data registers belongs to the
// same sample, as the real device guarantees by holding the registers
// during the transaction.  With the FIFO on, that read pops the sample
// when it ends: as the address moves on past DATAZ1, or as chip select
// rises.
void adxlTransaction(Adxl345 &device, int64_t nowNs, double byteNs, const uint8_t *mosi, uint8_t *miso,
                     size_t count)
{
    if (count == 0)
        return;
    // What the device shifts out is what it holds once the command byte is
    // in.
    adxlAdvance(device, afterBytesNs(nowNs, byteNs, 1));
    uint8_t command = mosi[0];
    bool read = (command & adxlCmdRead) != 0;
    bool multiByte = (command & adxlCmdMultiByte) != 0;
    int address = command & adxlCmdAddressMask;
    // In 3-wire mode the device answers on its data-in line, so a 4-wire
    // host sees nothing on MISO.
    bool drivesMiso = (device.registers[adxlRegDataFormat] & adxlFormatSpi3Wire) == 0;
    bool fifo = adxlFifoEnabled(device);
    bool tooSoon = fifo && adxlFifoSettling(device, nowNs);
    bool dataRead = false;

    miso[0] = adxlMisoUndriven;
    for (size_t i = 1; i < count; ++i) {
        if (read) {
            miso[i] = drivesMiso ? readRegister(device, address, tooSoon) : adxlMisoUndriven;
            dataRead = dataRead || isDataRegister(address);
        } else {
            miso[i] = adxlMisoUndriven;
            writeRegister(device, nowNs, address, mosi[i]);
        }
        if (!multiByte)
            continue;
        if (fifo && dataRead && !tooSoon && address == adxlRegDataZ1) {
            // The next byte follows the pop at once: far too soon.
            adxlFifoPop(device, afterBytesNs(nowNs, byteNs, i + 1));
            tooSoon = true;
        }
        address = (address + 1) & adxlCmdAddressMask;
    }
    if (dataRead && !fifo) {
        device.dataReady = false;
        device.dataOverrun = false;
    } else if (dataRead && !tooSoon)
        adxlFifoPop(device, afterBytesNs(nowNs, byteNs, count));
}

// One transaction on a bus run in spiMode at baud.  In another mode, or
// faster than the device can follow, it samples on the wrong clock edge,
// emulated as a one-bit delay of the stream in both directions:
// configuration lands in the wrong registers and reads return garbage, but
// nothing reports an error, as on the hardware.  count is at most
// adxlMaxBusBytes.  Without wireTakesTime the bytes take no time (a bus
// whose transfers the emulation does not time).
void adxlBusTransaction(Adxl345 &device, int64_t nowNs, unsigned spiMode, unsigned baud,
                        bool wireTakesTime, const uint8_t *mosi, uint8_t *miso, size_t count)
{
    double byteNs = wireTakesTime && baud > 0 ? bitsPerByte * nanosPerSecond / baud : 0.0;
    if (spiMode == adxlSpiMode && baud <= adxlMaxBaud) {
        adxlTransaction(device, nowNs, byteNs, mosi, miso, count);
        return;
    }
    delayOneBit(mosi, deviceIn, count);
    adxlTransaction(device, nowNs, byteNs, deviceIn, deviceOut, count);
    delayOneBit(deviceOut, miso, count);
}

void adxlHoldCounts(Adxl345 &device, int x, int y, int z)
{
    device.holding = true;
    device.heldCounts[0] = x;
    device.heldCounts[1] = y;
    device.heldCounts[2] = z;
}

// A pure tone on one axis in place of the built-in motion (and of held
// counts), from the next sample on; noise and offsets still apply.
bool adxlSetTone(Adxl345 &device, int axis, double amplitudeG, double hz)
{
    if (axis < 0 || axis >= adxlAxisCount || !std::isfinite(amplitudeG) || !std::isfinite(hz))
        return false;
    device.signal = AdxlSignal{true, axis, amplitudeG, hz};
    device.holding = false;
    return true;
}

// The amplitude of the uniform noise on every axis, from the next sample
// on.
bool adxlSetNoiseCounts(Adxl345 &device, int counts)
{
    if (counts < 0 || counts > adxlMaxNoiseCounts)
        return false;
    device.noiseCounts = counts;
    return true;
}

// What SELF_TEST adds to each axis, in counts at 256 per g, from the next
// sample made with it set.
void adxlSetSelfTestShift(Adxl345 &device, int x, int y, int z)
{
    device.selfTestShift[0] = x;
    device.selfTestShift[1] = y;
    device.selfTestShift[2] = z;
}
