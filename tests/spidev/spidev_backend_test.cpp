// pigpio's seven functions over the kernel's SPI driver, checked at the
// system-call boundary.
#include <cerrno>
#include <climits>
#include <cmath>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <linux/spi/spidev.h>
#include <sys/ioctl.h>
#include <sys/time.h>

#include "spidev_fixture.h"

namespace {

int readDeviceIdOn(int handle)
{
    char buffer[2] = {static_cast<char>(0x80), 0};
    if (spiXfer(static_cast<unsigned>(handle), buffer, buffer, 2) != 2)
        return -1;
    return static_cast<unsigned char>(buffer[1]);
}

double monotonicSec()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + now.tv_nsec * 1e-9;
}

TEST_F(SpidevBus, SpiOpenSetsModeWordSizeAndClockOnTheDeviceFile)
{
    int handle = spiOpen(0, busBaud, mode3);
    ASSERT_GE(handle, 0);
    EXPECT_EQ(spidevEmulationOpenFlags(), O_RDWR | O_CLOEXEC);
    SpidevSettings settings = spidevEmulationSettings();
    EXPECT_EQ(settings.mode, SPI_MODE_3);
    EXPECT_EQ(settings.bitsPerWord, 8);
    EXPECT_EQ(settings.maxSpeedHz, busBaud);
    EXPECT_EQ(spidevEmulationOpenFiles(), 1);
    gpioTerminate();
    EXPECT_EQ(spidevEmulationOpenFiles(), 0) << "gpioTerminate closes the device";
    EXPECT_EQ(spiXfer(static_cast<unsigned>(handle), nullptr, nullptr, 1), PI_BAD_HANDLE);
}

TEST_F(SpidevBus, BadArgumentsAreRefusedWithPigpiosCodesBeforeTheDeviceIsOpened)
{
    struct Case {
        unsigned channel, baud, flags;
        int result;
    };
    for (Case c : {Case{2, busBaud, mode3, PI_BAD_SPI_CHANNEL}, Case{0, 31999, mode3, PI_BAD_SPI_SPEED},
                   Case{0, 125000001, mode3, PI_BAD_SPI_SPEED}, Case{0, busBaud, 0x100, PI_BAD_FLAGS}}) {
        EXPECT_EQ(spiOpen(c.channel, c.baud, c.flags), c.result) << c.channel << " " << c.baud;
    }
    EXPECT_EQ(spidevEmulationOpenFiles(), 0);

    int handle = spiOpen(0, busBaud, mode3);
    char buffer[4097] = {};
    EXPECT_EQ(spiXfer(static_cast<unsigned>(handle), buffer, buffer, 0), PI_BAD_SPI_COUNT);
    EXPECT_EQ(spiXfer(static_cast<unsigned>(handle), buffer, buffer, 4097), PI_BAD_SPI_COUNT);
    EXPECT_EQ(spiWrite(static_cast<unsigned>(handle) + 1, buffer, 1), PI_BAD_HANDLE);
    EXPECT_EQ(spiXfer(UINT_MAX, buffer, buffer, 1), PI_BAD_HANDLE);
    EXPECT_EQ(spidevEmulationTransferCount(), 0);
    EXPECT_EQ(spiXfer(static_cast<unsigned>(handle), buffer, buffer, 4096), 4096);
}

TEST_F(SpidevBus, EachCallIsOneTransferInTheKernelsLayout)
{
    int handle = spiOpen(0, busBaud, mode3);
    char read[7] = {static_cast<char>(0xF2), 1, 2, 3, 4, 5, 6};
    EXPECT_EQ(spiXfer(static_cast<unsigned>(handle), read, read, 7), 7);
    char write[2] = {0x6D, 0x08};
    EXPECT_EQ(spiWrite(static_cast<unsigned>(handle), write, 2), 2);
    ASSERT_EQ(spidevEmulationTransferCount(), 2);
    EXPECT_EQ(spidevEmulationRefusedCount(), 0) << "unused fields zero, one transfer per message";

    SpidevTransfer xfer = loggedTransfer(0);
    EXPECT_EQ(xfer.len, 7u);
    EXPECT_EQ(xfer.speedHz, busBaud);
    EXPECT_EQ(xfer.bitsPerWord, 8);
    EXPECT_TRUE(xfer.hasTx && xfer.hasRx && xfer.sameBuffer);
    EXPECT_EQ(std::vector<unsigned char>(xfer.tx, xfer.tx + 7),
              (std::vector<unsigned char>{0xF2, 1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(static_cast<unsigned char>(read[6]), xfer.rx[6]) << "received into the caller's buffer";

    SpidevTransfer writeOnly = loggedTransfer(1);
    EXPECT_EQ(writeOnly.len, 2u);
    EXPECT_TRUE(writeOnly.hasTx);
    EXPECT_FALSE(writeOnly.hasRx) << "spiWrite receives nothing";
    EXPECT_EQ(spidevEmulationRegister(0x2D), 0x08);
}

TEST_F(SpidevBus, AWrongModeOrClockOrAMissingMultiByteBitShowsAsWrongData)
{
    struct Case {
        unsigned baud, flags;
        bool idRight;
    };
    for (Case c : {Case{busBaud, mode3, true}, Case{busBaud, 0, false}, Case{busBaud, 1, false},
                   Case{8000000, mode3, false}}) {
        int handle = spiOpen(0, c.baud, c.flags);
        ASSERT_GE(handle, 0);
        EXPECT_EQ(readDeviceIdOn(handle) == 0xE5, c.idRight) << c.baud << " Hz, mode " << c.flags;
        gpioTerminate();
    }

    int handle = spiOpen(0, busBaud, mode3);
    char noMultiByte[7] = {static_cast<char>(0x80 | 0x31)};  // DATA_FORMAT, not advancing
    ASSERT_EQ(spiXfer(static_cast<unsigned>(handle), noMultiByte, noMultiByte, 7), 7);
    for (int i = 2; i < 7; ++i)
        EXPECT_EQ(noMultiByte[i], noMultiByte[1]) << "the same register six times";
}

TEST_F(SpidevBus, AFailedIoctlIsATransferFailure)
{
    int handle = spiOpen(0, busBaud, mode3);
    spidevEmulationReset();  // the descriptor is now plain /dev/null: ENOTTY
    char buffer[2] = {};
    EXPECT_EQ(spiXfer(static_cast<unsigned>(handle), buffer, buffer, 2), PI_SPI_XFER_FAILED);
    EXPECT_EQ(spiWrite(static_cast<unsigned>(handle), buffer, 2), PI_SPI_XFER_FAILED);
}

// The stand-in refuses what the kernel would refuse or act on, so that a
// careless transfer cannot pass here and fail on a Pi.
TEST_F(SpidevBus, TheStandInRefusesTransfersTheKernelWouldNotRunAsAsked)
{
    int fd = open(spidevEmulatedPath, O_RDWR);
    ASSERT_GE(fd, 0);
    unsigned char bytes[8] = {};
    struct Case {
        const char *what;
        void (*spoil)(spi_ioc_transfer &);
        int error;
    };
    const Case cases[] = {
        {"cs_change", [](spi_ioc_transfer &t) { t.cs_change = 1; }, EINVAL},
        {"delay", [](spi_ioc_transfer &t) { t.delay_usecs = 10; }, EINVAL},
        {"16-bit words", [](spi_ioc_transfer &t) { t.bits_per_word = 16; }, EINVAL},
        {"beyond the buffer", [](spi_ioc_transfer &t) { t.len = 4097; }, EMSGSIZE},
    };
    for (const Case &c : cases) {
        spi_ioc_transfer xfer{};
        xfer.tx_buf = reinterpret_cast<uintptr_t>(bytes);
        xfer.len = sizeof bytes;
        c.spoil(xfer);
        errno = 0;
        EXPECT_EQ(ioctl(fd, SPI_IOC_MESSAGE(1), &xfer), -1) << c.what;
        EXPECT_EQ(errno, c.error) << c.what;
    }
    spi_ioc_transfer two[2] = {};
    EXPECT_EQ(ioctl(fd, SPI_IOC_MESSAGE(2), two), -1);
    EXPECT_EQ(ioctl(fd, TIOCGWINSZ, bytes), -1);
    EXPECT_EQ(errno, ENOTTY);
    EXPECT_EQ(spidevEmulationTransferCount(), 0);
    close(fd);
}

TEST_F(SpidevBus, AMissingOrForbiddenDeviceIsExplainedOnceOnStandardError)
{
    struct Case {
        int error;
        const char *says;
    };
    for (Case c : {Case{ENOENT, "/dev/spidev0.0 does not exist: enable SPI (dtparam=spi=on"},
                   Case{EACCES, "no permission to open /dev/spidev0.0: join group spi"},
                   Case{EIO, "cannot open /dev/spidev0.0: Input/output error"}}) {
        spidevEmulationFailOpen(c.error);
        testing::internal::CaptureStderr();
        EXPECT_EQ(spiOpen(0, busBaud, mode3), PI_SPI_OPEN_FAILED);
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find(c.says), std::string::npos) << err;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    }
}

// An 800 Hz tone read at 3200 Hz takes four values in turn, set by where
// the first sample falls in the tone's cycle.
TEST_F(SpidevBus, TheToneAndStartPhaseControlsReachTheSensor)
{
    constexpr double periodSec = 1.0 / 3200;
    struct Case {
        double phaseSec;
        int sizes[2];  // of x in counts: 8 g at 0, 90, 180, 270 degrees, or 22.5 later
    };
    for (Case c : {Case{0.0, {0, 2048}}, Case{periodSec / 4, {784, 1892}}}) {
        spidevEmulationReset();
        spidevEmulationSetTone(0, 8.0, 800.0);
        spidevEmulationSetStartPhase(c.phaseSec);
        int handle = spiOpen(0, busBaud, mode3);
        char setUp[][2] = {{0x2C, 0x0F}, {0x31, 0x0B}, {0x2D, 0x08}};  // 3200 Hz, 13 bits, Measure
        for (char *write : setUp)
            spiWrite(static_cast<unsigned>(handle), write, 2);
        for (int read = 0; read < 4; ++read) {
            time_sleep(1e-3);
            char data[7] = {static_cast<char>(0xF2)};
            spiXfer(static_cast<unsigned>(handle), data, data, 7);
            int x = std::abs(static_cast<int16_t>((data[2] & 0xFF) << 8 | (data[1] & 0xFF)));
            int y = std::abs(static_cast<int16_t>((data[4] & 0xFF) << 8 | (data[3] & 0xFF)));
            EXPECT_TRUE(std::abs(x - c.sizes[0]) <= 3 || std::abs(x - c.sizes[1]) <= 3)
                << x << " at phase " << c.phaseSec;
            EXPECT_LE(y, 2) << "y stays still";
        }
        gpioTerminate();
    }
}

TEST(SpidevClock, TimeTimeIsTheMonotonicClock)
{
    double before = monotonicSec();
    double now = time_time();
    double after = monotonicSec();
    EXPECT_LE(before, now);
    EXPECT_LE(now, after);
}

volatile sig_atomic_t alarms = 0;

TEST(SpidevClock, TimeSleepSleepsTheWholeTimeThroughSignals)
{
    struct sigaction action {};
    action.sa_handler = [](int) { alarms = alarms + 1; };  // no SA_RESTART
    struct sigaction previous {};
    ASSERT_EQ(sigaction(SIGALRM, &action, &previous), 0);
    itimerval every10ms{{0, 10000}, {0, 10000}};
    setitimer(ITIMER_REAL, &every10ms, nullptr);
    double start = monotonicSec();
    time_sleep(0.05);
    double slept = monotonicSec() - start;
    itimerval off{};
    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &previous, nullptr);
    EXPECT_GT(alarms, 0) << "the sleep was interrupted";
    EXPECT_GE(slept, 0.05);

    time_sleep(-1.0);  // these return at once rather than hang
    time_sleep(std::nan(""));
    time_sleep(0.0);
}

}  // namespace
