#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <sstream>
#include <sys/wait.h>

#include <pigpio.h>

#include "pigpio_emulation.h"
#include "run_captured.h"

namespace {

struct ConsoleLine {
    double t, x, y, z;
};

// Splits the output into reading lines and the rest; fails the test on a
// reading line that does not have the exact format.
std::vector<ConsoleLine> readingLines(const std::string &out, std::string &rest)
{
    std::vector<ConsoleLine> lines;
    std::istringstream stream(out);
    std::string line;
    rest.clear();
    while (std::getline(stream, line)) {
        ConsoleLine l{};
        int used = 0;
        if (sscanf(line.c_str(), "time = %lf, x = %lf, y = %lf, z = %lf%n", &l.t, &l.x, &l.y, &l.z,
                   &used) == 4) {
            char exact[128];
            snprintf(exact, sizeof exact, "time = %.3f, x = %.3f, y = %.3f, z = %.3f", l.t, l.x, l.y,
                     l.z);
            EXPECT_EQ(line, exact);
            lines.push_back(l);
        } else {
            rest += line + (stream.eof() ? "" : "\n");
        }
    }
    return lines;
}

class ConsoleMode : public testing::Test {
protected:
    void SetUp() override { resetEmulatedSensor(); }
};

TEST_F(ConsoleMode, DefaultsStream25PacedReadingsThenTheSummaryAndDone)
{
    CapturedRun run = runShakelogCaptured({});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.unflushed, "") << "every line must reach a pipe when printed";
    std::string rest;
    std::vector<ConsoleLine> lines = readingLines(run.out, rest);
    ASSERT_EQ(lines.size(), 25u);

    // Measured just after the first transfer, so it prints as 0.000.
    EXPECT_EQ(lines[0].t, 0.0);
    for (size_t i = 1; i < lines.size(); ++i) {
        EXPECT_NEAR(lines[i].t - lines[i - 1].t, 0.2, 0.0015);
    }
    for (const ConsoleLine &l : lines) {
        EXPECT_NEAR(l.z, 1.0, 0.05);  // gravity, so the sensor was configured and measuring
        EXPECT_NEAR(l.x, 0.0, 0.1);
        EXPECT_NEAR(l.y, 0.0, 0.1);
    }

    double elapsed = 0, rate = 0;
    ASSERT_EQ(sscanf(rest.c_str(), "25 samples read in %lf seconds with sampling rate %lf Hz\n",
                     &elapsed, &rate),
              2)
        << rest;
    EXPECT_NEAR(elapsed, 5.0, 0.01);
    EXPECT_NEAR(rate, 5.0, 0.05);
    EXPECT_EQ(rest.substr(rest.find('\n') + 1), "Done\n");
    EXPECT_EQ(emulatedTerminateCount(), 1);
}

TEST_F(ConsoleMode, FailedReadsAreCountedButTheStreamGoesOn)
{
    // Transfer 1 is the device ID read, 2 and 3 the warm-up reads.
    emulatedFailTransfer(2, PI_SPI_XFER_FAILED);
    CapturedRun run = runShakelogCaptured({"-t", "1", "-f", "10"});
    EXPECT_EQ(run.status, 1);
    std::string rest;
    EXPECT_EQ(readingLines(run.out, rest).size(), 10u);
    EXPECT_EQ(rest.find("10 samples read in "), 0u) << rest;
    EXPECT_EQ(rest.substr(rest.size() - 19), " Hz\nError occurred!");
    EXPECT_EQ(run.unflushed, "");

    resetEmulatedSensor();
    emulatedFailTransfer(6, 6);  // a short transfer on the third streamed reading
    run = runShakelogCaptured({"-t", "1", "-f", "10"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(readingLines(run.out, rest).size(), 9u);
    EXPECT_EQ(rest.find("10 samples read in "), 0u) << rest;
    EXPECT_EQ(rest.substr(rest.size() - 15), "Error occurred!");
}

TEST_F(ConsoleMode, PacingIsOpenLoopSoTheSummaryShowsTheRateAchieved)
{
    // Each reading costs its transfer and the sleep's wake-up on top of the
    // 1 ms period.
    CapturedRun run = runShakelogCaptured({"-t", "1", "-f", "1000"});
    EXPECT_EQ(run.status, 0);
    std::string rest;
    EXPECT_EQ(readingLines(run.out, rest).size(), 1000u);
    double elapsed = 0, rate = 0;
    ASSERT_EQ(sscanf(rest.c_str(), "1000 samples read in %lf seconds with sampling rate %lf Hz\n",
                     &elapsed, &rate),
              2);
    EXPECT_NEAR(elapsed, 1.12, 0.01);
    EXPECT_NEAR(rate, 890.5, 1.0);
}

TEST(ConsoleOutput, AWriteErrorOnStandardOutputIsAFailure)
{
    // The real program: its summary and "Done" go to a full disk.
    int status = system(SHAKELOG_BINARY " -t 0 > /dev/full 2>/dev/null");
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    status = system(SHAKELOG_BINARY " -t 0 > /dev/null 2>/dev/null");
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(ConsoleMode, ZeroDurationReadsOnlyTheWarmUpSamples)
{
    CapturedRun run = runShakelogCaptured({"-t", "0"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "0 samples read in 0.00 seconds with sampling rate 0.0 Hz\nDone\n");
}

TEST_F(ConsoleMode, FailedGpioInitialisationStopsBeforeTheBus)
{
    emulatedFailInitialise(PI_INIT_FAILED);
    CapturedRun run = runShakelogCaptured({});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "Failed to initialize GPIO!");
    EXPECT_EQ(emulatedTransactionCount(), 0);
}

TEST_F(ConsoleMode, MissingSensorIsAnErrorNotAStreamOfZeros)
{
    emulatedDetachSensor();
    CapturedRun run = runShakelogCaptured({});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "Accelerometer not found: device ID 0x00, expected 0xE5!\n");
    EXPECT_EQ(emulatedTransactionCount(), 1) << "nothing is configured or read after the ID";
    EXPECT_EQ(emulatedTerminateCount(), 1);
}

}  // namespace
