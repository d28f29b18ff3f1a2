#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <sstream>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <pigpio.h>

#include "capture_memory.h"
#include "pigpio_emulation.h"
#include "run_captured.h"
#include "test_emulator.h"

namespace {

struct CsvRow {
    double t, x, y, z;
};

// Parses the data lines, checking the exact format of every line.
std::vector<CsvRow> csvRows(const std::string &content)
{
    std::vector<CsvRow> rows;
    std::istringstream stream(content);
    std::string line;
    std::getline(stream, line);
    EXPECT_EQ(line, "time, x, y, z");
    while (std::getline(stream, line)) {
        CsvRow r{};
        EXPECT_EQ(sscanf(line.c_str(), "%lf, %lf, %lf, %lf", &r.t, &r.x, &r.y, &r.z), 4) << line;
        char exact[160];
        snprintf(exact, sizeof exact, "%.5f, %.5f, %.5f, %.5f ", r.t, r.x, r.y, r.z);
        EXPECT_EQ(line, exact);
        rows.push_back(r);
    }
    return rows;
}

class CaptureMode : public testing::Test {
protected:
    void SetUp() override
    {
        resetEmulatedSensor();
        std::remove(path.c_str());
    }
    void TearDown() override { std::remove(path.c_str()); }
    std::string path = "/tmp/shakelog-capture-test-" + std::to_string(getpid()) + ".csv";
};

TEST_F(CaptureMode, CapturesResamplesAndWritesOneRowPerGridPoint)
{
    CapturedRun run = runShakelogCaptured({"-t", "2", "-f", "100", "-s", path});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out,
              "Reading 200 samples in 2.0 seconds with sampling rate 100.0 Hz...\n"
              "1.00 seconds left...\n"
              "0.00 seconds left...\n"
              "Writing to the output file...\n"
              "Done\n");
    EXPECT_EQ(run.unflushed, "");
    EXPECT_EQ(emulatedTerminateCount(), 1);

    std::vector<CsvRow> rows = csvRows(readFile(path));
    ASSERT_EQ(rows.size(), 200u);
    for (size_t k = 0; k < rows.size(); ++k) {
        EXPECT_NEAR(rows[k].t, k * 0.01, 1e-9);
        EXPECT_NEAR(rows[k].z, 1.0, 0.05) << k;  // row 0 too: the sensor had its first sample
    }
}

TEST_F(CaptureMode, ZeroDurationWritesTheHeaderOnly)
{
    CapturedRun run = runShakelogCaptured({"-t", "0", "-s", path});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out,
              "Reading 0 samples in 0.0 seconds with sampling rate 5.0 Hz...\n"
              "Writing to the output file...\n"
              "Done\n");
    EXPECT_EQ(readFile(path), "time, x, y, z\n");
    EXPECT_EQ(emulatedTransactionCount(), startTransactions) << "ID read and configuration only";
}

TEST_F(CaptureMode, AFailedReadAbortsWithoutAFile)
{
    // A read that fails early or late, and a first read that ends past the
    // duration (no reading within it: rows of zeros would be made up), all
    // end in "Error occurred!" with no file.
    struct Case {
        const char *what;
        long transfer;  // the transfer that fails or stalls (1 is the ID read)
        int failure;    // 0: a stall of stallSec instead
        double stallSec;
        const char *seconds;
        const char *printed;
    };
    const Case table[] = {
        {"the first read fails", 2, PI_SPI_XFER_FAILED, 0, "3",
         "Reading 15 samples in 3.0 seconds with sampling rate 5.0 Hz...\n"
         "Error occurred!"},
        {"the first read comes short", 2, 6, 0, "3",
         "Reading 15 samples in 3.0 seconds with sampling rate 5.0 Hz...\n"
         "Error occurred!"},
        {"a late read fails", 30000, PI_SPI_XFER_FAILED, 0, "3",
         "Reading 15 samples in 3.0 seconds with sampling rate 5.0 Hz...\n"
         "2.00 seconds left...\n"
         "Error occurred!"},
        {"the first read ends past the duration", 2, 0, 1.5, "1",
         "Reading 5 samples in 1.0 seconds with sampling rate 5.0 Hz...\n"
         "0.00 seconds left...\n"
         "Error occurred!"},
    };
    for (const Case &c : table) {
        resetEmulatedSensor();
        if (c.failure != 0) {
            emulatedFailTransfer(c.transfer, c.failure);
        } else {
            emulatedStallTransfer(c.transfer, c.stallSec);
        }
        CapturedRun run = runShakelogCaptured({"-t", c.seconds, "-s", path});
        EXPECT_EQ(run.status, 1) << c.what;
        EXPECT_EQ(run.out, c.printed) << c.what;
        EXPECT_EQ(run.unflushed, "") << c.what;
        EXPECT_EQ(emulatedTerminateCount(), 1) << c.what;
        EXPECT_EQ(access(path.c_str(), F_OK), -1) << c.what;
    }
}

TEST_F(CaptureMode, TheReadingThatCrossesTheDurationIsNotKept)
{
    // Reading 1 is stalled to just past the end; if it were kept it would be
    // nearest to the last row (grid time 1.5 s), which must show reading 0.
    emulatedStallTransfer(3, 2.0);
    CapturedRun run = runShakelogCaptured({"-t", "2", "-f", "2", "-s", path});
    EXPECT_EQ(run.status, 0) << run.out;
    std::vector<CsvRow> rows = csvRows(readFile(path));
    ASSERT_EQ(rows.size(), 4u);
    for (const CsvRow &row : rows) {
        EXPECT_EQ(row.x, rows[0].x);
        EXPECT_EQ(row.y, rows[0].y);
        EXPECT_EQ(row.z, rows[0].z);
    }
}

TEST_F(CaptureMode, ProgressCatchesUpOneLinePerReadingAfterAStall)
{
    emulatedStallTransfer(100, 2.5);
    CapturedRun run = runShakelogCaptured({"-t", "4", "-s", path});
    EXPECT_EQ(run.status, 0);
    std::istringstream stream(run.out);
    std::string line;
    std::vector<double> left;
    while (std::getline(stream, line)) {
        double value;
        if (sscanf(line.c_str(), "%lf seconds left...", &value) == 1) {
            left.push_back(value);
        }
    }
    ASSERT_EQ(left.size(), 4u) << run.out;
    EXPECT_EQ(left[0], 1.50);  // two lines owed after the stall, on consecutive readings
    EXPECT_EQ(left[1], 1.50);
    EXPECT_EQ(left[2], 1.00);
    EXPECT_EQ(left[3], 0.00);
}

TEST_F(CaptureMode, ClockSteppedBackwardsStillGivesOneRowPerGridPoint)
{
    emulatedStepClock(20000, -0.7);
    emulatedStepClock(40000, 0.3);
    CapturedRun run = runShakelogCaptured({"-t", "3", "-f", "50", "-s", path});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(csvRows(readFile(path)).size(), 150u);
}

TEST_F(CaptureMode, UnwritableDestinationsAreRefusedBeforeTheCaptureWherePossible)
{
    const std::vector<std::pair<std::string, std::string>> refused = {
        {"/nonexistent-dir/x.csv", "No such file or directory"},
        {"/tmp", "Is a directory"},
        {"/etc/hostname/x.csv", "Not a directory"},
    };
    for (const auto &[destination, reason] : refused) {
        CapturedRun run = runShakelogCaptured({"-t", "1", "-s", destination});
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.out, "Cannot write the output file " + destination + ": " + reason + "\n");
        EXPECT_EQ(emulatedTransactionCount(), 0) << "the sensor is never started";
    }
}

TEST_F(CaptureMode, AFullDiskIsAFailureNotDoneAndKeepsTheCompleteRows)
{
    // A full device, and a file size limit standing in for a card that
    // fills up once the capture has passed the space check.
    const std::string begun =
        "Reading 3200 samples in 1.0 seconds with sampling rate 3200.0 Hz...\n"
        "0.00 seconds left...\n"
        "Writing to the output file...\n";
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    for (bool limited : {false, true}) {
        resetEmulatedSensor();
        std::string destination = limited ? path : "/dev/full";
        rlimit limit = saved;
        limit.rlim_cur = 20000;  // what the program prints takes far less
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, limited ? &limit : &saved), 0);
        CapturedRun run = runShakelogCaptured({"-t", "1", "-f", "3200", "-s", destination});
        setrlimit(RLIMIT_FSIZE, &saved);
        EXPECT_EQ(run.status, 1);
        if (!limited) {
            EXPECT_EQ(run.out, begun +
                                   "Failed to write the output file /dev/full: "
                                   "No space left on device\n");
            continue;
        }
        std::vector<CsvRow> rows = csvRows(readFile(path));
        EXPECT_GT(rows.size(), 400u);
        EXPECT_EQ(run.out, begun + "Failed to write the output file " + path + ": File too large\n" +
                               path + " keeps its first " + std::to_string(rows.size()) + " rows.\n");
    }
    std::signal(SIGXFSZ, previousHandler);
}

TEST(CaptureToStandardOutput, DataFollowsTheMessagesThroughAPipe)
{
    // The real program, through a real pipe: -t 0 reads nothing, so it
    // takes no time on the real clock.
    FILE *pipe = popen(SHAKELOG_BINARY " -t 0 -s /dev/stdout 2>/dev/null", "r");
    ASSERT_NE(pipe, nullptr);
    std::string out;
    char chunk[256];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, pipe)) > 0) {
        out.append(chunk, n);
    }
    EXPECT_EQ(pclose(pipe), 0);
    EXPECT_EQ(out,
              "Reading 0 samples in 0.0 seconds with sampling rate 5.0 Hz...\n"
              "Writing to the output file...\n"
              "time, x, y, z\n"
              "Done\n");
}

TEST(CaptureToStandardOutput, ClosedStandardDescriptorsAreNotTakenByTheSaveFile)
{
    // Started with standard output closed, the save file must not become
    // standard output: it is written, and the lost messages are reported.
    std::string path = "/tmp/shakelog-closed-test-" + std::to_string(getpid()) + ".csv";
    std::string errors = path + ".err";
    const std::string redirections[] = {">&- 2>" + errors, "<&- >&- 2>&-"};
    for (const std::string &redirection : redirections) {
        FILE *old = fopen(path.c_str(), "w");
        ASSERT_NE(old, nullptr);
        fputs("old capture\n", old);
        fclose(old);
        int status = system((SHAKELOG_BINARY " -t 0 -s " + path + " " + redirection).c_str());
        ASSERT_TRUE(WIFEXITED(status)) << redirection;
        EXPECT_EQ(WEXITSTATUS(status), 1) << redirection;
        EXPECT_EQ(readFile(path), "time, x, y, z\n") << redirection;
    }
    EXPECT_NE(readFile(errors).find("shakelog: write error on standard output\n"), std::string::npos);
    std::remove(path.c_str());
    std::remove(errors.c_str());
}

TEST(CaptureMemory, ReservationsCostNothingUntilWritten)
{
    // The raw record of a 2000-second capture: 1 GB reserved, which a
    // 32-bit process can address too.
    const size_t count = static_cast<size_t>(captureReadingCapacity(2000, 2000 * freqMaxSPI));
    rusage before{};
    getrusage(RUSAGE_SELF, &before);
    double *times = reserveDoubles(count);
    ASSERT_NE(times, nullptr);
    times[0] = 1.0;
    times[count - 1] = 2.0;
    int16_t *counts[3];
    for (int16_t *&axis : counts) {
        axis = reserveCounts(count);
        ASSERT_NE(axis, nullptr);
        axis[0] = 1;
        axis[count - 1] = 2;
    }
    rusage after{};
    getrusage(RUSAGE_SELF, &after);
    // qemu-user keeps a record of every guest page mapped, which counts in
    // the process's memory too.
    const long limitKb = testEmulator() == nullptr ? 64 * 1024 : 512 * 1024;
    EXPECT_LT(after.ru_maxrss - before.ru_maxrss, limitKb) << "kilobytes";
    munmap(times, count * sizeof(double));
    for (int16_t *axis : counts) {
        munmap(axis, count * sizeof(int16_t));
    }
    EXPECT_NE(reserveDoubles(0), nullptr);
    // A count whose size in bytes wraps (any long capture on a 32-bit Pi)
    // must be refused, not turned into a tiny mapping.
    EXPECT_EQ(reserveDoubles(SIZE_MAX / sizeof(double) + 2), nullptr);
    EXPECT_EQ(reserveCounts(SIZE_MAX / sizeof(int16_t) + 2), nullptr);
    EXPECT_EQ(allocateDoubles(SIZE_MAX / sizeof(double) + 2), nullptr);
}

TEST(CaptureMemory, ALongCaptureThatFitsIsNotRefusedForMemoryItNeverTouches)
{
    // 602 MB for raw record and rows, within what the stand-in reports (and
    // within what a 32-bit process can address).
    resetEmulatedSensor();
    emulatedFailTransfer(2, PI_SPI_XFER_FAILED);
    CapturedRun run = runShakelogCaptured({"-t", "1000", "-f", "3200", "-s", "/tmp/never-written.csv"});
    EXPECT_EQ(run.out,
              "Reading 3200000 samples in 1000.0 seconds with sampling rate 3200.0 Hz...\n"
              "Error occurred!");
}

}  // namespace
