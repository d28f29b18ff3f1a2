// The seven pigpio functions shakelog uses, each a thin layer over the
// kernel's SPI driver: spiOpen opens /dev/spidev0.N and sets mode, word size
// and clock, a transfer is one SPI_IOC_MESSAGE(1), and the clock is
// CLOCK_MONOTONIC, which never steps when the system time is set (a Pi has
// no real-time clock, so NTP often moves it far just after boot).
#include "pigpio.h"

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <linux/spi/spidev.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

// No flag but the mode (auxiliary bus, chip-select polarity, 3-wire, ...)
// is offered here.
inline constexpr uint8_t spiBitsPerWord = 8;
// The kernel driver's buffer for one message (its bufsiz parameter's default).
inline constexpr unsigned spiMaxCount = 4096;

// Bus 0, one device file per chip select.
inline constexpr const char *spiDevicePaths[] = {"/dev/spidev0.0", "/dev/spidev0.1"};
inline constexpr unsigned spiChannels = sizeof spiDevicePaths / sizeof spiDevicePaths[0];
inline constexpr int spiHandleSlots = 8;

inline constexpr int64_t nanosPerSecond = 1000000000;
// Longest sleep honoured (about three years), far inside a 32-bit time_t.
inline constexpr double longestSleepSec = 1e8;
inline constexpr int pigpioVersionNone = 0;  // what gpioInitialise returns

struct SpiHandle {
    bool open;
    int fd;
    unsigned baud;
};

SpiHandle handles[spiHandleSlots] = {};

int freeHandleSlot()
{
    for (int slot = 0; slot < spiHandleSlots; ++slot)
        if (!handles[slot].open)
            return slot;
    return -1;
}

// One line on standard error: what is wrong with the device and what to do.
void explainOpenFailure(const char *path, int error)
{
    if (error == ENOENT || error == ENODEV || error == ENXIO)
        std::fprintf(stderr,
                     "%s: %s does not exist: enable SPI (dtparam=spi=on in config.txt) and reboot\n",
                     program_invocation_short_name, path);
    else if (error == EACCES || error == EPERM)
        std::fprintf(stderr,
                     "%s: no permission to open %s: join group spi (sudo usermod -aG spi $USER), "
                     "then log in again\n",
                     program_invocation_short_name, path);
    else
        std::fprintf(stderr, "%s: cannot open %s: %s\n", program_invocation_short_name, path,
                     std::strerror(error));
}

// Mode, word size and clock of the device behind fd; false with errno set.
bool configureDevice(int fd, unsigned flags, unsigned baud)
{
    auto mode = static_cast<uint8_t>(flags & spiFlagModeMask);
    uint8_t bits = spiBitsPerWord;
    uint32_t speed = baud;
    return ioctl(fd, SPI_IOC_WR_MODE, &mode) == 0 && ioctl(fd, SPI_IOC_WR_BITS_PER_WORD, &bits) == 0 &&
           ioctl(fd, SPI_IOC_WR_MAX_SPEED_HZ, &speed) == 0;
}

// One message of one transfer, chip select asserted throughout.  rx may be
// null (received bytes are dropped) and may be the same buffer as tx.
int transfer(unsigned handle, const char *tx, char *rx, unsigned count)
{
    if (handle >= spiHandleSlots || !handles[handle].open)
        return PI_BAD_HANDLE;
    if (count == 0 || count > spiMaxCount)
        return PI_BAD_SPI_COUNT;
    spi_ioc_transfer message;
    std::memset(&message, 0, sizeof message);
    message.tx_buf = reinterpret_cast<uintptr_t>(tx);
    message.rx_buf = reinterpret_cast<uintptr_t>(rx);
    message.len = count;
    message.speed_hz = handles[handle].baud;
    message.bits_per_word = spiBitsPerWord;
    int result = ioctl(handles[handle].fd, SPI_IOC_MESSAGE(1), &message);
    return result < 0 ? PI_SPI_XFER_FAILED : result;
}

}  // namespace

// Nothing to set up: the kernel driver is ready once its device file opens.
int gpioInitialise(void)
{
    return pigpioVersionNone;
}

// Closes every SPI handle still open.
void gpioTerminate(void)
{
    for (SpiHandle &spi : handles) {
        if (spi.open)
            close(spi.fd);
        spi = SpiHandle{};
    }
}

int spiOpen(unsigned spiChan, unsigned baud, unsigned spiFlags)
{
    if (spiChan >= spiChannels)
        return PI_BAD_SPI_CHANNEL;
    if (baud < spiMinBaud || baud > spiMaxBaud)
        return PI_BAD_SPI_SPEED;
    if ((spiFlags & ~spiFlagModeMask) != 0)
        return PI_BAD_FLAGS;
    int slot = freeHandleSlot();
    if (slot < 0)
        return PI_NO_HANDLE;
    const char *path = spiDevicePaths[spiChan];
    int fd = open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        explainOpenFailure(path, errno);
        return PI_SPI_OPEN_FAILED;
    }
    if (!configureDevice(fd, spiFlags, baud)) {
        std::fprintf(stderr, "%s: cannot set SPI mode %u, %u bits per word and %u Hz on %s: %s\n",
                     program_invocation_short_name, spiFlags & spiFlagModeMask,
                     static_cast<unsigned>(spiBitsPerWord), baud, path, std::strerror(errno));
        close(fd);
        return PI_SPI_OPEN_FAILED;
    }
    handles[slot] = SpiHandle{true, fd, baud};
    return slot;
}

int spiWrite(unsigned handle, char *buf, unsigned count)
{
    return transfer(handle, buf, nullptr, count);
}

int spiXfer(unsigned handle, char *txBuf, char *rxBuf, unsigned count)
{
    return transfer(handle, txBuf, rxBuf, count);
}

double time_time(void)
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / nanosPerSecond;
}

// Sleeps to an absolute deadline, so that signals cut nothing short.  Zero,
// negative and NaN durations return at once.
void time_sleep(double seconds)
{
    if (!(seconds > 0.0))
        return;
    double whole = 0.0;
    double fraction = std::modf(std::fmin(seconds, longestSleepSec), &whole);
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += static_cast<time_t>(whole);
    deadline.tv_nsec += static_cast<long>(std::llround(fraction * nanosPerSecond));
    if (deadline.tv_nsec >= nanosPerSecond) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= nanosPerSecond;
    }
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}
