// The ADXL345's FIFO as a reader meets it, and the controls of the sample
// clock and of the signal.
#include <cmath>
#include <string>

#include "emulated_fixture.h"
#include "host_clock.h"

namespace {

inline constexpr unsigned char fifoBypass = 0x00;
inline constexpr unsigned char fifoFifo = 0x40;
inline constexpr unsigned char fifoStream = 0x80;
inline constexpr unsigned char fifoTrigger = 0xC0;
inline constexpr unsigned char watermark16 = 16;
inline constexpr unsigned char intWatermark = 0x02;
inline constexpr unsigned char intOverrun = 0x01;
inline constexpr int countsPerG = 256;

// A tone whose consecutive samples at 100 Hz differ by far more than the
// noise, so that every sample read can be told from its neighbours.
inline constexpr double toneG = 8.0;
inline constexpr double toneHz = 13.7;

using Adxl345Fifo = EmulatedBus;

// Configure the FIFO and the rate, then set Measure; returns the time of
// the Measure write.
double startFifo(int handle, unsigned char fifoCtl, unsigned char rate)
{
    writeRegister(handle, regFifoCtl, fifoCtl);
    writeRegister(handle, regBwRate, rate);
    writeRegister(handle, regDataFormat, formatFullRes16g);
    double measureAt = time_time();
    writeRegister(handle, regPowerCtl, powerMeasure);
    return measureAt;
}

// The next transfer starts this long after the Measure write.
void sleepUntil(double measureAt, double seconds)
{
    time_sleep(measureAt + seconds - time_time() - emulatedWakeLatencySec);
}

// Whether counts carry the signal at a sample's time, within the noise.
bool carriesSignalAt(Counts counts, double seconds)
{
    double x, y, z;
    emulatedMotion(seconds, &x, &y, &z);
    int slack = emulatedNoiseCounts + 1;
    return std::abs(counts.x - std::lround(x * countsPerG)) <= slack &&
           std::abs(counts.y - std::lround(y * countsPerG)) <= slack &&
           std::abs(counts.z - std::lround(z * countsPerG)) <= slack;
}

TEST_F(Adxl345Fifo, AFullFifoKeepsTheFirst33OrTheLatest33AndReportsTheOverrun)
{
    struct Case {
        const char *mode;
        unsigned char fifoCtl;
        int firstKept;  // of the 50 samples that arrived
    };
    for (Case c : {Case{"FIFO", fifoFifo, 1}, Case{"stream", fifoStream, 18},
                   Case{"trigger without a trigger event", fifoTrigger, 18}}) {
        TearDown();
        SetUp();
        emulatedSetTone(0, toneG, toneHz);
        double measureAt = startFifo(handle, c.fifoCtl | watermark16, rate100Hz);
        sleepUntil(measureAt, 50.5 * period100HzSec);
        EXPECT_EQ(readRegister(handle, regFifoStatus), emulatedFifoDepth) << c.mode;
        EXPECT_EQ(readRegister(handle, regIntSource), intDataReady | intWatermark | intOverrun)
            << c.mode;
        EXPECT_EQ(readRegister(handle, regIntSource) & intOverrun, intOverrun)
            << c.mode << ": reading INT_SOURCE does not clear Overrun";
        for (int n = c.firstKept; n < c.firstKept + emulatedFifoDepth + 1; ++n) {
            EXPECT_TRUE(carriesSignalAt(readCounts(handle), n * period100HzSec)) << c.mode << " " << n;
            EXPECT_EQ(readRegister(handle, regIntSource) & intOverrun, 0) << c.mode << " " << n;
        }
        EXPECT_EQ(readRegister(handle, regFifoStatus), 0) << c.mode;
        EXPECT_EQ(readRegister(handle, regIntSource), 0) << c.mode;
    }
}

TEST_F(Adxl345Fifo, EveryRateCodeFillsTheFifoAtItsRate)
{
    for (int code = 0x06; code <= 0x0F; ++code) {
        TearDown();
        SetUp();
        double period = 1.0 / (3200.0 / (1 << (0x0F - code)));
        double measureAt = startFifo(handle, fifoStream | 4, static_cast<unsigned char>(code));
        sleepUntil(measureAt, 4.5 * period);
        EXPECT_EQ(readRegister(handle, regFifoStatus), 3) << "code " << code;
        EXPECT_EQ(readRegister(handle, regIntSource), intDataReady) << "code " << code;
        sleepUntil(measureAt, 5.5 * period);
        EXPECT_EQ(readRegister(handle, regFifoStatus), 4) << "code " << code;
        EXPECT_EQ(readRegister(handle, regIntSource), intDataReady | intWatermark) << "code " << code;
    }
}

TEST_F(Adxl345Fifo, EachReadOfTheDataRegistersPopsOneWholeSample)
{
    emulatedSetTone(0, toneG, toneHz);
    double measureAt = startFifo(handle, fifoStream, rate100Hz);
    sleepUntil(measureAt, 10.5 * period100HzSec);
    struct Read {
        const char *what;
        unsigned char command;
        unsigned bytes;
        int pops;
    };
    const Read reads[] = {
        {"a burst of the six data registers", cmdRead | cmdMultiByte | regDataX0, 7, 1},
        {"one byte of x", cmdRead | regDataX0, 2, 1},
        {"x six times without multi-byte", cmdRead | regDataX0, 7, 1},
        {"z alone", cmdRead | cmdMultiByte | (regDataX0 + 4), 3, 1},
        {"INT_SOURCE through FIFO_STATUS", cmdRead | cmdMultiByte | regIntSource, 11, 1},
        {"FIFO_STATUS", cmdRead | regFifoStatus, 2, 0},
    };
    int popped = 0;
    for (const Read &r : reads) {
        char buffer[11] = {static_cast<char>(r.command)};
        ASSERT_EQ(spiXfer(handle, buffer, buffer, r.bytes), static_cast<int>(r.bytes)) << r.what;
        popped += r.pops;
        EXPECT_EQ(emulatedRegister(regFifoStatus), 9 - popped) << r.what;
    }
    EXPECT_TRUE(carriesSignalAt(readCounts(handle), (popped + 1) * period100HzSec))
        << "the other axes of a partly read sample are gone";
}

// INT_SOURCE, DATA_FORMAT and the six data registers in one transfer.
struct StatusAndSample {
    int intSource;
    int dataFormat;
    Counts counts;
};

StatusAndSample readStatusAndSample(int handle)
{
    char buffer[9] = {static_cast<char>(cmdRead | cmdMultiByte | regIntSource)};
    EXPECT_EQ(spiXfer(handle, buffer, buffer, 9), 9);
    return StatusAndSample{static_cast<unsigned char>(buffer[1]), static_cast<unsigned char>(buffer[2]),
                           Counts{axisCounts(buffer, 3), axisCounts(buffer, 5), axisCounts(buffer, 7)}};
}

TEST_F(Adxl345Fifo, AReadFromIntSourceThroughTheDataGivesTheStatusBeforeItsPopAndPopsOneSample)
{
    emulatedSetTone(0, toneG, toneHz);
    double measureAt = startFifo(handle, fifoStream | watermark16, rate100Hz);
    sleepUntil(measureAt, 50.5 * period100HzSec);
    EXPECT_EQ(emulatedRegister(regFifoStatus), emulatedFifoDepth) << "33 held";

    // Samples 18 to 50 are held; the first read reports the loss of 1 to 17.
    const int expectedSource[] = {intDataReady | intWatermark | intOverrun, intDataReady | intWatermark};
    for (int n = 18; n <= 19; ++n) {
        StatusAndSample read = readStatusAndSample(handle);
        EXPECT_EQ(read.intSource, expectedSource[n - 18]) << n;
        EXPECT_EQ(read.dataFormat, formatFullRes16g) << n;
        EXPECT_TRUE(carriesSignalAt(read.counts, n * period100HzSec)) << n;
        EXPECT_EQ(emulatedRegister(regFifoStatus), emulatedFifoDepth - (n - 17)) << n;
    }
    EXPECT_TRUE(carriesSignalAt(readCounts(handle), 20 * period100HzSec)) << "no sample skipped";

    // In bypass mode it reads DATA_READY and clears it, as a read of the data alone does.
    writeRegister(handle, regFifoCtl, fifoBypass);
    time_sleep(period100HzSec);
    EXPECT_EQ(readStatusAndSample(handle).intSource, intDataReady);
    EXPECT_EQ(emulatedRegister(regIntSource), 0);
}

TEST_F(Adxl345Fifo, AReadLessThan5usAfterAPopGetsTheValuesFromBeforeIt)
{
    struct Case {
        double gapSec;  // from the end of one transfer to the start of the next
        bool waited;
    };
    for (Case c : {Case{0.0, false}, Case{4.9e-6, false}, Case{emulatedFifoSettleSec, true},
                   Case{emulatedDefaultOverheadSec, true}}) {
        TearDown();
        SetUp();
        double measureAt = startFifo(handle, fifoStream, rate100Hz);
        sleepUntil(measureAt, 10.5 * period100HzSec);
        emulatedSetTransferTiming(c.gapSec, false);

        readCounts(handle);
        EXPECT_EQ(readRegister(handle, regFifoStatus), c.waited ? 8 : 9) << c.gapSec;
        time_sleep(1e-3);
        Counts popped = readCounts(handle);
        Counts next = readCounts(handle);
        bool same = popped.x == next.x && popped.y == next.y && popped.z == next.z;
        EXPECT_EQ(same, !c.waited) << c.gapSec;
        EXPECT_EQ(emulatedRegister(regFifoStatus), c.waited ? 6 : 7)
            << c.gapSec << ": a read too soon pops nothing";
    }
}

TEST_F(Adxl345Fifo, OnlyMeasuringFillsTheFifoAndBypassEmptiesIt)
{
    writeRegister(handle, regFifoCtl, fifoStream | watermark16);
    writeRegister(handle, regBwRate, rate100Hz);
    time_sleep(0.5);
    EXPECT_EQ(readRegister(handle, regIntSource), 0) << "standby";

    double measureAt = time_time();
    writeRegister(handle, regPowerCtl, powerMeasure);
    sleepUntil(measureAt, 10.5 * period100HzSec);
    writeRegister(handle, regPowerCtl, 0);
    time_sleep(0.5);
    EXPECT_EQ(readRegister(handle, regFifoStatus), 9) << "nothing enters in standby";

    writeRegister(handle, regFifoCtl, fifoBypass);
    EXPECT_EQ(readRegister(handle, regFifoStatus), 0);
    writeRegister(handle, regFifoCtl, fifoStream | watermark16);
    EXPECT_EQ(readRegister(handle, regFifoStatus), 0);
    EXPECT_EQ(readRegister(handle, regIntSource), 0);
}

TEST_F(Adxl345Fifo, ClockErrorAndStartPhaseMoveTheArrivals)
{
    struct Case {
        double clockError;
        double phaseSec;
        double before, after;  // sample 30 arrives in between
    };
    for (Case c : {Case{0.0, 0.0, 0.2995, 0.3005}, Case{+0.03, 0.0, 0.2910, 0.2915},
                   Case{-0.03, 0.0, 0.3090, 0.3095}, Case{0.0, 2e-3, 0.2915, 0.2925},
                   Case{0.0, 12e-3, 0.2915, 0.2925}}) {
        TearDown();
        SetUp();
        emulatedSetSampleClockError(c.clockError);
        emulatedSetStartPhase(c.phaseSec);
        double measureAt = startFifo(handle, fifoStream, rate100Hz);
        sleepUntil(measureAt, c.before);
        EXPECT_EQ(readRegister(handle, regFifoStatus), 28) << c.clockError << " " << c.phaseSec;
        sleepUntil(measureAt, c.after);
        EXPECT_EQ(readRegister(handle, regFifoStatus), 29) << c.clockError << " " << c.phaseSec;
    }
}

TEST_F(Adxl345Fifo, ATonesSamplesAreTakenAtTheTrueSampleTimes)
{
    constexpr double clockError = 0.03;
    emulatedSetSampleClockError(clockError);
    emulatedSetTone(0, 0.5, 437.0);
    double trueSec = period3200HzSec / (1 + clockError);
    double measureAt = startFifo(handle, fifoStream, rate3200Hz);
    sleepUntil(measureAt, 32.5 * trueSec);
    for (int n = 1; n <= emulatedFifoDepth; ++n) {
        Counts counts = readCounts(handle);
        EXPECT_TRUE(carriesSignalAt(counts, n * trueSec)) << n;
        EXPECT_LE(std::abs(counts.y), emulatedNoiseCounts) << n;
        EXPECT_LE(std::abs(counts.z - countsPerG), emulatedNoiseCounts) << n;
    }
    double x, y, z;
    emulatedMotion(0.25 / 437.0, &x, &y, &z);
    EXPECT_DOUBLE_EQ(x, 0.5);
    EXPECT_DOUBLE_EQ(y, 0.0);
    EXPECT_DOUBLE_EQ(z, 1.0);
}

// A drifting clock's rate integrated from the first Measure over
// sinceOriginSec, in samples: Simpson's rule, far finer than a nanosecond's
// worth of samples.
struct Drift {
    double clockError;
    double rampPerSec;
    double wander;
    double wanderPeriodSec;
};

double samplesCounted(double hz, Drift d, double sinceOriginSec)
{
    constexpr int steps = 20000;
    constexpr double twoPi = 6.283185307179586;
    auto rate = [&](double s) {
        double wander = d.wander != 0 ? d.wander * std::sin(twoPi * s / d.wanderPeriodSec) : 0;
        return hz * (1 + d.clockError + d.rampPerSec * s + wander);
    };
    double h = sinceOriginSec / steps;
    double sum = rate(0) + rate(sinceOriginSec);
    for (int i = 1; i < steps; ++i)
        sum += (i % 2 ? 4 : 2) * rate(i * h);
    return sum * h / 3;
}

long long deviceNs()
{
    return std::llround(hostMonotonicSec() * 1e9);
}

// Sleep until device time ns exactly (at least the wake-up latency ahead).
void sleepUntilNs(long long ns)
{
    ASSERT_GT(ns - deviceNs(), std::llround(emulatedWakeLatencySec * 1e9));
    time_sleep((ns - deviceNs()) * 1e-9 - emulatedWakeLatencySec);
    ASSERT_EQ(deviceNs(), ns);
}

bool dataReady()
{
    return (emulatedRegister(regIntSource) & intDataReady) != 0;
}

TEST_F(Adxl345Fifo, ADriftingClocksSamplesArriveWhereItsIntegratedRateReachesThem)
{
    const Drift drifts[] = {{0, 0, 0, 0}, {0, 5e-6, 0, 0}, {0, 0, 0.02, 0.7}, {-0.02, 5e-6, 0.03, 2.5}};
    for (Drift d : drifts) {
        for (int code = 0x06; code <= 0x0F; ++code) {
            TearDown();
            SetUp();
            // Each transfer takes 1 ns: a sample's arrival can be straddled.
            emulatedSetTransferTiming(1e-9, true);
            emulatedSetSampleClockError(d.clockError);
            emulatedSetSampleClockDrift(d.rampPerSec, d.wander, d.wanderPeriodSec);
            emulatedSetTone(0, toneG, toneHz);
            double hz = 3200.0 / (1 << (0x0F - code));
            startFifo(handle, fifoBypass, static_cast<unsigned char>(code));
            double originSec = emulatedMeasureOriginSec();
            std::string what = std::to_string(hz) + " Hz, ramp " + std::to_string(d.rampPerSec) +
                               ", wander " + std::to_string(d.wander);
            for (long long k : {0LL, 1LL, static_cast<long long>(3 * hz)}) {
                double arrivalSec = emulatedSampleArrivalSec(k);
                EXPECT_NEAR(samplesCounted(hz, d, arrivalSec - originSec), k + 1, hz * 1.5e-9)
                    << what << ", sample " << k;
                // The device agrees to the nanosecond: not there 1 ns before.
                auto arrivalNs = static_cast<long long>(std::ceil(arrivalSec * 1e9));
                sleepUntilNs(arrivalNs - 100000);
                Counts previous = readCounts(handle);
                if (k > 0) {
                    EXPECT_TRUE(carriesSignalAt(previous, emulatedSampleArrivalSec(k - 1) - originSec))
                        << what << ", sample " << k - 1;
                }
                sleepUntilNs(arrivalNs - 1);
                EXPECT_FALSE(dataReady()) << what << ", sample " << k;
                readRegister(handle, regDevId);
                EXPECT_TRUE(dataReady()) << what << ", sample " << k;
            }
        }
    }
}

TEST_F(Adxl345Fifo, ADriftThatCouldTakeTheClockHalfOffNominalWithinTenMinutesIsRefused)
{
    constexpr double horizon = 600;
    struct Case {
        const char *what;
        Drift drift;
        bool accepted;
    };
    const Case cases[] = {
        {"a ramp to -0.5", {0, -0.5 / horizon * 1.01, 0, 0}, false},
        {"a ramp on top of the clock error", {0.3, 0.21 / horizon, 0, 0}, false},
        {"a wander on top of the clock error", {0.1, 0, 0.4, 10}, false},
        {"a wander without a period", {0, 0, 0.01, 0}, false},
        {"a wander with a negative period", {0, 0, 0.01, -5}, false},
        {"a ramp that is not finite", {0, NAN, 0, 0}, false},
        {"a ramp without a wander needs no period", {0, 1e-6, 0, 0}, true},
        {"all three within bounds", {0.1, 3e-6, 0.1, 60}, true},
    };
    for (const Case &c : cases) {
        TearDown();
        SetUp();
        emulatedSetSampleClockError(c.drift.clockError);
        testing::internal::CaptureStderr();
        emulatedSetSampleClockDrift(c.drift.rampPerSec, c.drift.wander, c.drift.wanderPeriodSec);
        std::string complaint = testing::internal::GetCapturedStderr();
        EXPECT_EQ(complaint.find("emulated pigpio: sample clock drift") == 0, !c.accepted) << c.what;
        startFifo(handle, fifoStream, rate100Hz);
        double steadySec = emulatedMeasureOriginSec() + 1001 * period100HzSec / (1 + c.drift.clockError);
        EXPECT_EQ(std::fabs(emulatedSampleArrivalSec(1000) - steadySec) < 1e-9, !c.accepted) << c.what;
    }

    testing::internal::CaptureStderr();
    emulatedSetSampleClockError(0.45);
    EXPECT_NE(testing::internal::GetCapturedStderr(), "")
        << "a clock error that with the drift could pass 0.5 within ten minutes";
}

}  // namespace
