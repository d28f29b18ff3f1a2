// The pigpio functions' results and error codes, and the bus around the
// device: which channel has it and what a wrongly configured link sees.
#include <string>

#include "emulated_fixture.h"

namespace {

class PigpioLifecycle : public ::testing::Test {
protected:
    void SetUp() override
    {
        emulatedReset();
        emulatedUseVirtualClock(virtualStart);
    }
    void TearDown() override { emulatedReset(); }
};

TEST_F(PigpioLifecycle, InitialiseReturnsVersionAndPrintsOneNotice)
{
    testing::internal::CaptureStderr();
    EXPECT_EQ(gpioInitialise(), emulatedPigpioVersion);
    EXPECT_EQ(gpioInitialise(), emulatedPigpioVersion);
    std::string notice = testing::internal::GetCapturedStderr();
    EXPECT_EQ(notice, std::string(program_invocation_short_name) +
                          ": emulated ADXL345 on SPI channel 0, no hardware is read\n");
}

TEST_F(PigpioLifecycle, QuietInitialisePrintsNothing)
{
    emulatedSetQuiet(true);
    testing::internal::CaptureStderr();
    EXPECT_GE(gpioInitialise(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST_F(PigpioLifecycle, InjectedInitialiseFailureLeavesLibraryDown)
{
    emulatedSetQuiet(true);
    emulatedFailInitialise(PI_INIT_FAILED);
    EXPECT_EQ(gpioInitialise(), PI_INIT_FAILED);
    EXPECT_EQ(spiOpen(deviceChannel, busBaud, mode3), PI_NOT_INITIALISED);
    EXPECT_EQ(gpioInitialise(), emulatedPigpioVersion) << "the failure is injected once";
}

TEST_F(PigpioLifecycle, SpiNeedsAnInitialisedLibrary)
{
    emulatedSetQuiet(true);
    char buffer[2] = {static_cast<char>(cmdRead), 0};
    EXPECT_EQ(spiOpen(deviceChannel, busBaud, mode3), PI_NOT_INITIALISED);
    ASSERT_GE(gpioInitialise(), 0);
    int handle = spiOpen(deviceChannel, busBaud, mode3);
    ASSERT_EQ(handle, 0);
    gpioTerminate();
    EXPECT_EQ(emulatedTerminateCount(), 1);
    EXPECT_EQ(spiXfer(handle, buffer, buffer, 2), PI_NOT_INITIALISED);
    EXPECT_EQ(spiWrite(handle, buffer, 2), PI_NOT_INITIALISED);
    EXPECT_EQ(spiOpen(deviceChannel, busBaud, mode3), PI_NOT_INITIALISED);
    EXPECT_EQ(emulatedTransactionCount(), 0);
}

TEST_F(PigpioLifecycle, TerminateClosesHandlesButTheSensorKeepsItsSettings)
{
    emulatedSetQuiet(true);
    gpioInitialise();
    int handle = spiOpen(deviceChannel, busBaud, mode3);
    writeRegister(handle, regBwRate, rate3200Hz);
    gpioTerminate();
    gpioInitialise();
    EXPECT_EQ(spiOpen(deviceChannel, busBaud, mode3), 0) << "handle 0 is free again";
    EXPECT_EQ(emulatedRegister(regBwRate), rate3200Hz);
}

using SpiOpen = EmulatedBus;

TEST_F(SpiOpen, RejectsBadChannelSpeedAndFlags)
{
    EXPECT_EQ(spiOpen(2, busBaud, mode3), PI_BAD_SPI_CHANNEL);
    EXPECT_EQ(spiOpen(2, busBaud, mode3 | (1u << 8)), 1) << "auxiliary SPI has three channels";
    EXPECT_EQ(spiOpen(3, busBaud, mode3 | (1u << 8)), PI_BAD_SPI_CHANNEL);
    EXPECT_EQ(spiOpen(deviceChannel, 31999, mode3), PI_BAD_SPI_SPEED);
    EXPECT_EQ(spiOpen(deviceChannel, 125000001, mode3), PI_BAD_SPI_SPEED);
    EXPECT_EQ(spiOpen(deviceChannel, busBaud, 1u << 22), PI_BAD_FLAGS);
    EXPECT_EQ(spiOpen(deviceChannel, 32000, (1u << 22) - 1), 2) << "all defined flag bits";
    EXPECT_EQ(spiOpen(deviceChannel, 125000000, mode3), 3);
}

TEST_F(SpiOpen, RunsOutOfHandlesAfter32)
{
    for (int i = 1; i < 32; ++i)
        ASSERT_EQ(spiOpen(deviceChannel, busBaud, mode3), i);
    EXPECT_EQ(spiOpen(deviceChannel, busBaud, mode3), PI_NO_HANDLE);
}

using SpiTransfer = EmulatedBus;

TEST_F(SpiTransfer, RejectsBadHandleAndCount)
{
    static char big[65537];
    EXPECT_EQ(spiXfer(handle + 1, big, big, 2), PI_BAD_HANDLE);
    EXPECT_EQ(spiWrite(1000, big, 2), PI_BAD_HANDLE);
    EXPECT_EQ(spiXfer(handle, big, big, 0), PI_BAD_SPI_COUNT);
    EXPECT_EQ(spiWrite(handle, big, 65537), PI_BAD_SPI_COUNT);
    EXPECT_EQ(spiXfer(handle, big, big, 65536), 65536);
    EXPECT_EQ(emulatedTransactionCount(), 1);
}

TEST_F(SpiTransfer, LogKeepsTheBytesTheHostSent)
{
    char config[2] = {0x6C, 0x0F};
    char read[7] = {static_cast<char>(0xF2), 1, 2, 3, 4, 5, 6};
    spiWrite(handle, config, 2);
    spiXfer(handle, read, read, 7);
    ASSERT_EQ(emulatedTransactionCount(), 2);

    unsigned char bytes[8] = {};
    ASSERT_EQ(emulatedTransactionBytes(0, bytes, sizeof bytes), 2);
    EXPECT_EQ(bytes[0], 0x6C);
    EXPECT_EQ(bytes[1], 0x0F);
    ASSERT_EQ(emulatedTransactionBytes(1, bytes, sizeof bytes), 7);
    EXPECT_EQ(bytes[0], 0xF2);
    EXPECT_EQ(bytes[6], 6) << "transmitted, not received, bytes";
    EXPECT_EQ(emulatedTransactionBytes(2, bytes, sizeof bytes), -1);
    EXPECT_EQ(emulatedTransactionBytes(-1, bytes, sizeof bytes), -1);
}

TEST_F(SpiTransfer, LogCountsBeyondItsCapacity)
{
    for (long i = 0; i < emulatedLogCapacity + 10; ++i)
        readRegister(handle, regDevId);
    EXPECT_EQ(emulatedTransactionCount(), emulatedLogCapacity + 10);
    unsigned char bytes[2];
    EXPECT_EQ(emulatedTransactionBytes(emulatedLogCapacity - 1, bytes, 2), 2);
    EXPECT_EQ(emulatedTransactionBytes(emulatedLogCapacity, bytes, 2), -1);
}

TEST_F(SpiTransfer, ChannelOneHasNothingAttached)
{
    int empty = spiOpen(emptyChannel, busBaud, mode3);
    ASSERT_GE(empty, 0);
    EXPECT_EQ(readRegister(empty, regDevId), emulatedMisoUndriven);
    EXPECT_EQ(writeRegister(empty, regBwRate, rate3200Hz), 2);
    EXPECT_EQ(emulatedRegister(regBwRate), rate100Hz);
}

// The configuration the driver writes, on a link the device cannot follow.
void writeDriverConfiguration(int handle)
{
    char bwRate[2] = {0x6C, 0x0F};
    char format[2] = {0x71, 0x0B};
    char power[2] = {0x6D, 0x08};
    spiWrite(handle, bwRate, 2);
    spiWrite(handle, format, 2);
    spiWrite(handle, power, 2);
}

TEST_F(SpiTransfer, WrongModeGarblesConfigurationAndReads)
{
    int wrong = spiOpen(deviceChannel, busBaud, mode0);
    writeDriverConfiguration(wrong);
    EXPECT_EQ(emulatedRegister(regBwRate), rate100Hz);
    EXPECT_EQ(emulatedRegister(regDataFormat), 0);
    EXPECT_EQ(emulatedRegister(regPowerCtl), 0);
    EXPECT_NE(emulatedRegister(regFifoCtl), 0) << "the format write lands one bit off";
    EXPECT_NE(readRegister(wrong, regDevId), devIdValue);
    EXPECT_EQ(readRegister(handle, regDevId), devIdValue) << "mode 3 still works";
}

TEST_F(SpiTransfer, WrongModeReadsDifferFromTheData)
{
    writeDriverConfiguration(handle);
    time_sleep(period3200HzSec);
    int wrong = spiOpen(deviceChannel, busBaud, 1);
    Counts good = readCounts(handle);
    Counts garbled = readCounts(wrong);
    EXPECT_FALSE(good.x == garbled.x && good.y == garbled.y && good.z == garbled.z);
}

TEST_F(SpiTransfer, ClockAboveFiveMegahertzGarbles)
{
    int fast = spiOpen(deviceChannel, 8000000, mode3);
    EXPECT_NE(readRegister(fast, regDevId), devIdValue);
    int limit = spiOpen(deviceChannel, 5000000, mode3);
    EXPECT_EQ(readRegister(limit, regDevId), devIdValue);
}

TEST_F(SpiTransfer, NullBuffersSendZerosAndDiscard)
{
    EXPECT_EQ(spiXfer(handle, nullptr, nullptr, 7), 7);
    EXPECT_EQ(spiWrite(handle, nullptr, 2), 2);
    unsigned char bytes[2] = {1, 1};
    ASSERT_EQ(emulatedTransactionBytes(1, bytes, 2), 2);
    EXPECT_EQ(bytes[0], 0);
    EXPECT_EQ(bytes[1], 0);
}

}  // namespace
