// Bookkeeping of injected faults.
#include "emulated_faults.h"

#include <cstdint>

#include "adxl345.h"

namespace {

struct PendingFault {
    FaultKind kind;
    int result;
    int64_t due;  // number of the spiXfer it applies to, or of the read at address
    double seconds;
    int address;
    uint8_t value;
};

bool initialiseArmed = false;
int initialiseResult = 0;
PendingFault pending[maxPendingFaults];
int pendingCount = 0;
int64_t transfersSeen = 0;
// spiXfer calls whose command byte is a read starting at each register.
int64_t readsSeen[adxlRegisterCount] = {};

// The bus dead, or MISO stuck, from a numbered spiXfer on (0: never).
int64_t deadFrom = 0;
int deadResult = 0;
int64_t stuckFrom = 0;
uint8_t stuckLevel = 0;

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
    case FaultKind::stallRead:
        faults.stallSec += fault.seconds;
        stalledSec += fault.seconds;
        break;
    case FaultKind::corruptRead:
        faults.corruptFirst = true;
        faults.corruptValue = fault.value;
        break;
    }
}

bool isReadFault(FaultKind kind)
{
    return kind == FaultKind::stallRead || kind == FaultKind::corruptRead;
}

// The faults that last once their spiXfer has come: a dead bus exchanges
// nothing, a stuck MISO line reads one level and lets nothing through.
void applyLasting(TransferFaults &faults)
{
    if (deadFrom > 0 && transfersSeen >= deadFrom) {
        faults.replaceResult = true;
        faults.result = deadResult;
    }
    if (stuckFrom > 0 && transfersSeen >= stuckFrom) {
        faults.misoStuck = true;
        faults.misoLevel = stuckLevel;
    }
}

}  // namespace

void faultsReset()
{
    initialiseArmed = false;
    initialiseResult = 0;
    pendingCount = 0;
    transfersSeen = 0;
    for (int64_t &reads : readsSeen)
        reads = 0;
    deadFrom = 0;
    deadResult = 0;
    stuckFrom = 0;
    stuckLevel = 0;
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
    pending[pendingCount++] = PendingFault{kind, result, transfersSeen + n, seconds, 0, 0};
    return true;
}

// Arm a fault for the n-th spiXfer from now whose command byte is a read
// starting at address.  False when either is out of range or too many
// faults are pending.
bool faultsArmRead(FaultKind kind, int address, long n, double seconds, uint8_t value)
{
    if (n < 1 || address < 0 || address >= adxlRegisterCount || pendingCount == maxPendingFaults)
        return false;
    pending[pendingCount++] = PendingFault{kind, 0, readsSeen[address] + n, seconds, address, value};
    return true;
}

// From the n-th spiXfer from now on, every transfer returns result (a
// negative pigpio error).  False for n below 1 or a result that is not an
// error.
bool faultsArmDeadFrom(long n, int result)
{
    if (n < 1 || result >= 0)
        return false;
    deadFrom = transfersSeen + n;
    deadResult = result;
    return true;
}

// From the n-th spiXfer from now on, MISO reads level and nothing reaches
// the device.
bool faultsArmStuckFrom(long n, uint8_t level)
{
    if (n < 1)
        return false;
    stuckFrom = transfersSeen + n;
    stuckLevel = level;
    return true;
}

// Count one spiXfer, which sent command first, and collect (and disarm)
// the faults due for it.
TransferFaults faultsNextTransfer(uint8_t command)
{
    ++transfersSeen;
    int readAddress = -1;
    if ((command & adxlCmdRead) != 0) {
        readAddress = command & adxlCmdAddressMask;
        ++readsSeen[readAddress];
    }
    TransferFaults faults{};
    int kept = 0;
    for (int i = 0; i < pendingCount; ++i) {
        const PendingFault &fault = pending[i];
        bool due = isReadFault(fault.kind)
                       ? fault.address == readAddress && fault.due == readsSeen[fault.address]
                       : fault.due == transfersSeen;
        if (due)
            applyFault(fault, faults);
        else
            pending[kept++] = fault;
    }
    pendingCount = kept;
    applyLasting(faults);
    return faults;
}

// The faults of a spiWrite: only those that last.
TransferFaults faultsNextWrite()
{
    TransferFaults faults{};
    applyLasting(faults);
    return faults;
}
