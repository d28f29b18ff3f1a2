// File mode through the FIFO, against the emulated sensor on the virtual
// clock: the bus protocol, the rows against the signal the sensor sensed,
// and the ends of a capture that lost samples or was stopped.
#include <gtest/gtest.h>

#include <cmath>
#include <csignal>
#include <cstdio>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "pigpio_emulation.h"
#include "rate_fit.h"
#include "run_captured.h"

namespace {

constexpr double pi = 3.14159265358979323846;
constexpr double toneG = 0.5;
constexpr double toneHz = 437.0;
constexpr double startPhaseSec = 0.0001234;
// Row 0 lies 32 rows after sample 0, which arrives startPhaseSec after Measure.
constexpr double rowZeroSec = startPhaseSec + 32.0 / 3200;
// The sensor's noise (2 counts) and rounding, filtered: what a row may differ
// from the tone by.
constexpr double rowToleranceG = 0.03;

struct Rows {
    std::vector<double> t, x, z;
};

Rows parseRows(const std::string &content)
{
    Rows rows;
    std::istringstream stream(content);
    std::string line;
    std::getline(stream, line);
    double t, x, y, z;
    while (std::getline(stream, line) &&
           sscanf(line.c_str(), "%lf, %lf, %lf, %lf", &t, &x, &y, &z) == 4) {
        rows.t.push_back(t);
        rows.x.push_back(x);
        rows.z.push_back(z);
    }
    return rows;
}

// The largest difference of x from the tone at the time each row claims,
// over the rows from `from` seconds on.
double largestToneError(const Rows &rows, double from)
{
    double largest = 0;
    for (size_t i = 0; i < rows.t.size(); ++i) {
        if (rows.t[i] >= from) {
            double truth = toneG * std::sin(2 * pi * toneHz * (rowZeroSec + rows.t[i]));
            largest = std::max(largest, std::fabs(rows.x[i] - truth));
        }
    }
    return largest;
}

class FifoMode : public testing::Test {
protected:
    void SetUp() override
    {
        resetEmulatedSensor();
        std::remove(path.c_str());
    }
    void TearDown() override { std::remove(path.c_str()); }
    void useTone(double clockError)
    {
        resetEmulatedSensor();
        emulatedSetSampleClockError(clockError);
        emulatedSetStartPhase(startPhaseSec);
        emulatedSetTone(0, toneG, toneHz);
    }
    std::string path = "/tmp/shakelog-fifo-test-" + std::to_string(getpid()) + ".csv";
};

TEST_F(FifoMode, ConfiguresStreamModeThenPopsEachSampleInItsOwnTransfer)
{
    // Transfers with almost no overhead: the 5 us the FIFO needs after a pop
    // must come from the reader.
    emulatedSetTransferTiming(1e-6, false);
    CapturedRun run = runShakelogCaptured({"-F", "-t", "1", "-f", "3200", "-s", path});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out,
              "Reading 3200 samples in 1.0 seconds with sampling rate 3200.0 Hz...\n"
              "0.00 seconds left...\n"
              "Writing to the output file...\n"
              "Done\n");
    // The ID, then each register written and read back: data rate, stream
    // mode with its watermark, format, and measurement last (the program
    // sets the multi-byte bit on every transfer of more than one byte).
    const std::vector<std::vector<unsigned char>> setUp = {
        {0xC0, 0x00}, {0x6C, 0x0F}, {0xEC, 0x00}, {0x78, 0x90}, {0xF8, 0x00},
        {0x71, 0x0B}, {0xF1, 0x00}, {0x6D, 0x08}, {0xED, 0x00},
    };
    unsigned char bytes[8];
    for (size_t i = 0; i < setUp.size(); ++i) {
        int count = emulatedTransactionBytes(static_cast<long>(i), bytes, sizeof bytes);
        EXPECT_EQ(std::vector<unsigned char>(bytes, bytes + count), setUp[i]) << i;
    }
    // Then batches: FIFO_STATUS, and one 7-byte read of DATAX0 per sample,
    // at least 5 us after the one before.
    double previousEnd = -1;
    for (long i = static_cast<long>(setUp.size()); i < emulatedLogCapacity; ++i) {
        int count = emulatedTransactionBytes(i, bytes, sizeof bytes);
        double start = 0, end = 0;
        ASSERT_TRUE(emulatedTransactionTimes(i, &start, &end));
        if (count == 2) {
            EXPECT_EQ(bytes[0], 0xF9) << i;
            previousEnd = -1;
            continue;
        }
        ASSERT_EQ(count, 7) << i;
        EXPECT_EQ(bytes[0], 0xF2) << i;
        if (previousEnd >= 0) {
            EXPECT_GE(start - previousEnd, 5e-6 - 1e-9) << i;
        }
        previousEnd = end;
    }
    EXPECT_LE(emulatedTransactionCount(), 3200 * 1.15 + 200) << "about one transfer a sample";
}

TEST_F(FifoMode, RowsFollowTheSensorsOwnClockToTheirEnds)
{
    for (double clockError : {0.0, 0.03, -0.03}) {
        useTone(clockError);
        CapturedRun run = runShakelogCaptured({"-F", "-t", "2", "-f", "3200", "-s", path});
        EXPECT_EQ(run.status, 0) << clockError;
        Rows rows = parseRows(readFile(path));
        ASSERT_EQ(rows.t.size(), 6400u) << clockError;
        EXPECT_LT(largestToneError(rows, 0), rowToleranceG) << clockError;
        // Gravity to the first and the last row: the resampler saw real
        // samples beyond both.
        EXPECT_NEAR(rows.z.front(), 1.0, rowToleranceG) << clockError;
        EXPECT_NEAR(rows.z.back(), 1.0, rowToleranceG) << clockError;
    }
}

TEST_F(FifoMode, ACaptureCutShortOrWithAGapIsWrittenAndEndsWithStatus1)
{
    // About 1.1 transfers per sample: transfer 3600 comes about 1 s in.
    const long oneSecondIn = 3600;
    struct Case {
        const char *name;
        double stallSec;  // a stall after that transfer, or
        int signo;        // a signal
        const char *last;
    };
    const Case table[] = {
        {"20 ms stall", 0.020, 0, "are bridged linearly.\n"},
        {"SIGINT", 0, SIGINT, "Capture interrupted: "},
        {"SIGTERM", 0, SIGTERM, "Capture interrupted: "},
    };
    for (const Case &c : table) {
        useTone(0.0);
        if (c.signo != 0) {
            emulatedSignalTransfer(oneSecondIn, c.signo);
        } else {
            emulatedStallTransfer(oneSecondIn, c.stallSec);
        }
        CapturedRun run = runShakelogCaptured({"-F", "-t", "2", "-f", "3200", "-s", path});
        EXPECT_EQ(run.status, 1) << c.name;
        EXPECT_NE(run.out.find(c.last), std::string::npos) << c.name << ": " << run.out;
        EXPECT_EQ(run.out.find("Done"), std::string::npos) << c.name;
        Rows rows = parseRows(readFile(path));
        if (c.signo != 0) {
            EXPECT_GT(rows.t.size(), 3000u) << c.name;
            EXPECT_LT(rows.t.size(), 3400u) << c.name;
            EXPECT_NE(run.out.find(std::to_string(rows.t.size()) + " of 6400 rows written."),
                      std::string::npos)
                << c.name << ": " << run.out;
            continue;
        }
        // 64 samples arrive in 20 ms and 33 fit the FIFO and its output
        // registers, less what it held already (up to a batch of 8).
        long lost = 0;
        ASSERT_EQ(sscanf(run.out.c_str() + run.out.find("Lost "), "Lost %ld", &lost), 1);
        EXPECT_GE(lost, 64 - 33) << run.out;
        EXPECT_LE(lost, 64 - 33 + 8 + 1) << run.out;
        ASSERT_EQ(rows.t.size(), 6400u);
        // The samples after the gap keep their times.
        EXPECT_LT(largestToneError(rows, 1.1), rowToleranceG) << c.name;
    }
}

TEST(FifoRateFit, ReadsAtEveryPhaseGiveTheRateToAMillionth)
{
    // A sample clock 2.7 % fast, read every 8.38 samples: the newest sample
    // seen is the one that arrived in the period before the read.
    const double periodSec = 1 / (3200 * 1.027);
    RateFit fit{};
    EXPECT_EQ(fittedRateHz(fit, 3200), 3200) << "nominal until measured";
    for (int read = 0; read < 4000; ++read) {
        double seconds = 0.01 + read * 8.38 * periodSec;
        addObservation(fit, static_cast<int64_t>(std::floor(seconds / periodSec)), seconds);
    }
    EXPECT_NEAR(fittedRateHz(fit, 3200) * periodSec, 1.0, 1e-6);
}

}  // namespace
