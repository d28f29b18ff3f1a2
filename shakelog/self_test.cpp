// The self-test as the sensor's datasheet describes it: at rest, in normal
// power at 400 Hz, the average output with the SELF_TEST bit clear and set;
// their difference is the force the bit applies, which must lie within the
// datasheet's limits for the supply.  Besides, each axis at rest, its noise
// against the datasheet's typical figure, and the data rate the sensor
// keeps against its nominal one, measured over the seconds the test reads
// the FIFO.
#include "self_test.h"

#include <cmath>
#include <cstdio>

#include <pigpio.h>

#include "fifo_link.h"
#include "host_clock.h"
#include "sample_clock.h"
#include "stop_signal.h"
#include "tuning.h"

namespace {

inline constexpr uint8_t testRateCode = rateCode400Hz;
inline constexpr double testRateHz = 400.0;
inline constexpr uint8_t testWatermark = 16;
// Samples averaged with the bit clear and set, and dropped after each
// switch while the output settles.
inline constexpr int averagedSamples = 200;
inline constexpr int settlingSamples = 40;
inline constexpr double readEverySec = 0.01;
inline constexpr int axes = 3;
inline constexpr double mgPerCount = accConversion * 1000;

// The force's limits in counts, for a 3.3 V supply: the datasheet's at
// 2.5 V (X +50..+540, Y -540..-50, Z +75..+875) scaled by the square of the
// supply, 1.77 on x and y, 1.47 on z.
inline constexpr double forceLow[axes] = {50 * 1.77, -540 * 1.77, 75 * 1.47};
inline constexpr double forceHigh[axes] = {540 * 1.77, -50 * 1.77, 875 * 1.47};
// At rest an axis reads its share of gravity plus an offset of up to
// 150 mg (x, y) or 250 mg (z); together they read 1 g give or take those.
inline constexpr double zeroGLimitMg[axes] = {150, 150, 250};
// Noise at 400 Hz, typically under 1.5 counts rms on x and y and 2.2 on z;
// twice that fails.
inline constexpr double typicalNoiseCounts[axes] = {1.5, 1.5, 2.2};
inline constexpr double noiseLimitShare = 2.0;
// The data rate within 5 % of nominal: parts have been seen 3.6 % off.
inline constexpr double rateTolerance = 0.05;
inline constexpr char axisNames[axes] = {'x', 'y', 'z'};

// The FIFO as the test reads it: the samples, and the clock's observations.
struct TestReading {
    SensorLink *link;
    int64_t stored;
    bool countKnown;
    bool lost;  // a sample was lost: the test is not at rest
    ClockObservation observations[2048];
    ClockWindow window;
};

// Averages and spreads of `wanted` samples, after dropping `dropped`.
struct AxisFigures {
    double mean[axes];
    double rms[axes];  // of the deviations from the mean
};

bool readFifo(TestReading &reading, AxisFigures &figures, int dropped, int wanted)
{
    double sum[axes] = {0, 0, 0};
    double sumSquares[axes] = {0, 0, 0};
    int taken = 0;
    int seen = 0;
    while (taken < wanted) {
        if (stopSignal != 0) {
            return false;
        }
        time_sleep(readEverySec);
        double begin = hostMonotonicSec();
        int status = readFifoStatus(*reading.link);
        double end = hostMonotonicSec();
        int entries = status < 0 ? -1 : fifoEntries(status);
        if (entries < 0 || entries > fifoEntriesMax) {
            return false;
        }
        if (entries > 0) {
            reading.countKnown = true;
        }
        if (reading.countKnown) {
            noteRead(reading.window, reading.stored + entries + 1, begin, end);
        }
        for (int i = 0; i < entries && taken < wanted; ++i) {
            if (i > 0) {
                time_sleep(fifoPopGapSec);
            }
            AccelSample sample{};
            uint8_t source = 0;
            if (readFifoSample(*reading.link, sample, source) != fifoSampleBytes) {
                return false;
            }
            reading.lost = reading.lost || (source & intOverrun) != 0;
            ++reading.stored;
            if (seen++ < dropped) {
                continue;
            }
            const int16_t counts[axes] = {sample.countX, sample.countY, sample.countZ};
            for (int axis = 0; axis < axes; ++axis) {
                sum[axis] += counts[axis];
                sumSquares[axis] += static_cast<double>(counts[axis]) * counts[axis];
            }
            ++taken;
        }
    }
    for (int axis = 0; axis < axes; ++axis) {
        figures.mean[axis] = sum[axis] / taken;
        double variance = sumSquares[axis] / taken - figures.mean[axis] * figures.mean[axis];
        figures.rms[axis] = std::sqrt(variance > 0 ? variance : 0);
    }
    return true;
}

bool setSelfTestBit(SensorLink &link, bool on)
{
    uint8_t format = on ? dataFormatCapture | dataFormatSelfTest : dataFormatCapture;
    return writeRegister(link, regDataFormat, format) && readRegister(link, regDataFormat) == format;
}

// One check's line; returns whether it passed.
bool verdict(bool passed)
{
    printf(": %s\n", passed ? "PASS" : "FAIL");
    return passed;
}

int checkForce(const AxisFigures &off, const AxisFigures &on)
{
    int failed = 0;
    for (int axis = 0; axis < axes; ++axis) {
        double force = on.mean[axis] - off.mean[axis];
        printf("self-test force %c: %+.0f counts, limits %+.0f to %+.0f", axisNames[axis], force,
               std::ceil(forceLow[axis]), std::floor(forceHigh[axis]));
        failed += verdict(force >= forceLow[axis] && force <= forceHigh[axis]) ? 0 : 1;
    }
    return failed;
}

int checkRest(const AxisFigures &off)
{
    int failed = 0;
    double squares = 0;
    double limitSquares = 0;
    for (int axis = 0; axis < axes; ++axis) {
        double mg = off.mean[axis] * mgPerCount;
        double limit = 1000 + zeroGLimitMg[axis];
        squares += mg * mg;
        limitSquares += zeroGLimitMg[axis] * zeroGLimitMg[axis];
        printf("at rest %c: %+.1f mg, within +-%.0f mg", axisNames[axis], mg, limit);
        failed += verdict(std::fabs(mg) <= limit) ? 0 : 1;
    }
    double gravity = std::sqrt(squares);
    double spread = std::sqrt(limitSquares);
    printf("gravity: %.1f mg, 1000 +- %.0f mg", gravity, spread);
    failed += verdict(std::fabs(gravity - 1000) <= spread) ? 0 : 1;
    return failed;
}

int checkNoise(const AxisFigures &off)
{
    int failed = 0;
    for (int axis = 0; axis < axes; ++axis) {
        double typical = typicalNoiseCounts[axis] * mgPerCount;
        double mg = off.rms[axis] * mgPerCount;
        printf("noise %c: %.1f mg rms, typical %.1f mg at %.0f Hz, limit %.1f mg", axisNames[axis], mg,
               typical, testRateHz, noiseLimitShare * typical);
        failed += verdict(mg <= noiseLimitShare * typical) ? 0 : 1;
    }
    return failed;
}

int checkRate(TestReading &reading)
{
    static ClockObservation scratch[2048];
    int n = windowBetween(reading.window, -INFINITY, INFINITY, scratch, 2048);
    ClockModel clock{};
    bool measured = !reading.lost && n >= 4 && fitClock(scratch, n, 1 / testRateHz, clock);
    if (!measured) {
        printf("data rate: not measured, samples were lost (was the test held up?)");
        return verdict(false) ? 0 : 1;
    }
    double hz = 1 / periodAt(clock, clock.center);
    double ppm = (hz / testRateHz - 1) * 1e6;
    printf("data rate: %.2f Hz, %+.0f ppm from nominal %.0f Hz, limits +-%.0f %%", hz, ppm, testRateHz,
           100 * rateTolerance);
    return verdict(std::fabs(hz / testRateHz - 1) <= rateTolerance) ? 0 : 1;
}

}  // namespace

int runSelfTest(SensorLink &link)
{
    printf("Self-test of the ADXL345 at %.0f Hz, full resolution, at rest; limits for a 3.3 V supply:\n",
           testRateHz);
    fflush(stdout);
    static TestReading reading;
    reading = TestReading{};
    reading.link = &link;
    reading.window = ClockWindow{reading.observations, 2048, 0};
    AxisFigures off{};
    AxisFigures on{};
    AxisFigures after{};
    bool read = configureSensor(link, testRateCode, fifoModeStream, testWatermark) &&
                sensorHoldsConfiguration(link, testRateCode, fifoModeStream, testWatermark) &&
                readFifo(reading, off, settlingSamples, averagedSamples) && setSelfTestBit(link, true) &&
                readFifo(reading, on, settlingSamples, averagedSamples) && setSelfTestBit(link, false) &&
                readFifo(reading, after, settlingSamples, averagedSamples / 4);
    // The last read only lets the output settle and the clock run on; the
    // bit is clear for whatever comes next.
    releaseSensor(link);
    gpioTerminate();
    if (!read && stopSignal != 0) {
        printf("Self-test interrupted.\n");
        fflush(stdout);
        return 1;
    }
    if (!read) {
        printf("Error occurred!");
        fflush(stdout);
        return 1;
    }
    int failed = checkForce(off, on) + checkRest(off) + checkNoise(off) + checkRate(reading);
    const int checks = 3 + 4 + 3 + 1;
    if (failed > 0) {
        printf("Self-test failed: %d of %d checks.\n", failed, checks);
    } else {
        printf("Done\n");
    }
    fflush(stdout);
    return failed > 0 ? 1 : 0;
}
