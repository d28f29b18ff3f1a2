// Control of the emulated pigpio library, for tests and benchmarks only.
// The program that users run never calls these: it runs on the real clock
// with the emulated ADXL345 in its power-on state.
#ifndef PIGPIO_EMULATION_H
#define PIGPIO_EMULATION_H

#include <cstddef>

// Back to power-on: device registers at their reset values, real clock,
// realistic transfer timing, no injected faults, empty transaction log,
// library not initialised, start-up notice on.
void emulatedReset();

// Suppress (or restore) the one-line notice on standard error that
// gpioInitialise prints to say no hardware is read.
void emulatedSetQuiet(bool quiet);

// Run on a virtual clock from now on: time_time starts at startSec, transfers
// advance it by their duration, time_sleep advances it by the requested time
// plus a fixed wake-up latency, and nothing waits in real time.
void emulatedUseVirtualClock(double startSec);

// Library overhead added to the wire time of every transfer, in seconds
// (default: a realistic figure for pigpio on a Pi).  With zero overhead and
// zeroWireTime set, transfers take no time at all (for loop benchmarks).
void emulatedSetTransferTiming(double overheadSec, bool zeroWireTime);

// The next gpioInitialise returns result (PI_INIT_FAILED to make it fail).
void emulatedFailInitialise(int result);

// The n-th spiXfer from now (1 for the next) returns result instead of the
// byte count: a negative pigpio error, or a short count such as 6.
void emulatedFailTransfer(long n, int result);

// The n-th spiXfer from now takes extraSec longer (a stall of the bus or of
// the process).  Only meaningful on the virtual clock.
void emulatedStallTransfer(long n, double extraSec);

// After the n-th spiXfer from now, the wall clock seen by time_time steps by
// stepSec (negative: backwards), as when the system time is set.
void emulatedStepClock(long n, double stepSec);

// Replace the deterministic motion with a constant acceleration given in
// counts at full resolution (256 per g).
void emulatedHoldCounts(int x, int y, int z);

// Current content of one device register (0x00..0x3F).
int emulatedRegister(int address);

// Number of transactions (spiWrite and spiXfer) seen since the reset, and
// the bytes the host sent in transaction index (0-based, only the first
// emulatedLogCapacity are kept).  Returns the byte count, or -1 if not kept.
long emulatedTransactionCount();
constexpr long emulatedLogCapacity = 256;
int emulatedTransactionBytes(long index, unsigned char *bytes, size_t maxBytes);

// How many times gpioTerminate was called since the reset.
int emulatedTerminateCount();

#endif
