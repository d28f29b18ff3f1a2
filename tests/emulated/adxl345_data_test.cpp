// When the emulated ADXL345 produces samples and how it scales them.
#include <cmath>
#include <cstdlib>
#include <string>

#include "emulated_fixture.h"

namespace {

using Adxl345Data = EmulatedBus;

inline constexpr Counts zeroCounts{0, 0, 0};

bool sameCounts(Counts a, Counts b)
{
    return a.x == b.x && a.y == b.y && a.z == b.z;
}

// A fresh sample after Measure was set at the given rate and format.
Counts firstSample(int handle, unsigned char rate, unsigned char format)
{
    startMeasuring(handle, rate, format);
    time_sleep(period3200HzSec);
    return readCounts(handle);
}

TEST_F(Adxl345Data, StandbyReadsZerosUntilOnePeriodAfterMeasure)
{
    writeRegister(handle, regBwRate, rate100Hz);
    writeRegister(handle, regDataFormat, formatFullRes16g);
    time_sleep(1.0);
    EXPECT_TRUE(sameCounts(readCounts(handle), zeroCounts)) << "standby produces nothing";

    writeRegister(handle, regPowerCtl, powerMeasure);
    time_sleep(period100HzSec / 2);
    EXPECT_TRUE(sameCounts(readCounts(handle), zeroCounts)) << "half a period after Measure";
    time_sleep(period100HzSec / 2);
    Counts first = readCounts(handle);
    EXPECT_NEAR(first.z, 256, 2 + 3);  // 1 g with vibration and noise
}

TEST_F(Adxl345Data, ReadingFasterThanTheRateReturnsTheSameSample)
{
    startMeasuring(handle, rate100Hz, formatFullRes16g);
    time_sleep(period100HzSec);
    Counts first = readCounts(handle);
    // Ten more reads of about 50 us each stay inside the 10 ms period.
    for (int i = 0; i < 10; ++i)
        EXPECT_TRUE(sameCounts(readCounts(handle), first)) << "read " << i;
    time_sleep(period100HzSec);
    EXPECT_FALSE(sameCounts(readCounts(handle), first));
}

// Poll DATA_READY every 100 us or so for a while; count the new samples.
int countNewSamples(int handle, double seconds)
{
    int samples = 0;
    double end = time_time() + seconds;
    while (time_time() < end) {
        if (readRegister(handle, regIntSource) & intDataReady) {
            readCounts(handle);
            ++samples;
        }
        time_sleep(20e-6);
    }
    return samples;
}

TEST_F(Adxl345Data, SamplesArriveAtTheConfiguredRate)
{
    startMeasuring(handle, rate3200Hz, formatFullRes16g);
    EXPECT_NEAR(countNewSamples(handle, 0.01), 32, 1);

    writeRegister(handle, regBwRate, rate100Hz);
    EXPECT_NEAR(countNewSamples(handle, 0.05), 5, 1);

    writeRegister(handle, regBwRate, 0x0E);  // 1600 Hz
    EXPECT_NEAR(countNewSamples(handle, 0.01), 16, 1);
}

TEST_F(Adxl345Data, FullResolutionGives256CountsPerGAtEveryRange)
{
    emulatedHoldCounts(256, -512, 1000);
    Counts counts = firstSample(handle, rate3200Hz, formatFullRes16g);
    EXPECT_EQ(counts.x, 256);
    EXPECT_EQ(counts.y, -512);
    EXPECT_EQ(counts.z, 1000);
}

TEST_F(Adxl345Data, TenBitResolutionAt16gGives32CountsPerG)
{
    emulatedHoldCounts(256, -512, 1024);
    Counts counts = firstSample(handle, rate3200Hz, format10Bit16g);
    EXPECT_EQ(counts.x, 32);
    EXPECT_EQ(counts.y, -64);
    EXPECT_EQ(counts.z, 128);
}

TEST_F(Adxl345Data, RangeClipsTheValue)
{
    // 20 g and -20 g in full resolution at +-16 g: 13 bits.
    emulatedHoldCounts(20 * 256, -20 * 256, 0);
    Counts full = firstSample(handle, rate3200Hz, formatFullRes16g);
    EXPECT_EQ(full.x, 4095);
    EXPECT_EQ(full.y, -4096);

    // 3 g at +-2 g (power-on format, 10 bits, 256 counts per g).
    TearDown();
    SetUp();
    emulatedHoldCounts(3 * 256, -3 * 256, 256);
    Counts twoG = firstSample(handle, rate3200Hz, format10Bit2g);
    EXPECT_EQ(twoG.x, 511);
    EXPECT_EQ(twoG.y, -512);
    EXPECT_EQ(twoG.z, 256);
}

TEST_F(Adxl345Data, LeftJustifyMovesTheValueToTheTop)
{
    emulatedHoldCounts(256, -256, 0);
    Counts counts = firstSample(handle, rate3200Hz, format10Bit16g | formatJustify);
    EXPECT_EQ(counts.x, 32 << 6);
    EXPECT_EQ(counts.y, -32 * 64);
}

TEST_F(Adxl345Data, OffsetsAddFourCountsEach)
{
    char offsets[4] = {static_cast<char>(cmdMultiByte | regOfsX), 1, static_cast<char>(-2), 0};
    spiWrite(handle, offsets, 4);
    emulatedHoldCounts(0, 0, 256);
    Counts counts = firstSample(handle, rate3200Hz, formatFullRes16g);
    EXPECT_EQ(counts.x, 4);
    EXPECT_EQ(counts.y, -8);
    EXPECT_EQ(counts.z, 256);
}

TEST_F(Adxl345Data, MotionFollowsTheFormulaWithinTheNoise)
{
    startMeasuring(handle, rate100Hz, formatFullRes16g);
    for (int n = 1; n <= 20; ++n) {
        time_sleep(period100HzSec - emulatedWakeLatencySec);
        Counts counts = readCounts(handle);
        double x, y, z;
        emulatedMotion(n * period100HzSec, &x, &y, &z);
        EXPECT_LE(std::abs(counts.x - std::lround(x * 256)), emulatedNoiseCounts + 1) << n;
        EXPECT_LE(std::abs(counts.y - std::lround(y * 256)), emulatedNoiseCounts + 1) << n;
        EXPECT_LE(std::abs(counts.z - std::lround(z * 256)), emulatedNoiseCounts + 1) << n;
    }
}

TEST_F(Adxl345Data, RunsAreRepeatable)
{
    Counts first[8];
    startMeasuring(handle, rate3200Hz, formatFullRes16g);
    for (Counts &counts : first) {
        time_sleep(period3200HzSec);
        counts = readCounts(handle);
    }
    TearDown();
    SetUp();
    startMeasuring(handle, rate3200Hz, formatFullRes16g);
    for (const Counts &expected : first) {
        time_sleep(period3200HzSec);
        EXPECT_TRUE(sameCounts(readCounts(handle), expected));
    }
}

TEST_F(Adxl345Data, StandbyFreezesTheLastSample)
{
    Counts sample = firstSample(handle, rate3200Hz, formatFullRes16g);
    writeRegister(handle, regPowerCtl, 0);
    time_sleep(0.5);
    EXPECT_TRUE(sameCounts(readCounts(handle), sample));
}

inline constexpr unsigned char formatSelfTest = 0x80;
inline constexpr unsigned char fifoStream = 0x80;

TEST_F(Adxl345Data, SelfTestShiftsTheSamplesMadeWhileItIsSetAsAnAcceleration)
{
    // The default: a part inside the datasheet's limits at 3.3 V.
    emulatedHoldCounts(0, 0, 256);
    Counts plain = firstSample(handle, rate3200Hz, formatFullRes16g);
    writeRegister(handle, regDataFormat, formatFullRes16g | formatSelfTest);
    time_sleep(period3200HzSec);
    Counts shifted = readCounts(handle);
    EXPECT_TRUE(shifted.x - plain.x >= 50 * 1.77 && shifted.x - plain.x <= 540 * 1.77) << shifted.x;
    EXPECT_TRUE(shifted.y - plain.y >= -540 * 1.77 && shifted.y - plain.y <= -50 * 1.77) << shifted.y;
    EXPECT_TRUE(shifted.z - plain.z >= 75 * 1.47 && shifted.z - plain.z <= 875 * 1.47) << shifted.z;

    struct Case {
        const char *format;
        unsigned char dataFormat;
        Counts expected;  // 1 g on z, shifted by (300, -200, 400)
    };
    for (Case c : {Case{"full resolution", formatFullRes16g, {300, -200, 656}},
                   Case{"10 bits at 16 g", format10Bit16g, {38, -25, 82}},
                   Case{"10 bits at 2 g, clipped", format10Bit2g, {300, -200, 511}}}) {
        TearDown();
        SetUp();
        emulatedHoldCounts(0, 0, 256);
        emulatedSetSelfTestShift(300, -200, 400);
        Counts counts = firstSample(handle, rate3200Hz, c.dataFormat | formatSelfTest);
        EXPECT_TRUE(sameCounts(counts, c.expected))
            << c.format << ": " << counts.x << " " << counts.y << " " << counts.z;
    }

    // Samples already queued keep what they had; those made after the bit
    // is cleared again carry no shift.
    TearDown();
    SetUp();
    emulatedHoldCounts(0, 0, 256);
    emulatedSetSelfTestShift(300, -200, 400);
    writeRegister(handle, regFifoCtl, fifoStream);
    startMeasuring(handle, rate100Hz, formatFullRes16g);
    time_sleep(3.5 * period100HzSec);
    writeRegister(handle, regDataFormat, formatFullRes16g | formatSelfTest);
    time_sleep(3 * period100HzSec);
    writeRegister(handle, regDataFormat, formatFullRes16g);
    time_sleep(3 * period100HzSec);
    const int expectedX[9] = {0, 0, 0, 300, 300, 300, 0, 0, 0};
    for (int n = 0; n < 9; ++n)
        EXPECT_EQ(readCounts(handle).x, expectedX[n]) << "sample " << n;
}

TEST_F(Adxl345Data, NoiseIsUniformUpToTheAmplitudeSet)
{
    struct Case {
        int amplitude;
        bool set;  // else the default
    };
    for (Case c : {Case{emulatedNoiseCounts, false}, Case{0, true}, Case{7, true}}) {
        TearDown();
        SetUp();
        emulatedSetTone(0, 0.0, 1.0);  // still: 1 g on z, noise alone
        if (c.set)
            emulatedSetNoiseCounts(c.amplitude);
        startMeasuring(handle, rate100Hz, formatFullRes16g);
        constexpr int samples = 3000;
        int largest = 0;
        double sum = 0, squares = 0;
        for (int n = 0; n < samples; ++n) {
            time_sleep(period100HzSec - emulatedWakeLatencySec);
            Counts counts = readCounts(handle);
            for (int deviation : {counts.x, counts.y, counts.z - 256}) {
                largest = std::max(largest, std::abs(deviation));
                sum += deviation;
                squares += deviation * deviation;
            }
        }
        double a = c.amplitude;
        EXPECT_EQ(largest, c.amplitude);
        EXPECT_NEAR(sum / (3 * samples), 0, 0.05 * a + 1e-9) << c.amplitude;
        EXPECT_NEAR(std::sqrt(squares / (3 * samples)), std::sqrt(a * (a + 1) / 3), 0.05 * a + 1e-9)
            << c.amplitude;
    }
    testing::internal::CaptureStderr();
    emulatedSetNoiseCounts(-1);
    emulatedSetNoiseCounts(257);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "emulated pigpio: noise of -1 counts refused\n"
              "emulated pigpio: noise of 257 counts refused\n");
}

}  // namespace
