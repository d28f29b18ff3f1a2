// The clock of the emulated library: pigpio's wall clock (time_time), its
// sleep (time_sleep), the time SPI transfers take, and the monotonic time
// the emulated device samples by.  Either the real clocks of the machine or
// a virtual clock that only moves when a transfer or a sleep moves it.  A
// kill of the process can be set for the moment a sleep or transfer
// reaches a given device time.
#ifndef EMULATED_CLOCK_H
#define EMULATED_CLOCK_H

#include <cstddef>
#include <cstdint>

inline constexpr int64_t nanosPerSecond = 1000000000;
inline constexpr int bitsPerSpiByte = 8;

void clockReset();
void clockUseVirtual(double startSec);
void clockSetTransferTiming(double overheadSec, bool zeroWireTime);
int64_t clockDeviceNs();
double clockMonotonicSec();
double clockWallSec();
void clockSleep(double seconds);
double clockSleptSec();
int64_t clockTransferNs(size_t bytes, unsigned baud, double extraSec);
int64_t clockLeadInNs();
bool clockWireTakesTime();
void clockWaitUntil(int64_t deviceNs);
void clockStepWall(double stepSec);
bool clockKillAt(double deviceSec);
void clockKillIfDue();

#endif
