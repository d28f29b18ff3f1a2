#include <gtest/gtest.h>

#include <pigpio.h>

#include "pigpio_emulation.h"
#include "run_captured.h"
#include "sensor_link.h"

namespace {

std::vector<unsigned char> sentBytes(long transaction)
{
    unsigned char bytes[16];
    int n = emulatedTransactionBytes(transaction, bytes, sizeof bytes);
    return n < 0 ? std::vector<unsigned char>{} : std::vector<unsigned char>(bytes, bytes + n);
}

TEST(SampleDecoding, LittleEndianTwosComplementAt256CountsPerG)
{
    const char buffer[sampleBytes] = {0, 0x03, 0x00, '\xFF', '\xFF', 0x01, 0x01};
    AccelSample s = decodeSample(buffer);
    EXPECT_EQ(s.countX, 3);
    EXPECT_EQ(s.countY, -1);
    EXPECT_EQ(s.countZ, 257);
    EXPECT_EQ(s.x, 0.01171875);
    EXPECT_EQ(s.y, -0.00390625);
    EXPECT_EQ(s.z, 1.00390625);

    const char extremes[sampleBytes] = {0, 0x00, '\x80', '\xFF', 0x7F, 0, 0};
    s = decodeSample(extremes);
    EXPECT_EQ(s.countX, -32768);
    EXPECT_EQ(s.x, -128.0);
    EXPECT_EQ(s.countY, 32767);
    EXPECT_EQ(s.z, 0.0);
}

class SensorLinkWire : public testing::Test {
protected:
    void SetUp() override { resetEmulatedSensor(); }
};

TEST_F(SensorLinkWire, StartUpSendsIdReadThenTheThreeConfigurationWritesThenDataReads)
{
    CapturedRun run = runShakelogCaptured({"-t", "0"});
    ASSERT_EQ(run.status, 0) << run.out;
    ASSERT_EQ(emulatedTransactionCount(), 6);
    EXPECT_EQ(sentBytes(0), (std::vector<unsigned char>{0xC0, 0x00}));
    EXPECT_EQ(sentBytes(1), (std::vector<unsigned char>{0x6C, 0x0F}));
    EXPECT_EQ(sentBytes(2), (std::vector<unsigned char>{0x71, 0x0B}));
    EXPECT_EQ(sentBytes(3), (std::vector<unsigned char>{0x6D, 0x08}));
    for (long warmUp : {4, 5}) {
        std::vector<unsigned char> bytes = sentBytes(warmUp);
        ASSERT_EQ(bytes.size(), 7u);
        EXPECT_EQ(bytes[0], 0xF2);
    }
    // The sensor took the configuration: 3200 Hz, full resolution at 16 g, measuring.
    EXPECT_EQ(emulatedRegister(0x2C), 0x0F);
    EXPECT_EQ(emulatedRegister(0x31), 0x0B);
    EXPECT_EQ(emulatedRegister(0x2D), 0x08);
}

TEST_F(SensorLinkWire, CommandBitsAreAddedOnlyWhereTheyBelong)
{
    ASSERT_GE(gpioInitialise(), 0);
    int handle = spiOpen(0, 2000000, 3);
    ASSERT_GE(handle, 0);

    char one[1] = {0x2D};
    EXPECT_EQ(writeBytes(handle, one, 1), 1);
    EXPECT_EQ(sentBytes(0), std::vector<unsigned char>{0x2D});

    char two[2] = {0x2D, 0x08};
    EXPECT_EQ(writeBytes(handle, two, 2), 2);
    EXPECT_EQ(sentBytes(1), (std::vector<unsigned char>{0x6D, 0x08}));

    char single[1] = {0x00};
    EXPECT_EQ(readBytes(handle, single, 1), 1);
    EXPECT_EQ(sentBytes(2), std::vector<unsigned char>{0x80});

    char id[2] = {0x00, 0x00};
    EXPECT_EQ(readBytes(handle, id, 2), 2);
    EXPECT_EQ(sentBytes(3)[0], 0xC0);
    EXPECT_EQ(static_cast<unsigned char>(id[1]), 0xE5);
    gpioTerminate();
}

TEST_F(SensorLinkWire, OnlyAFullSevenByteTransferIsAReading)
{
    emulatedHoldCounts(3, -1, 257);
    ASSERT_GE(gpioInitialise(), 0);
    SensorLink link{};
    openSensorLink(link);
    configureSensor(link);
    time_sleep(0.01);

    AccelSample sample{};
    ASSERT_EQ(readSample(link, sample), sampleBytes);
    EXPECT_EQ(sample.countX, 3);
    EXPECT_EQ(sample.countY, -1);
    EXPECT_EQ(sample.countZ, 257);

    for (int failure : {6, 0, PI_SPI_XFER_FAILED}) {
        emulatedFailTransfer(1, failure);
        AccelSample untouched{};
        EXPECT_EQ(readSample(link, untouched), failure);
        EXPECT_EQ(untouched.countZ, 0);
    }
    gpioTerminate();
}

TEST_F(SensorLinkWire, ADeviceThatIsNotAnAdxl345IsRefused)
{
    ASSERT_GE(gpioInitialise(), 0);
    SensorLink link{};
    openSensorLink(link);
    EXPECT_EQ(readDeviceId(link), 0xE5);
    emulatedFailTransfer(1, PI_SPI_XFER_FAILED);
    EXPECT_EQ(readDeviceId(link), -1);
    gpioTerminate();

    testing::internal::CaptureStdout();
    printMissingSensor(-1);
    printMissingSensor(0x1D);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Accelerometer not found: reading its device ID failed (expected 0xE5)!\n"
              "Accelerometer not found: device ID 0x1D, expected 0xE5!\n");
}

}  // namespace
