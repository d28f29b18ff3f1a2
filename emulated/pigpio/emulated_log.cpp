// Transaction log: every transaction is counted, the first
// emulatedLogCapacity are kept with their first emulatedLogBytesKept bytes.
#include "emulated_log.h"

#include <algorithm>
#include <cstring>

#include "pigpio_emulation.h"

namespace {

struct LoggedTransaction {
    size_t count;  // bytes on the wire
    unsigned char bytes[emulatedLogBytesKept];
};

LoggedTransaction entries[emulatedLogCapacity];
long transactionCount = 0;

}  // namespace

void logReset()
{
    transactionCount = 0;
}

void logTransaction(const unsigned char *bytes, size_t count)
{
    if (transactionCount < emulatedLogCapacity) {
        LoggedTransaction &entry = entries[transactionCount];
        entry.count = count;
        std::memcpy(entry.bytes, bytes, std::min(count, emulatedLogBytesKept));
    }
    ++transactionCount;
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
