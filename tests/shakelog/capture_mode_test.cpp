#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <sstream>
#include <sys/mman.h>
#include <sys/resource.h>
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
    EXPECT_EQ(emulatedTransactionCount(), 4) << "ID read and configuration only";
}

TEST_F(CaptureMode, AFailedReadAbortsWithoutAFile)
{
    for (int failure : {PI_SPI_XFER_FAILED, 6}) {
        resetEmulatedSensor();
        emulatedFailTransfer(2, failure);  // the first capture read, after the ID read
        CapturedRun run = runShakelogCaptured({"-t", "3", "-s", path});
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.out,
                  "Reading 15 samples in 3.0 seconds with sampling rate 5.0 Hz...\n"
                  "Error occurred!");
        EXPECT_EQ(run.unflushed, "");
        EXPECT_EQ(emulatedTerminateCount(), 1);
        EXPECT_EQ(access(path.c_str(), F_OK), -1);
    }
    // A failure late in the capture discards everything too.
    resetEmulatedSensor();
    emulatedFailTransfer(30000, PI_SPI_XFER_FAILED);
    CapturedRun run = runShakelogCaptured({"-t", "3", "-s", path});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out,
              "Reading 15 samples in 3.0 seconds with sampling rate 5.0 Hz...\n"
              "2.00 seconds left...\n"
              "Error occurred!");
    EXPECT_EQ(access(path.c_str(), F_OK), -1);
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

TEST_F(CaptureMode, NoReadingWithinTheDurationIsAFailureNotRowsOfZeros)
{
    emulatedStallTransfer(2, 1.5);  // the first capture read ends past the duration
    CapturedRun run = runShakelogCaptured({"-t", "1", "-s", path});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out,
              "Reading 5 samples in 1.0 seconds with sampling rate 5.0 Hz...\n"
              "0.00 seconds left...\n"
              "Error occurred!");
    EXPECT_EQ(access(path.c_str(), F_OK), -1);
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

TEST_F(CaptureMode, AFullDiskIsAFailureNotDone)
{
    CapturedRun run = runShakelogCaptured({"-t", "1", "-f", "3200", "-s", "/dev/full"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out,
              "Reading 3200 samples in 1.0 seconds with sampling rate 3200.0 Hz...\n"
              "0.00 seconds left...\n"
              "Writing to the output file...\n"
              "Failed to write the output file /dev/full: No space left on device\n");
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

TEST(CaptureMemory, ReservationsBeyondTheMachineCostNothingUntilWritten)
{
    // Four raw arrays of an 8000-second capture: 25.6 GB reserved.
    const size_t count = 800000000;
    if (count > SIZE_MAX / sizeof(double)) {
        // A 32-bit address space holds not even one of them: refused.
        EXPECT_EQ(reserveDoubles(count), nullptr);
        EXPECT_EQ(allocateDoubles(count), nullptr);
        return;
    }
    rusage before{};
    getrusage(RUSAGE_SELF, &before);
    double *arrays[4];
    for (double *&array : arrays) {
        array = reserveDoubles(count);
        ASSERT_NE(array, nullptr);
        array[0] = 1.0;
        array[count - 1] = 2.0;
    }
    rusage after{};
    getrusage(RUSAGE_SELF, &after);
    // qemu-user keeps a record of every guest page mapped (some 150 MB
    // here), which counts in the process's memory too.
    const long limitKb = testEmulator() == nullptr ? 64 * 1024 : 512 * 1024;
    EXPECT_LT(after.ru_maxrss - before.ru_maxrss, limitKb) << "kilobytes";
    for (double *array : arrays) {
        munmap(array, count * sizeof(double));
    }
    EXPECT_NE(reserveDoubles(0), nullptr);
    // A count whose size in bytes wraps (any long capture on a 32-bit Pi)
    // must be refused, not turned into a tiny mapping.
    EXPECT_EQ(reserveDoubles(SIZE_MAX / sizeof(double) + 2), nullptr);
    EXPECT_EQ(allocateDoubles(SIZE_MAX / sizeof(double) + 2), nullptr);
}

TEST(CaptureMemory, ALongCaptureIsNotRefusedForMemoryItNeverTouches)
{
    resetEmulatedSensor();
    emulatedFailTransfer(2, PI_SPI_XFER_FAILED);
    CapturedRun run = runShakelogCaptured({"-t", "8000", "-f", "3200", "-s", "/tmp/never-written.csv"});
    if (800000000 > SIZE_MAX / sizeof(double)) {
        // 6.4 GB for each raw array is more than a 32-bit address space.
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.out, "Not enough memory for a capture of 8000 seconds!\n");
        return;
    }
    EXPECT_EQ(run.out,
              "Reading 25600000 samples in 8000.0 seconds with sampling rate 3200.0 Hz...\n"
              "Error occurred!");
}

TEST(CaptureMemory, ARefusedReservationIsReportedNotACrash)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer needs more address space than the limit this test sets";
#endif
    // Where a 64 GB reservation fits the address space, only the limit
    // refuses it.
    if (testEmulator() != nullptr && sizeof(size_t) > 4) {
        GTEST_SKIP() << testEmulator() << " accepts RLIMIT_AS without applying it: the capture "
                     << "would start for real";
    }
    resetEmulatedSensor();
    rlimit saved{};
    getrlimit(RLIMIT_AS, &saved);
    rlimit tight = saved;
    // Room for the program, not for a 64 GB reservation (rlim_t may have 32
    // bits, where the address space is smaller than that anyway).
    tight.rlim_cur = static_cast<rlim_t>(std::min<unsigned long long>(8ull << 30, saved.rlim_cur));
    ASSERT_EQ(setrlimit(RLIMIT_AS, &tight), 0);
    CapturedRun run = runShakelogCaptured({"-t", "20000", "-s", "/tmp/never-written.csv"});
    setrlimit(RLIMIT_AS, &saved);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "Not enough memory for a capture of 20000 seconds!\n");
    EXPECT_EQ(emulatedTerminateCount(), 1);
}

}  // namespace
