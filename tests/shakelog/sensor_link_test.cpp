#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <unistd.h>

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

TEST_F(SensorLinkWire, StartUpSetsEveryRegisterTheReadingsDependOnThenReads)
{
    CapturedRun run = runShakelogCaptured({"-t", "0"});
    ASSERT_EQ(run.status, 0) << run.out;
    ASSERT_EQ(emulatedTransactionCount(), startTransactions + 2);
    // The ID; standby; FIFO bypass; no offset trims (one write of three);
    // 3200 Hz; full resolution at 16 g; measure.
    const std::vector<std::vector<unsigned char>> startUp = {
        {0xC0, 0x00}, {0x6D, 0x00}, {0x78, 0x00}, {0x5E, 0x00, 0x00, 0x00},
        {0x6C, 0x0F}, {0x71, 0x0B}, {0x6D, 0x08},
    };
    for (size_t i = 0; i < startUp.size(); ++i) {
        EXPECT_EQ(sentBytes(static_cast<long>(i)), startUp[i]) << i;
    }
    for (long warmUp : {startTransactions, startTransactions + 1}) {
        std::vector<unsigned char> bytes = sentBytes(warmUp);
        ASSERT_EQ(bytes.size(), 7u);
        EXPECT_EQ(bytes[0], 0xF2);
    }
}

TEST_F(SensorLinkWire, ASensorLeftInAnotherStateReadsAsAFreshOne)
{
    // What an earlier FIFO capture or another program may leave: the FIFO in
    // stream mode and full, offset trims, the self-test force, low power,
    // left-justified values.  Then the sensor holds still at (3, -1, 257).
    const std::string path = "/tmp/shakelog-left-state-" + std::to_string(getpid()) + ".csv";
    const std::vector<std::vector<std::string>> modes = {{"-t", "1", "-f", "10"},
                                                         {"-t", "1", "-f", "100", "-s", path}};
    for (const auto &args : modes) {
        resetEmulatedSensor();
        ASSERT_GE(gpioInitialise(), 0);
        int handle = spiOpen(0, 2000000, 3);
        char left[][2] = {{0x2C, 0x1C},
                          {0x31, static_cast<char>(0x8F)},
                          {0x38, static_cast<char>(0x9F)},
                          {0x1E, 0x05},
                          {0x1F, 0x05},
                          {0x20, 0x05},
                          {0x2D, 0x08}};
        for (auto &write : left) {
            ASSERT_EQ(writeBytes(handle, write, 2), 2);
        }
        time_sleep(0.5);
        gpioTerminate();
        emulatedHoldCounts(3, -1, 257);
        CapturedRun run = runShakelogCaptured(args);
        ASSERT_EQ(run.status, 0) << run.out;
        std::string readings = args.size() == 4 ? run.out : readFile(path);
        size_t lines = 0;
        for (size_t at = 0; (at = readings.find('\n', at)) != std::string::npos; ++at) {
            ++lines;
        }
        std::string held =
            args.size() == 4 ? "x = 0.012, y = -0.004, z = 1.004" : "0.01172, -0.00391, 1.00391";
        size_t found = 0;
        for (size_t at = 0; (at = readings.find(held, at)) != std::string::npos; ++at) {
            ++found;
        }
        EXPECT_EQ(found, args.size() == 4 ? 10u : 100u)
            << args.size() << ": " << readings.substr(0, 300);
        EXPECT_GT(lines, found);
        std::remove(path.c_str());
    }
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
    ASSERT_TRUE(configureDirectReading(link));
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
