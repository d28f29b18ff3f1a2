// Faults injected into the emulated library: a failing gpioInitialise;
// failing, stalling, clock-stepping or signal-raising SPI transfers, each due
// at a given spiXfer counted from the moment it was armed; stalled or
// corrupted reads, due at a given read starting at one register; and a bus
// that dies or a MISO line that sticks from a given spiXfer on.
#ifndef EMULATED_FAULTS_H
#define EMULATED_FAULTS_H

#include <cstdint>

// What happens to one transfer.
struct TransferFaults {
    bool replaceResult;  // return result instead of the byte count
    int result;
    double stallSec;   // extra time the transfer takes
    double stepSec;    // wall-clock step after the transfer
    uint64_t signals;  // bit n set: signal n is raised after the transfer
    bool misoStuck;    // every byte read is misoLevel, writes reach nothing
    uint8_t misoLevel;
    bool corruptFirst;  // the byte of the first register read is corruptValue
    uint8_t corruptValue;
};

enum class FaultKind { fail, stall, step, signal, stallRead, corruptRead };

inline constexpr int maxPendingFaults = 64;

void faultsReset();
void faultsArmInitialise(int result);
bool faultsTakeInitialise(int *result);
bool faultsArmTransfer(FaultKind kind, long n, int result, double seconds);
bool faultsArmRead(FaultKind kind, int address, long n, double seconds, uint8_t value);
bool faultsArmDeadFrom(long n, int result);
bool faultsArmStuckFrom(long n, uint8_t level);
TransferFaults faultsNextTransfer(uint8_t command);
TransferFaults faultsNextWrite();

// Stalls of the process by the clock rather than by transfer: every
// everySec (or, with randomMaxSec > 0, at random intervals of 0.5 to
// 1.5 times everySec) a stall of stallSec (or of up to randomMaxSec at random).
void faultsStallSchedule(double everySec, double stallSec, double randomMaxSec, uint64_t seed);
// The stall due for a transfer that starts at nowSec: those scheduled
// since the last transfer, taken together.
double faultsScheduledStall(double nowSec);
// The time all stalls injected since the reset took.
double faultsStalledSec();

#endif
