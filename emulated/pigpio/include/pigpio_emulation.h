// Control of the emulated pigpio library, for tests and benchmarks only.
// The program that users run never calls these: it runs on the real clock
// with the emulated ADXL345 in its power-on state.  Like the library's
// pigpio functions they belong to one thread; hostMonotonicSec alone may be
// called from any.
//
// The emulated bus: SPI channel 0 carries the ADXL345, channel 1 nothing.
// The device needs SPI mode 3 (flags & 3) and at most 5 MHz; otherwise it
// samples on the wrong clock edge, which is emulated as a one-bit delay of
// the stream in both directions: configuration lands in the wrong registers
// and reads return garbage, but every call succeeds, as on the hardware.
//
// The ADXL345's FIFO (FIFO_CTL 0x38) works as on the part: in FIFO, stream
// and trigger modes each read of the data registers pops one sample when
// the transfer's bytes have gone over the wire, and a read of the data
// registers or of FIFO_STATUS that starts less than emulatedFifoSettleSec
// after that gets the values from before the pop again, popping nothing.
// The next transfer starts the library overhead after the previous one's
// bytes (emulatedDefaultOverheadSec, longer than that wait): set a smaller
// overhead with emulatedSetTransferTiming to catch a reader that does not
// wait.  The full rules are in emulated/adxl345/adxl345.h.
#ifndef PIGPIO_EMULATION_H
#define PIGPIO_EMULATION_H

#include <cstddef>

// Figures of the emulation.
inline constexpr int emulatedPigpioVersion = 79;             // what gpioInitialise returns
inline constexpr double emulatedDefaultOverheadSec = 15e-6;  // per transfer, pigpio on a Pi
inline constexpr double emulatedWakeLatencySec = 80e-6;      // added to every virtual sleep
// What the host reads where no device drives MISO (SPI channel 1, which has
// nothing attached, and the bytes of the ADXL345's own writes).
inline constexpr unsigned char emulatedMisoUndriven = 0x00;
// The emulated motion carries uniform noise of up to this many counts (at
// 256 per g) on each axis, unless emulatedSetNoiseCounts sets another.
inline constexpr int emulatedNoiseCounts = 2;
// What DATA_FORMAT's SELF_TEST bit adds to each axis, in counts at 256 per
// g, unless emulatedSetSelfTestShift sets another: a typical part at 3.3 V.
inline constexpr int emulatedSelfTestShiftX = 520;
inline constexpr int emulatedSelfTestShiftY = -520;
inline constexpr int emulatedSelfTestShiftZ = 700;
// The FIFO holds this many samples behind the data registers, and after a
// pop needs this long before the data registers or FIFO_STATUS can be read
// again.
inline constexpr int emulatedFifoDepth = 32;
inline constexpr double emulatedFifoSettleSec = 5e-6;

// Back to power-on: device registers at their reset values, real clock,
// realistic transfer timing, no injected faults and no kill, empty
// transaction log, library not initialised, start-up notice on.  (Signal
// dispositions are the process's: gpioInitialise takes over SIGHUP, SIGINT,
// SIGQUIT and SIGTERM with handlers that terminate the library and exit
// with status 255, and ignores SIGPIPE, as pigpio does.)
void emulatedReset();

// Suppress (or restore) the one-line notice on standard error that
// gpioInitialise prints to say no hardware is read.
void emulatedSetQuiet(bool quiet);

// Run on a virtual clock from now on: time_time starts at startSec, transfers
// advance it by their duration, time_sleep advances it by the requested time
// plus a fixed wake-up latency, and nothing waits in real time.  Nothing
// else moves it: a loop that only polls time_time never sees time pass.
// The device's own time, which hostMonotonicSec (shakelog/host_clock.h)
// reports from any thread, starts at 0 here and moves with it; steps of the
// wall clock (emulatedStepClock) leave it alone.  On the real clock it is
// CLOCK_MONOTONIC.
void emulatedUseVirtualClock(double startSec);

// Library overhead added to the wire time of every transfer, in seconds
// (default: a realistic figure for pigpio on a Pi).  With zero overhead and
// zeroWireTime set, transfers take no time at all (for loop benchmarks).
void emulatedSetTransferTiming(double overheadSec, bool zeroWireTime);

// The next gpioInitialise returns result (PI_INIT_FAILED to make it fail).
void emulatedFailInitialise(int result);

// The n-th spiXfer from now (1 for the next) returns result instead of the
// byte count: a negative pigpio error, or a short count such as 6.  With a
// negative result no byte is exchanged; with a short count only that many
// (the rest of the receive buffer is left as it was).  Only spiXfer calls
// that reach the bus are counted (not those rejected for a bad handle or
// count); n below 1 arms nothing.
void emulatedFailTransfer(long n, int result);

// The n-th spiXfer from now takes extraSec longer (a stall of the bus or of
// the process).  On the real clock the transfer really waits that long.
void emulatedStallTransfer(long n, double extraSec);

// The n-th spiXfer from now whose command byte is a read starting at
// register address (0x00..0x3F, with or without multi-byte) is held up
// extraSec after its bytes are exchanged, as emulatedStallTransfer holds up
// a transfer of any kind: emulatedStallRead(0x39, 3, 0.02) stalls the host
// right after its third read of FIFO_STATUS.  Reads are counted from the
// moment it is armed, each register on its own.
void emulatedStallRead(int address, long n, double extraSec);

// In the n-th such read, the byte of the first register addressed (rx byte
// 1) reads value; the device and every other byte are as they would be
// (emulatedCorruptRead(0x39, 1, 0x3F): an impossible FIFO_STATUS).
void emulatedCorruptRead(int address, long n, unsigned char value);

// A bus that dies: the n-th spiXfer from now, and every spiXfer and
// spiWrite after it, return result (a negative pigpio error such as
// PI_SPI_XFER_FAILED; refused otherwise), exchanging nothing.
void emulatedFailTransfersFrom(long n, int result);

// From the n-th spiXfer from now on (spiWrite calls after it too), every
// byte the host reads is level and what it writes reaches nothing: 0x00 for
// a sensor gone or a wire off, 0xFF for MISO held high.  Results are still
// the byte counts.
void emulatedMisoStuckFrom(long n, unsigned char level);

// The first transfer or sleep that reaches device time deviceSec (on
// hostMonotonicSec's base) kills the process with SIGKILL at that moment,
// as a power cut or the out-of-memory killer would: nothing is flushed and
// no handler runs.  For tests and benchmarks that fork a child.  Refused if
// not finite.
void emulatedKillAt(double deviceSec);

// Stalls of the process by the clock: from the next transfer on, every
// everySec one of stallSec; or at random intervals of 0.5 to 1.5 times
// everySec one of up to maxStallSec, drawn from seed.  Each lengthens the first transfer
// that starts after it is due.  An everySec of 0 stops them.
void emulatedStallEvery(double everySec, double stallSec);
void emulatedStallRandomly(double everySec, double maxStallSec, unsigned long long seed);

// Time spent in time_sleep since the reset, wake-up latency included (on
// the virtual clock; 0 on the real one).
double emulatedSleptSec();
// Time the injected stalls took since the reset.
double emulatedStalledSec();

// After the n-th spiXfer from now, the wall clock seen by time_time steps by
// stepSec (negative: backwards), as when the system time is set.  The
// device's own sampling clock is monotonic and does not step.
void emulatedStepClock(long n, double stepSec);

// Right after the n-th spiXfer from now, the process raises signal signo
// (as when Ctrl-C is pressed during that transfer).  Several signals armed
// for one transfer are raised in the order of their numbers.
void emulatedSignalTransfer(long n, int signo);

// Replace the deterministic motion with a constant acceleration given in
// counts at full resolution (256 per g), from the next sample on.  The
// offsets and the configured range and resolution still apply.
void emulatedHoldCounts(int x, int y, int z);

// The device's sample clock runs fractionOffNominal off its nominal rate
// (+0.03: 3 % fast, every period the nominal one divided by 1.03), for
// every data rate.  Set while measuring, the sample already due keeps its
// time and the new period counts from it.  Refused with a line on standard
// error unless it lies within +-0.5, and with a drift set unless the two
// together stay within it for ten minutes.
void emulatedSetSampleClockError(double fractionOffNominal);

// From now on the sample clock drifts: its fraction off nominal at device
// time s seconds after the first Measure is the clock error +
// rampPerSecond * s + wanderFraction * sin(2 pi s / wanderPeriodSec).  Sample
// k (from 0 at the first Measure) arrives where the rate integrated from
// there reaches k + 1 samples (k + phase / period with a start phase set),
// for every data rate.  Set while measuring, the sample already due keeps
// its time.  Refused with a line on standard error, the clock left as it
// was, where the fraction could leave +-0.5 within ten minutes of the first
// Measure, for a wander without a positive period, or for a value that is
// not finite.  With no ramp and no wander the clock is steady again, its
// sample times exact to the nanosecond at the nominal rate.
void emulatedSetSampleClockDrift(double rampPerSecond, double wanderFraction, double wanderPeriodSec);

// The device time, in seconds on hostMonotonicSec's base, at which sample k
// arrives (from 0 at the first Measure; a sample still to come: when it
// will if nothing changes), and the time of the first Measure, which is
// motion time 0.  NaN before the first Measure, and for a sample of a
// stretch of timing long gone (the device remembers the latest 8, each
// running from Measure, a new data rate or new clock settings to the next).
double emulatedSampleArrivalSec(long long k);
double emulatedMeasureOriginSec();

// When Measure is next set, the first sample arrives this long after it
// (taken modulo one sample period; 0, the default, is a whole period).
// Later samples follow at the sample period.  Refused if negative.
void emulatedSetStartPhase(double seconds);

// From the next sample on, the device senses a pure tone of amplitudeG at
// hz on one axis (0 x, 1 y, 2 z) and nothing else but gravity, 1 g on z;
// the noise and the offsets still apply.  It takes the place of the
// built-in motion and of held counts.  Refused for another axis or a value
// that is not finite.
void emulatedSetTone(int axis, double amplitudeG, double hz);

// The amplitude of the uniform noise on each axis, in counts at 256 per g,
// from the next sample on: emulatedNoiseCounts by default, 0 for none, at
// most 256.  Refused with a line on standard error outside that.  Held
// counts carry no noise.
void emulatedSetNoiseCounts(int counts);

// While DATA_FORMAT's SELF_TEST bit (0x80) is set, every sample made
// carries this shift on x, y and z, in counts at 256 per g, scaled, clipped
// and justified in the data format like any acceleration (held counts
// included).  Samples already in the FIFO keep what they had.  It applies
// in full from the first sample after the bit is set.
void emulatedSetSelfTestShift(int x, int y, int z);

// The signal the device senses without noise, in g, at a time in seconds
// since the Measure bit was first set: the built-in motion, or the tone.
// A sample carries the signal at the moment it arrived: at the nominal rate
// and default phase the n-th sample (from 1) at n output-data periods, in
// general at start phase + (n - 1) true periods, and always at
// emulatedSampleArrivalSec(n - 1) - emulatedMeasureOriginSec().
void emulatedMotion(double seconds, double *xG, double *yG, double *zG);

// Disconnect the ADXL345 from the bus: nothing drives MISO, so every byte
// read is emulatedMisoUndriven and writes go nowhere (a missing or miswired
// sensor).  emulatedReset connects it again.
void emulatedDetachSensor();

// Current content of one device register (0x00..0x3F), as a read would
// return it but without a read's side effects and without the FIFO's wait
// after a pop; -1 for other addresses.
int emulatedRegister(int address);

// Number of transactions (spiWrite and spiXfer) seen since the reset, and
// the bytes the host sent in transaction index (0-based, only the first
// emulatedLogCapacity are kept, each with at most emulatedLogBytesKept
// bytes).  Copies at most maxBytes of them into bytes and returns the
// transaction's byte count on the wire (0 for an injected failure), or -1 if
// not kept.
long emulatedTransactionCount();
constexpr long emulatedLogCapacity = 256;
inline constexpr size_t emulatedLogBytesKept = 64;
int emulatedTransactionBytes(long index, unsigned char *bytes, size_t maxBytes);
// When a kept transaction began and ended, by time_time.  False if not kept.
bool emulatedTransactionTimes(long index, double *startSec, double *endSec);

// Samples the FIFO dropped since the reset: those a full FIFO pushed out
// (stream mode) or never took in (FIFO mode).
long long emulatedFifoDropped();

// How many times gpioTerminate was called since the reset.
int emulatedTerminateCount();

#endif
