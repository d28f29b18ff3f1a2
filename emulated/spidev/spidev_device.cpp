// The kernel's spidev driver as a program sees it through ioctl, with the
// emulated ADXL345 on the bus.  Transfers are decoded from the kernel's own
// 32-byte layout of struct spi_ioc_transfer (the same for 32- and 64-bit
// programs) at its byte offsets, so that a program filling the structure
// wrongly is caught here as it would be by the kernel.
#include <cerrno>
#include <cstring>
#include <ctime>
#include <linux/spi/spidev.h>

#include "adxl345.h"
#include "spidev_device.h"
#include "spidev_emulation.h"

namespace {

// struct spi_ioc_transfer, byte by byte.
inline constexpr size_t xferSize = 32;
inline constexpr size_t xferTxBuf = 0;
inline constexpr size_t xferRxBuf = 8;
inline constexpr size_t xferLen = 16;
inline constexpr size_t xferSpeedHz = 20;
inline constexpr size_t xferDelayUsecs = 24;  // 16 bits
inline constexpr size_t xferBitsPerWord = 26;
inline constexpr size_t xferUnusedFrom = 27;  // cs_change, tx_nbits, rx_nbits,
                                              // word_delay_usecs, pad
static_assert(sizeof(spi_ioc_transfer) == xferSize, "the kernel's transfer layout");

inline constexpr char standInName[] = "spidev stand-in";
inline constexpr uint8_t supportedBitsPerWord = 8;
inline constexpr int maxOpenFiles = 16;
inline constexpr int64_t nanosPerSecond = 1000000000;
inline constexpr int bitsPerByte = 8;

struct OpenFile {
    bool used;
    int fd;
};

OpenFile openFiles[maxOpenFiles] = {};
int latestOpenFlags = 0;
int openRefusal = 0;
bool wireTime = true;
bool sensorDetached = false;
SpidevSettings settings{spidevPowerOnMode, spidevPowerOnBits, spidevPowerOnSpeedHz};
Adxl345 device = adxlPowerOnState();

SpidevTransfer transferLog[spidevLogCapacity];
long transferCount = 0;
long refusedCount = 0;
int lastRefusal = 0;

uint8_t txBytes[spidevBufferBytes];
uint8_t rxBytes[spidevBufferBytes];

int64_t monotonicNs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * nanosPerSecond + now.tv_nsec;
}

int refuse(int error)
{
    ++refusedCount;
    lastRefusal = error;
    errno = error;
    return -1;
}

template <typename Field>
Field fieldAt(const unsigned char *bytes, size_t offset)
{
    Field value;
    std::memcpy(&value, bytes + offset, sizeof value);
    return value;
}

// A user-space address from the transfer, or null when it cannot be one.
bool toPointer(uint64_t address, unsigned char **pointer)
{
    if (address > UINTPTR_MAX)
        return false;
    // The kernel's interface carries buffer addresses as integers.
    // NOLINTNEXTLINE(performance-no-int-to-ptr)
    *pointer = reinterpret_cast<unsigned char *>(static_cast<uintptr_t>(address));
    return true;
}

void logTransfer(const SpidevTransfer &transfer)
{
    if (transferCount < spidevLogCapacity)
        transferLog[transferCount] = transfer;
    ++transferCount;
}

// Busy for the transfer's time on the wire, as the calling thread is while
// the kernel runs it.
void waitOnWire(int64_t startNs, uint32_t len, uint32_t speedHz)
{
    if (!wireTime || speedHz == 0)
        return;
    int64_t endNs = startNs + static_cast<int64_t>(len) * bitsPerByte * nanosPerSecond / speedHz;
    while (monotonicNs() < endNs) {
    }
}

// One SPI_IOC_MESSAGE(1): chip select asserted for len bytes.
int runTransfer(const unsigned char *xfer)
{
    unsigned char *tx = nullptr;
    unsigned char *rx = nullptr;
    if (!toPointer(fieldAt<uint64_t>(xfer, xferTxBuf), &tx) ||
        !toPointer(fieldAt<uint64_t>(xfer, xferRxBuf), &rx))
        return refuse(EFAULT);
    SpidevTransfer record{};
    record.len = fieldAt<uint32_t>(xfer, xferLen);
    record.speedHz = fieldAt<uint32_t>(xfer, xferSpeedHz);
    record.bitsPerWord = xfer[xferBitsPerWord];
    record.mode = settings.mode;
    record.hasTx = tx != nullptr;
    record.hasRx = rx != nullptr;
    record.sameBuffer = tx == rx;
    for (size_t i = xferUnusedFrom; i < xferSize; ++i)
        if (xfer[i] != 0)
            return refuse(EINVAL);
    if (fieldAt<uint16_t>(xfer, xferDelayUsecs) != 0)
        return refuse(EINVAL);
    uint8_t bits = record.bitsPerWord != 0 ? record.bitsPerWord : settings.bitsPerWord;
    if (bits != supportedBitsPerWord)
        return refuse(EINVAL);
    if (record.len > spidevBufferBytes)
        return refuse(EMSGSIZE);
    uint32_t speedHz = record.speedHz != 0 ? record.speedHz : settings.maxSpeedHz;

    int64_t startNs = monotonicNs();
    if (tx != nullptr)
        std::memcpy(txBytes, tx, record.len);
    else
        std::memset(txBytes, 0, record.len);
    if (sensorDetached)
        std::memset(rxBytes, adxlMisoUndriven, record.len);
    else if (record.len > 0)
        adxlBusTransaction(device, startNs, settings.mode, speedHz, wireTime, txBytes, rxBytes,
                           record.len);
    if (rx != nullptr)
        std::memcpy(rx, rxBytes, record.len);
    size_t logged = record.len < spidevLoggedBytes ? record.len : spidevLoggedBytes;
    std::memcpy(record.tx, txBytes, logged);
    std::memcpy(record.rx, rxBytes, logged);
    logTransfer(record);
    waitOnWire(startNs, record.len, speedHz);
    return static_cast<int>(record.len);
}

int runMessage(unsigned long request, const void *argument)
{
    if (_IOC_SIZE(request) != SPI_MSGSIZE(1))
        return refuse(EINVAL);
    return runTransfer(static_cast<const unsigned char *>(argument));
}

template <typename Value>
int readSetting(void *argument, Value value)
{
    std::memcpy(argument, &value, sizeof value);
    return 0;
}

template <typename Value>
Value writtenValue(const void *argument)
{
    Value value;
    std::memcpy(&value, argument, sizeof value);
    return value;
}

int writeBitsPerWord(uint8_t bits)
{
    if (bits != 0 && bits != supportedBitsPerWord)
        return refuse(EINVAL);
    settings.bitsPerWord = supportedBitsPerWord;
    return 0;
}

int writeMaxSpeed(uint32_t speedHz)
{
    if (speedHz == 0)
        return refuse(EINVAL);
    settings.maxSpeedHz = speedHz;
    return 0;
}

bool isMessage(unsigned long request)
{
    return _IOC_TYPE(request) == SPI_IOC_MAGIC && _IOC_NR(request) == 0 &&
           _IOC_DIR(request) == _IOC_WRITE;
}

}  // namespace

bool spidevIsDevicePath(const char *path)
{
    return path != nullptr && std::strcmp(path, spidevEmulatedPath) == 0;
}

int spidevOpenRefusal()
{
    return openRefusal;
}

void spidevAttachFile(int fd, int flags)
{
    for (OpenFile &file : openFiles) {
        if (!file.used) {
            file = OpenFile{true, fd};
            latestOpenFlags = flags;
            return;
        }
    }
}

bool spidevOwnsFile(int fd)
{
    for (const OpenFile &file : openFiles)
        if (file.used && file.fd == fd)
            return true;
    return false;
}

void spidevDetachFile(int fd)
{
    for (OpenFile &file : openFiles)
        if (file.used && file.fd == fd)
            file = OpenFile{};
}

int spidevIoctl(unsigned long request, void *argument)
{
    if (argument == nullptr)
        return refuse(EFAULT);
    switch (request) {
    case SPI_IOC_WR_MODE:
        settings.mode = writtenValue<uint8_t>(argument);
        return 0;
    case SPI_IOC_WR_MODE32:
        settings.mode = writtenValue<uint32_t>(argument);
        return 0;
    case SPI_IOC_RD_MODE:
        return readSetting(argument, static_cast<uint8_t>(settings.mode));
    case SPI_IOC_RD_MODE32:
        return readSetting(argument, settings.mode);
    case SPI_IOC_WR_BITS_PER_WORD:
        return writeBitsPerWord(writtenValue<uint8_t>(argument));
    case SPI_IOC_RD_BITS_PER_WORD:
        return readSetting(argument, settings.bitsPerWord);
    case SPI_IOC_WR_MAX_SPEED_HZ:
        return writeMaxSpeed(writtenValue<uint32_t>(argument));
    case SPI_IOC_RD_MAX_SPEED_HZ:
        return readSetting(argument, settings.maxSpeedHz);
    default:
        return isMessage(request) ? runMessage(request, argument) : refuse(ENOTTY);
    }
}

void spidevEmulationReset()
{
    for (OpenFile &file : openFiles)
        file = OpenFile{};
    latestOpenFlags = 0;
    openRefusal = 0;
    wireTime = true;
    sensorDetached = false;
    settings = SpidevSettings{spidevPowerOnMode, spidevPowerOnBits, spidevPowerOnSpeedHz};
    device = adxlPowerOnState();
    transferCount = 0;
    refusedCount = 0;
    lastRefusal = 0;
}

void spidevEmulationFailOpen(int error)
{
    openRefusal = error;
}

void spidevEmulationSetWireTime(bool on)
{
    wireTime = on;
}

void spidevEmulationDetachSensor()
{
    sensorDetached = true;
}

SpidevSettings spidevEmulationSettings()
{
    return settings;
}

int spidevEmulationOpenFlags()
{
    return latestOpenFlags;
}

int spidevEmulationOpenFiles()
{
    int count = 0;
    for (const OpenFile &file : openFiles)
        count += file.used ? 1 : 0;
    return count;
}

long spidevEmulationTransferCount()
{
    return transferCount;
}

bool spidevEmulationTransfer(long index, SpidevTransfer *transfer)
{
    if (index < 0 || index >= transferCount || index >= spidevLogCapacity)
        return false;
    *transfer = transferLog[index];
    return true;
}

long spidevEmulationRefusedCount()
{
    return refusedCount;
}

int spidevEmulationLastRefusal()
{
    return lastRefusal;
}

void spidevEmulationSetSampleClockError(double fractionOffNominal)
{
    adxlControlClockError(device, standInName, fractionOffNominal);
}

void spidevEmulationSetSampleClockDrift(double rampPerSecond, double wanderFraction,
                                        double wanderPeriodSec)
{
    adxlControlDrift(device, standInName, rampPerSecond, wanderFraction, wanderPeriodSec);
}

void spidevEmulationSetNoiseCounts(int counts)
{
    adxlControlNoiseCounts(device, standInName, counts);
}

void spidevEmulationSetSelfTestShift(int x, int y, int z)
{
    adxlControlSelfTestShift(device, x, y, z);
}

void spidevEmulationSetStartPhase(double seconds)
{
    adxlControlStartPhase(device, standInName, seconds);
}

void spidevEmulationSetTone(int axis, double amplitudeG, double hz)
{
    adxlControlTone(device, standInName, axis, amplitudeG, hz);
}

int spidevEmulationRegister(int address)
{
    if (address < 0 || address >= adxlRegisterCount)
        return -1;
    adxlAdvance(device, monotonicNs());
    return adxlPeekRegister(device, address);
}
