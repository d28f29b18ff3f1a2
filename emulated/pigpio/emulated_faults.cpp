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

void applyFault(const PendingFault &fault, TransferFaults &faults)
{
    switch (fault.kind) {
    case FaultKind::fail:
        faults.replaceResult = true;
        faults.result = fault.result;
        break;
    case FaultKind::stall:
        faults.stallSec += fault.seconds;
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
