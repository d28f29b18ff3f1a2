// The program's own code on the spidev backend, in-process: what reaches
// the kernel's driver, and a device that is missing or not permitted.
#include <cerrno>
#include <string>
#include <unistd.h>
#include <vector>

#include "run_captured.h"
#include "spidev_fixture.h"

namespace {

std::vector<unsigned char> sentBytes(const SpidevTransfer &xfer)
{
    return std::vector<unsigned char>(xfer.tx, xfer.tx + std::min<size_t>(xfer.len, spidevLoggedBytes));
}

TEST_F(SpidevBus, StartUpReachesTheDriverAsModeThreeAtTwoMegahertzThenTheSensorIsRead)
{
    CapturedRun run = runShakelogCaptured({"-t", "0"});
    ASSERT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(run.out, "0 samples read in 0.00 seconds with sampling rate 0.0 Hz\nDone\n");

    // The ID read, the configuration writes, two warm-up reads.
    const std::vector<std::vector<unsigned char>> expected = {
        {0xC0, 0x00}, {0x6D, 0x00}, {0x78, 0x00}, {0x5E, 0x00, 0x00, 0x00},
        {0x6C, 0x0F}, {0x71, 0x0B}, {0x6D, 0x08}};
    long configured = static_cast<long>(expected.size());
    ASSERT_EQ(spidevEmulationTransferCount(), configured + 2);
    for (long i = 0; i < configured + 2; ++i) {
        SpidevTransfer xfer = loggedTransfer(i);
        EXPECT_EQ(xfer.mode, SPI_MODE_3) << i;
        EXPECT_EQ(xfer.speedHz, busBaud) << i;
        EXPECT_EQ(xfer.bitsPerWord, 8) << i;
        bool read = i == 0 || i >= configured;
        EXPECT_EQ(xfer.hasRx, read) << i;
        EXPECT_EQ(xfer.sameBuffer, read) << i;
        if (i < configured) {
            EXPECT_EQ(sentBytes(xfer), expected[static_cast<size_t>(i)]) << i;
        } else {
            EXPECT_EQ(xfer.len, 7u);
            EXPECT_EQ(xfer.tx[0], 0xF2);
        }
    }
    EXPECT_EQ(loggedTransfer(0).rx[1], 0xE5);
    EXPECT_EQ(spidevEmulationRegister(0x2C), 0x0F);
    EXPECT_EQ(spidevEmulationRegister(0x31), 0x0B);
    EXPECT_EQ(spidevEmulationRegister(0x2D), 0x08);
    EXPECT_EQ(spidevEmulationRefusedCount(), 0);
    EXPECT_EQ(spidevEmulationOpenFiles(), 0) << "closed when the run terminated the library";
}

TEST_F(SpidevBus, WithoutTheDeviceTheRunFailsThroughTheDeviceIdCheck)
{
    const std::string path = "/tmp/shakelog-spidev-" + std::to_string(getpid()) + ".csv";
    struct Case {
        int error;
        const char *hint;
        std::vector<std::string> args;
    };
    for (const Case &c : {Case{ENOENT, "dtparam=spi=on", {}}, Case{EACCES, "join group spi", {}},
                          Case{ENOENT, "dtparam=spi=on", {"-t", "1", "-s", path}}}) {
        spidevEmulationReset();
        spidevEmulationFailOpen(c.error);
        testing::internal::CaptureStderr();
        CapturedRun run = runShakelogCaptured(c.args);
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.out, "Accelerometer not found: reading its device ID failed (expected 0xE5)!\n");
        EXPECT_NE(err.find(c.hint), std::string::npos) << err;
        EXPECT_EQ(spidevEmulationTransferCount(), 0);
    }
    EXPECT_EQ(access(path.c_str(), F_OK), -1);

    spidevEmulationReset();
    spidevEmulationDetachSensor();
    CapturedRun run = runShakelogCaptured({});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "Accelerometer not found: device ID 0x00, expected 0xE5!\n");
}

}  // namespace
