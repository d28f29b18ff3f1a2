// The ADXL345's FIFO: the queue of unread samples behind the data registers
// in FIFO, stream and trigger modes, and the status it reports.
#include <cstring>

#include "adxl345.h"

namespace {

uint8_t fifoMode(const Adxl345 &device)
{
    return device.registers[adxlRegFifoCtl] & adxlFifoModeMask;
}

// The oldest unread sample is what the data registers show.
void showOldest(Adxl345 &device)
{
    const AdxlFifo &fifo = device.fifo;
    if (fifo.count > 0)
        std::memcpy(&device.registers[adxlRegDataX0], fifo.samples[fifo.head], adxlSampleBytes);
}

int entriesBehindOutput(const AdxlFifo &fifo)
{
    return fifo.count > 0 ? fifo.count - 1 : 0;
}

// A new sample arrives.  When all places are taken, FIFO mode stops
// collecting (the new sample is lost) and stream and trigger modes discard
// the oldest; Overrun records the loss either way.
void push(Adxl345 &device, const uint8_t sample[adxlSampleBytes])
{
    AdxlFifo &fifo = device.fifo;
    if (fifo.count == adxlSamplesHeld) {
        fifo.overrun = true;
        ++fifo.dropped;
        if (fifoMode(device) == adxlFifoModeFifo)
            return;
        fifo.head = (fifo.head + 1) % adxlSamplesHeld;
        --fifo.count;
    }
    std::memcpy(fifo.samples[(fifo.head + fifo.count) % adxlSamplesHeld], sample, adxlSampleBytes);
    ++fifo.count;
    showOldest(device);
}

}  // namespace

bool adxlFifoEnabled(const Adxl345 &device)
{
    return fifoMode(device) != adxlFifoModeBypass;
}

// Bypass mode holds nothing; the data registers keep what they show.
void adxlFifoEmpty(Adxl345 &device)
{
    device.fifo.head = 0;
    device.fifo.count = 0;
    device.fifo.overrun = false;
}

// Samples from the first not yet produced up to arrived - 1 come in.  Of a
// long run only those that can still be in the FIFO are made: the first
// that fit in FIFO mode, the latest in stream and trigger modes.
void adxlFifoCollect(Adxl345 &device, int64_t arrived)
{
    int64_t first = device.samplesProduced;
    int64_t last = arrived;
    bool keepsFirst = fifoMode(device) == adxlFifoModeFifo;
    if (keepsFirst && last - first > adxlSamplesHeld)
        last = first + adxlSamplesHeld;
    if (!keepsFirst && last - first > adxlSamplesHeld) {
        // Each of those never made pushed one sample out.
        device.fifo.dropped += last - adxlSamplesHeld - first;
        first = last - adxlSamplesHeld;
        device.fifo.overrun = true;
    }
    if (keepsFirst && arrived > last) {
        device.fifo.dropped += arrived - last;
        device.fifo.overrun = true;
    }
    uint8_t sample[adxlSampleBytes];
    for (int64_t k = first; k < last; ++k) {
        adxlMakeSample(device, k, adxlSampleMotionSec(device, k), sample);
        push(device, sample);
    }
}

// A read of the data registers ended at nowNs: the sample it read leaves
// and the next oldest moves into the data registers.  With nothing queued
// the data registers keep the last sample and nothing happens.
void adxlFifoPop(Adxl345 &device, int64_t nowNs)
{
    AdxlFifo &fifo = device.fifo;
    if (fifo.count == 0)
        return;
    fifo.statusBeforePop = adxlFifoStatus(device);
    std::memcpy(fifo.beforePop, fifo.samples[fifo.head], adxlSampleBytes);
    fifo.head = (fifo.head + 1) % adxlSamplesHeld;
    --fifo.count;
    fifo.overrun = false;
    fifo.popped = true;
    fifo.popNs = nowNs;
    showOldest(device);
}

// Whether a read starting at nowNs comes too soon after the latest pop.
bool adxlFifoSettling(const Adxl345 &device, int64_t nowNs)
{
    return device.fifo.popped && nowNs - device.fifo.popNs < adxlFifoSettleNs;
}

uint8_t adxlFifoStatus(const Adxl345 &device)
{
    if (!adxlFifoEnabled(device))
        return 0;
    return static_cast<uint8_t>(entriesBehindOutput(device.fifo) & adxlFifoEntriesMask);
}

// DATA_READY, Watermark and Overrun follow the queue: they clear as it is
// read, not when INT_SOURCE is.
uint8_t adxlFifoIntSource(const Adxl345 &device)
{
    const AdxlFifo &fifo = device.fifo;
    uint8_t source = 0;
    if (fifo.count > 0)
        source |= adxlIntDataReady;
    if (entriesBehindOutput(fifo) >= (device.registers[adxlRegFifoCtl] & adxlFifoWatermarkMask))
        source |= adxlIntWatermark;
    if (fifo.overrun)
        source |= adxlIntOverrun;
    return source;
}
