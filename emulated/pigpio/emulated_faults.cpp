// Bookkeeping of injected faults.
#include "emulated_faults.h"

#include <cstdint>

namespace {

struct PendingFault {
    FaultKind kind;
    int result;
    int64_t dueTransfer;  // number of the spiXfer it applies to
    double seconds;
};

bool initialiseArmed = false;
int initialiseResult = 0;
PendingFault pending[maxPendingFaults];
int pendingCount = 0;
int64_t transfersSeen = 0;

// The stall schedule: off while everySec is 0.
double scheduleEverySec = 0;
double scheduleStallSec = 0;
double scheduleRandomMaxSec = 0;
double scheduleNextSec = 0;
uint64_t scheduleState = 0;
double stalledSec = 0;  // all injected stalls, scheduled or armed

// A uniform draw in [0, 1): splitmix64, so a seed gives the same stalls on
// every machine.
double uniformDraw()
{
    uint64_t z = (scheduleState += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    z ^= z >> 31;
    return static_cast<double>(z >> 11) / static_cast<double>(uint64_t{1} << 53);
}

double nextInterval()
{
    return scheduleRandomMaxSec > 0 ? scheduleEverySec * (0.5 + uniformDraw()) : scheduleEverySec;
}

void applyFault(const PendingFault &fault, TransferFaults &faults)
{
    switch (fault.kind) {
    case FaultKind::fail:
        faults.replaceResult = true;
        faults.result = fault.result;
        break;
    case FaultKind::stall:
        faults.stallSec += fault.seconds;
        stalledSec += fault.seconds;
        break;
    case FaultKind::step:
        faults.stepSec += fault.seconds;
        break;
    case FaultKind::signal:
        faults.signals |= uint64_t{1} << fault.result;
        break;
    }
}

}  // namespace

void faultsReset()
{
    initialiseArmed = false;
    initialiseResult = 0;
    pendingCount = 0;
    transfersSeen = 0;
    scheduleEverySec = 0;
    stalledSec = 0;
}

double faultsStalledSec()
{
    return stalledSec;
}

void faultsStallSchedule(double everySec, double stallSec, double randomMaxSec, uint64_t seed)
{
    scheduleEverySec = everySec > 0 ? everySec : 0;
    scheduleStallSec = stallSec;
    scheduleRandomMaxSec = randomMaxSec;
    scheduleState = seed;
    scheduleNextSec = -1;  // placed by the first transfer
}

double faultsScheduledStall(double nowSec)
{
    if (scheduleEverySec == 0) {
        return 0;
    }
    if (scheduleNextSec < 0) {
        scheduleNextSec = nowSec + nextInterval();
    }
    double stall = 0;
    while (nowSec >= scheduleNextSec) {
        stall += scheduleRandomMaxSec > 0 ? scheduleRandomMaxSec * uniformDraw() : scheduleStallSec;
        scheduleNextSec += nextInterval();
    }
    stalledSec += stall;
    return stall;
}

void faultsArmInitialise(int result)
{
    initialiseArmed = true;
    initialiseResult = result;
}

// The armed initialisation result, once.
bool faultsTakeInitialise(int *result)
{
    if (!initialiseArmed)
        return false;
    initialiseArmed = false;
    *result = initialiseResult;
    return true;
}

// Arm a fault for the n-th spiXfer from now.  False when n is below 1 or
// too many faults are pending.
bool faultsArmTransfer(FaultKind kind, long n, int result, double seconds)
{
    if (n < 1 || pendingCount == maxPendingFaults)
        return false;
    pending[pendingCount++] = PendingFault{kind, result, transfersSeen + n, seconds};
    return true;
}

// Count one spiXfer and collect (and disarm) the faults due for it.
TransferFaults faultsNextTransfer()
{
    ++transfersSeen;
    TransferFaults faults{false, 0, 0.0, 0.0, 0};
    int kept = 0;
    for (int i = 0; i < pendingCount; ++i) {
        if (pending[i].dueTransfer == transfersSeen)
            applyFault(pending[i], faults);
        else
            pending[kept++] = pending[i];
    }
    pendingCount = kept;
    return faults;
}
