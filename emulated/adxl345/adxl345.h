// The emulated ADXL345: register file, SPI command decoding, its FIFO and
// the samples the device produces.  The device knows nothing about pigpio or
// handles: the bus code hands it the bytes it sees on MOSI together with the
// device's own monotonic time, and takes back what it drives on MISO.
//
// The FIFO (FIFO_CTL 0x38): in bypass mode the data registers hold the
// latest sample and nothing is queued.  In FIFO, stream and trigger modes
// the data registers hold the oldest unread sample and up to 32 more wait
// behind them (33 in all); FIFO_STATUS counts those behind, so it reads 32
// when full.  A read of the data registers pops one sample when it ends
// (chip select released, or the address moving on past DATAZ1), however
// many of their bytes it read.  A read of the data registers or of
// FIFO_STATUS that starts less than adxlFifoSettleNs after a pop gets the
// values from before that pop again and pops nothing.  When the queue is
// full a new sample is dropped in FIFO mode and replaces the oldest in
// stream mode; either way Overrun is set, and the next pop clears it.
// Watermark is set while FIFO_STATUS's entries reach FIFO_CTL's samples
// (always, with samples 0); DATA_READY while a sample is unread.  In bypass
// mode Overrun is set when a sample replaces one that was not read, and a
// read of the data registers clears it with DATA_READY.  Trigger
// mode behaves as stream mode does before its trigger event: no trigger
// event is emulated (nor are the interrupt pins), so FIFO_TRIG stays 0.
//
// Samples come from the device's own clock, which may be set to run a
// fraction off its nominal rate, to drift (a ramp and a slow wander of that
// fraction), and to start a chosen phase after Measure.
//
// Self-test (DATA_FORMAT bit 7): every sample made while the bit is set
// carries a fixed shift on each axis, as if an acceleration were added;
// samples made before keep what they had.  The shift applies in full from
// the first sample after the bit is set (a real part takes a few samples to
// settle).
//
// Not emulated: low power (BW_RATE bit 4) and the sleep/auto-sleep bits of
// POWER_CTL are stored but change nothing; at 3200 and 1600 Hz the least
// significant bit of full-resolution values is not forced to 0; INT_SOURCE
// reports no tap, activity or free-fall, and no Watermark in bypass mode.
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
inline constexpr uint8_t adxlBwRateReset = 0x0A;  // 100 Hz
inline constexpr uint8_t adxlBwRateCodeMask = 0x0F;
inline constexpr uint8_t adxlPowerMeasure = 0x08;
inline constexpr uint8_t adxlIntDataReady = 0x80;
inline constexpr uint8_t adxlFormatSelfTest = 0x80;
inline constexpr uint8_t adxlFormatSpi3Wire = 0x40;
inline constexpr uint8_t adxlFormatFullRes = 0x08;
inline constexpr uint8_t adxlFormatJustify = 0x04;
inline constexpr uint8_t adxlFormatRangeMask = 0x03;
inline constexpr uint8_t adxlIntWatermark = 0x02;
inline constexpr uint8_t adxlIntOverrun = 0x01;
inline constexpr uint8_t adxlFifoModeMask = 0xC0;  // FIFO_CTL bits 7..6
inline constexpr uint8_t adxlFifoModeBypass = 0x00;
inline constexpr uint8_t adxlFifoModeFifo = 0x40;
inline constexpr uint8_t adxlFifoModeStream = 0x80;
inline constexpr uint8_t adxlFifoModeTrigger = 0xC0;
inline constexpr uint8_t adxlFifoWatermarkMask = 0x1F;  // FIFO_CTL `samples`
inline constexpr uint8_t adxlFifoEntriesMask = 0x3F;    // FIFO_STATUS entries

// What the host reads on MISO while the device does not drive it (the
// command byte of every transaction, bytes of a write, 3-wire mode).
inline constexpr uint8_t adxlMisoUndriven = 0x00;

// Output data rate: code 0x0F is 3200 Hz (312.5 us), each code below halves
// the rate, down to code 0x00 at 0.098 Hz.
inline constexpr int adxlFastestRateCode = 0x0F;
inline constexpr int64_t adxlFastestPeriodNs = 312500;

// The FIFO: 32 entries behind the data registers, each sample six bytes,
// and the time the FIFO needs after a pop before it can be read again.
inline constexpr int adxlFifoDepth = 32;
inline constexpr int adxlSamplesHeld = adxlFifoDepth + 1;
inline constexpr int adxlSampleBytes = 6;
inline constexpr int64_t adxlFifoSettleNs = 5000;

// How far off nominal the sample clock may be set to run (a fraction), as
// far as its drift can take it within adxlDriftHorizonSec of the first
// Measure: a fast ramp is for tests and benchmarks of minutes.
inline constexpr double adxlMaxClockError = 0.5;
inline constexpr double adxlDriftHorizonSec = 600.0;
// How many stretches of sample timing (from one restart of the count to
// the next: Measure, a new rate, new clock settings while measuring) the
// device remembers the arrival times of.
inline constexpr int adxlClockHistory = 8;
// The longest start phase the controls take, in seconds (a phase is only
// meaningful within one period, 160 ms at the slowest rate).
inline constexpr double adxlLongestPhaseSec = 1e6;

// What the device can follow on the bus: SPI mode 3 (clock idles high, data
// sampled on the rising edge) at up to 5 MHz, and transactions of at most
// adxlMaxBusBytes (the longest any host library sends).
inline constexpr unsigned adxlSpiMode = 3;
inline constexpr unsigned adxlMaxBaud = 5000000;
inline constexpr size_t adxlMaxBusBytes = 1u << 16;

// Scaling.
inline constexpr int adxlAxisCount = 3;
inline constexpr int adxlFullResCountsPerG = 256;
inline constexpr int adxlFixedResBits = 10;  // without FULL_RES
inline constexpr int adxlRegisterBits = 16;
inline constexpr double adxlOffsetGPerCount = 0.015625;  // 15.6 mg per OFSx count

// Emulated motion, in g: gravity on z plus small vibrations, plus uniform
// noise of at most adxlNoiseCounts counts at 256 counts per g (by default;
// up to adxlMaxNoiseCounts can be set).
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
inline constexpr int adxlMaxNoiseCounts = 256;
inline constexpr uint64_t adxlNoiseSeed = 0x5EED0ADA1345ULL;

// The self-test shift of a typical part at 3.3 V, in counts at 256 per g:
// near the middle of the datasheet's limits there (x +89 to +956, y -956 to
// -89, z +110 to +1286), and within those at 2.5 V as well.
inline constexpr int adxlSelfTestShiftX = 520;
inline constexpr int adxlSelfTestShiftY = -520;
inline constexpr int adxlSelfTestShiftZ = 700;

// The signal the device senses: the built-in motion, or a pure tone on one
// axis with the others still (gravity stays on z).
struct AdxlSignal {
    bool tone;
    int toneAxis;
    double toneAmplitudeG;
    double toneHz;
};

// The samples waiting to be read in FIFO, stream and trigger modes: a ring
// whose oldest entry (at head) is the one in the data registers.
struct AdxlFifo {
    uint8_t samples[adxlSamplesHeld][adxlSampleBytes];
    int head;
    int count;                           // 0..adxlSamplesHeld
    bool overrun;                        // a sample was lost since the last pop
    int64_t dropped;                     // samples lost since power-on
    bool popped;                         // popNs and the values before it are set
    int64_t popNs;                       // device time of the latest pop
    uint8_t beforePop[adxlSampleBytes];  // the sample that pop removed
    uint8_t statusBeforePop;             // FIFO_STATUS just before it
};

// How the sample clock's fraction off nominal moves, s seconds after the
// first Measure: rampPerSec * s + wanderFraction * sin(2 pi s /
// wanderPeriodSec), on top of the clock error.
struct AdxlDrift {
    double rampPerSec;
    double wanderFraction;
    double wanderPeriodSec;
};

// The timing of one stretch of samples, from firstSample on.  A steady
// clock (no drift) times sample k at epochNs + firstDelayNs + (k -
// firstSample) periods, the period being the nominal one divided by 1 +
// clockError.  A drifting clock times it where its nominal periods counted
// since the first Measure (the rate integrated over the drift) reach
// cycleBase + k.
struct AdxlSampleClock {
    int64_t firstSample;
    int64_t epochNs;      // device time the stretch began
    double firstDelayNs;  // steady: from epochNs to firstSample
    double periodNs;      // steady: the period
    bool drifting;
    double nominalHz;
    double clockError;
    AdxlDrift drift;
    double cycleBase;  // drifting
};

// The whole state of the device.  Samples are counted from the first
// Measure since power-on; a sample's motion time is its arrival time minus
// originNs.
struct Adxl345 {
    uint8_t registers[adxlRegisterCount];
    bool measuring;
    bool dataReady;                            // a sample has arrived that was not read yet
    bool dataOverrun;                          // bypass: a sample replaced one that was not read
    bool originSet;                            // Measure was set at least once
    int64_t originNs;                          // device time of the first Measure
    AdxlSampleClock clocks[adxlClockHistory];  // a ring, the latest at clockIndex
    int clockIndex;
    int clocksKept;
    int64_t samplesProduced;
    int64_t lastNs;  // latest device time seen
    bool holding;    // constant counts instead of motion
    int heldCounts[adxlAxisCount];
    double clockError;     // the sample clock's fraction off nominal
    AdxlDrift drift;       // and how that fraction moves
    int64_t startPhaseNs;  // first sample after Measure (0: one period)
    AdxlSignal signal;
    int noiseCounts;                   // amplitude of the uniform noise
    int selfTestShift[adxlAxisCount];  // counts at 256 per g
    AdxlFifo fifo;
};

// The device as it comes out of power-on reset.
constexpr Adxl345 adxlPowerOnState()
{
    Adxl345 device{};
    device.registers[adxlRegDevId] = adxlDevIdValue;
    device.registers[adxlRegBwRate] = adxlBwRateReset;
    device.noiseCounts = adxlNoiseCounts;
    device.selfTestShift[0] = adxlSelfTestShiftX;
    device.selfTestShift[1] = adxlSelfTestShiftY;
    device.selfTestShift[2] = adxlSelfTestShiftZ;
    return device;
}

// Device register file and command decoding (adxl345.cpp).
void adxlTransaction(Adxl345 &device, int64_t nowNs, double byteNs, const uint8_t *mosi, uint8_t *miso,
                     size_t count);
void adxlBusTransaction(Adxl345 &device, int64_t nowNs, unsigned spiMode, unsigned baud,
                        bool wireTakesTime, const uint8_t *mosi, uint8_t *miso, size_t count);
void adxlAdvance(Adxl345 &device, int64_t nowNs);
uint8_t adxlPeekRegister(const Adxl345 &device, int address);
void adxlHoldCounts(Adxl345 &device, int x, int y, int z);
bool adxlSetTone(Adxl345 &device, int axis, double amplitudeG, double hz);
bool adxlSetNoiseCounts(Adxl345 &device, int counts);
void adxlSetSelfTestShift(Adxl345 &device, int x, int y, int z);

// The sample clock (adxl345_clock.cpp).
double adxlSteadyPeriodNs(const Adxl345 &device);
double adxlFirstDelayAfterMeasureNs(const Adxl345 &device);
void adxlRestartCounting(Adxl345 &device, int64_t nowNs, double firstDelayNs);
int64_t adxlSamplesArrivedBy(const Adxl345 &device, int64_t nowNs);
double adxlSampleMotionSec(const Adxl345 &device, int64_t k);
double adxlSampleArrivalNs(const Adxl345 &device, int64_t k);
void adxlRestartClock(Adxl345 &device, int64_t nowNs);
bool adxlSetClockError(Adxl345 &device, double fractionOffNominal);
bool adxlSetDrift(Adxl345 &device, double rampPerSec, double wanderFraction, double wanderPeriodSec);
bool adxlSetStartPhase(Adxl345 &device, int64_t ns);

// The same controls as the bus stand-ins offer them (adxl345_controls.cpp).
void adxlControlClockError(Adxl345 &device, const char *standIn, double fractionOffNominal);
void adxlControlDrift(Adxl345 &device, const char *standIn, double rampPerSec, double wanderFraction,
                      double wanderPeriodSec);
void adxlControlStartPhase(Adxl345 &device, const char *standIn, double seconds);
void adxlControlTone(Adxl345 &device, const char *standIn, int axis, double amplitudeG, double hz);
void adxlControlNoiseCounts(Adxl345 &device, const char *standIn, int counts);
void adxlControlSelfTestShift(Adxl345 &device, int x, int y, int z);

// The FIFO (adxl345_fifo.cpp).
bool adxlFifoEnabled(const Adxl345 &device);
void adxlFifoEmpty(Adxl345 &device);
void adxlFifoCollect(Adxl345 &device, int64_t arrived);
void adxlFifoPop(Adxl345 &device, int64_t nowNs);
bool adxlFifoSettling(const Adxl345 &device, int64_t nowNs);
uint8_t adxlFifoStatus(const Adxl345 &device);
uint8_t adxlFifoIntSource(const Adxl345 &device);

// Sample generation (adxl345_samples.cpp).
void adxlMotionG(double seconds, double g[adxlAxisCount]);
void adxlSignalG(const AdxlSignal &signal, double seconds, double g[adxlAxisCount]);
int adxlNoiseCountsAt(int64_t sampleIndex, int axis, int amplitude);
uint16_t adxlAxisRegisterValue(double g, uint8_t dataFormat);
void adxlMakeSample(const Adxl345 &device, int64_t sampleIndex, double motionSec,
                    uint8_t sample[adxlSampleBytes]);

#endif
