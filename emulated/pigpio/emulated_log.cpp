// Transaction log: every transaction is counted, the first
// emulatedLogCapacity are kept with their first emulatedLogBytesKept bytes.
#include "emulated_log.h"

#include <algorithm>
#include <cstring>

#include "pigpio_emulation.h"

namespace {

struct LoggedTransaction {
    size_t count;     // bytes on the wire
    double startSec;  // time_time when chip select went low, and high again
    double endSec;
    unsigned char bytes[emulatedLogBytesKept];
};

LoggedTransaction entries[emulatedLogCapacity];
long transactionCount = 0;

}  // namespace

void logReset()
{
    transactionCount = 0;
}

void logTransaction(const unsigned char *bytes, size_t count, double startSec)
{
    if (transactionCount < emulatedLogCapacity) {
        LoggedTransaction &entry = entries[transactionCount];
        entry.count = count;
        entry.startSec = startSec;
        entry.endSec = startSec;
        std::memcpy(entry.bytes, bytes, std::min(count, emulatedLogBytesKept));
    }
    ++transactionCount;
}

void logTransactionEnd(double endSec)
{
    if (transactionCount >= 1 && transactionCount <= emulatedLogCapacity)
        entries[transactionCount - 1].endSec = endSec;
}

long logCount()
{
    return transactionCount;
}

int logBytes(long index, unsigned char *bytes, size_t maxBytes)
{
    if (index < 0 || index >= std::min(transactionCount, emulatedLogCapacity))
        return -1;
    const LoggedTransaction &entry = entries[index];
    if (bytes != nullptr)
        std::memcpy(bytes, entry.bytes, std::min({entry.count, emulatedLogBytesKept, maxBytes}));
    return static_cast<int>(entry.count);
}

bool logTimes(long index, double *startSec, double *endSec)
{
    if (index < 0 || index >= std::min(transactionCount, emulatedLogCapacity))
        return false;
    *startSec = entries[index].startSec;
    *endSec = entries[index].endSec;
    return true;
}
