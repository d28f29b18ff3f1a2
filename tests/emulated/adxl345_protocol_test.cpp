// The ADXL345's SPI command byte and register file, as a driver meets them.
#include "emulated_fixture.h"

namespace {

using Adxl345Protocol = EmulatedBus;

TEST_F(Adxl345Protocol, DevIdReadsE5AndIgnoresWrites)
{
    EXPECT_EQ(readRegister(handle, regDevId), devIdValue);
    EXPECT_EQ(writeRegister(handle, regDevId, 0x12), 2);
    EXPECT_EQ(readRegister(handle, regDevId), devIdValue);
}

TEST_F(Adxl345Protocol, PowerOnValues)
{
    EXPECT_EQ(emulatedRegister(regBwRate), rate100Hz);
    EXPECT_EQ(emulatedRegister(regPowerCtl), 0);
    EXPECT_EQ(emulatedRegister(regDataFormat), 0);
    EXPECT_EQ(emulatedRegister(regFifoCtl), 0);
    EXPECT_EQ(emulatedRegister(regFifoStatus), 0);
    EXPECT_EQ(emulatedRegister(-1), -1);
    EXPECT_EQ(emulatedRegister(0x40), -1);
}

TEST_F(Adxl345Protocol, ReadOnlyRegistersIgnoreWrites)
{
    startMeasuring(handle, rate3200Hz, formatFullRes16g);
    time_sleep(period3200HzSec);
    int before = emulatedRegister(regDataX0 + 5);
    EXPECT_EQ(writeRegister(handle, regDataX0 + 5, 0x55), 2);
    EXPECT_EQ(writeRegister(handle, regIntSource, 0x00), 2);
    EXPECT_EQ(writeRegister(handle, regFifoStatus, 0x1F), 2);
    EXPECT_EQ(writeRegister(handle, 0x05, 0x77), 2);  // reserved
    EXPECT_EQ(emulatedRegister(regDataX0 + 5), before);
    EXPECT_EQ(emulatedRegister(regIntSource), intDataReady);
    EXPECT_EQ(emulatedRegister(regFifoStatus), 0);
    EXPECT_EQ(emulatedRegister(0x05), 0);
}

TEST_F(Adxl345Protocol, MultiByteWriteAdvancesSingleByteWriteStays)
{
    char multi[4] = {static_cast<char>(cmdMultiByte | regOfsX), 1, 2, 3};
    ASSERT_EQ(spiWrite(handle, multi, 4), 4);
    EXPECT_EQ(emulatedRegister(regOfsX), 1);
    EXPECT_EQ(emulatedRegister(regOfsX + 1), 2);
    EXPECT_EQ(emulatedRegister(regOfsZ), 3);

    // Without MB every byte lands in the same register; the last one stays.
    char single[4] = {static_cast<char>(regOfsX), 7, 8, 9};
    ASSERT_EQ(spiWrite(handle, single, 4), 4);
    EXPECT_EQ(emulatedRegister(regOfsX), 9);
    EXPECT_EQ(emulatedRegister(regOfsX + 1), 2);
    EXPECT_EQ(emulatedRegister(regOfsZ), 3);
}

TEST_F(Adxl345Protocol, BurstReadWithoutMultiByteRepeatsOneRegister)
{
    emulatedHoldCounts(0x0102, 0x0304, 0x0506);
    startMeasuring(handle, rate3200Hz, formatFullRes16g);
    time_sleep(period3200HzSec);

    char single[7] = {static_cast<char>(cmdRead | regDataX0)};
    ASSERT_EQ(spiXfer(handle, single, single, 7), 7);
    for (int i = 1; i < 7; ++i)
        EXPECT_EQ(static_cast<unsigned char>(single[i]), 0x02) << "byte " << i;

    char multi[7] = {static_cast<char>(cmdRead | cmdMultiByte | regDataX0)};
    ASSERT_EQ(spiXfer(handle, multi, multi, 7), 7);
    const unsigned char expected[6] = {0x02, 0x01, 0x04, 0x03, 0x06, 0x05};
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(static_cast<unsigned char>(multi[i + 1]), expected[i]) << "byte " << i + 1;
}

TEST_F(Adxl345Protocol, MultiByteAddressWrapsWithinSixBits)
{
    char buffer[3] = {static_cast<char>(cmdRead | cmdMultiByte | 0x3F), 0, 0};
    ASSERT_EQ(spiXfer(handle, buffer, buffer, 3), 3);
    EXPECT_EQ(static_cast<unsigned char>(buffer[1]), 0);  // reserved 0x3F
    EXPECT_EQ(static_cast<unsigned char>(buffer[2]), devIdValue);
}

TEST_F(Adxl345Protocol, SameBufferCarriesCommandAndReceivesData)
{
    // The command byte comes back as undriven MISO; the data follows it.
    char buffer[2] = {static_cast<char>(cmdRead | regDevId), 0x5A};
    ASSERT_EQ(spiXfer(handle, buffer, buffer, 2), 2);
    EXPECT_EQ(static_cast<unsigned char>(buffer[0]), emulatedMisoUndriven);
    EXPECT_EQ(static_cast<unsigned char>(buffer[1]), devIdValue);

    // Separate buffers: transmit side untouched.
    char tx[2] = {static_cast<char>(cmdRead | regDevId), 0};
    char rx[2] = {1, 1};
    ASSERT_EQ(spiXfer(handle, tx, rx, 2), 2);
    EXPECT_EQ(static_cast<unsigned char>(tx[0]), cmdRead | regDevId);
    EXPECT_EQ(static_cast<unsigned char>(rx[1]), devIdValue);
}

TEST_F(Adxl345Protocol, DataReadyClearedByReadingData)
{
    startMeasuring(handle, rate100Hz, formatFullRes16g);
    EXPECT_EQ(readRegister(handle, regIntSource) & intDataReady, 0);
    time_sleep(period100HzSec);
    EXPECT_EQ(readRegister(handle, regIntSource) & intDataReady, intDataReady);
    EXPECT_EQ(readRegister(handle, regIntSource) & intDataReady, intDataReady)
        << "reading INT_SOURCE does not clear it";
    readCounts(handle);
    EXPECT_EQ(readRegister(handle, regIntSource) & intDataReady, 0);
    time_sleep(period100HzSec);
    EXPECT_EQ(readRegister(handle, regIntSource) & intDataReady, intDataReady);
}

TEST_F(Adxl345Protocol, OverrunInBypassModeMarksASampleReplacedBeforeItWasRead)
{
    constexpr unsigned char intOverrun = 0x01;
    startMeasuring(handle, rate100Hz, formatFullRes16g);
    time_sleep(period100HzSec);
    EXPECT_EQ(readRegister(handle, regIntSource), intDataReady);
    time_sleep(period100HzSec);
    EXPECT_EQ(readRegister(handle, regIntSource), intDataReady | intOverrun);
    EXPECT_EQ(readRegister(handle, regIntSource), intDataReady | intOverrun)
        << "reading INT_SOURCE does not clear it";
    readCounts(handle);
    EXPECT_EQ(readRegister(handle, regIntSource), 0);
    time_sleep(period100HzSec);
    EXPECT_EQ(readRegister(handle, regIntSource), intDataReady) << "each sample read in time";
    readCounts(handle);
    time_sleep(2.5 * period100HzSec);
    EXPECT_EQ(readRegister(handle, regIntSource), intDataReady | intOverrun)
        << "a sample came and went while the reader was held up";
}

TEST_F(Adxl345Protocol, ThreeWireModeLeavesMisoUndriven)
{
    writeRegister(handle, regDataFormat, formatSpi3Wire);
    EXPECT_EQ(readRegister(handle, regDevId), emulatedMisoUndriven);
}

}  // namespace
