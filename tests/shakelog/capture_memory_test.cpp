// The memory a capture needs, checked against stand-ins for /proc/meminfo
// before the sensor is touched, the raw record the loop can fill, and the
// disk space its file needs, checked on a small file system.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <pigpio.h>

#include "capture_memory.h"
#include "capture_mode.h"
#include "gpio_sandbox.h"
#include "pigpio_emulation.h"
#include "run_captured.h"

namespace {

std::string memInfo(long availableKb, long swapFreeKb)
{
    return "MemTotal:        1000000 kB\nMemFree:           10000 kB\nMemAvailable:   " +
           std::to_string(availableKb) +
           " kB\nSwapTotal:             0 kB\nSwapFree:       " + std::to_string(swapFreeKb) + " kB\n";
}

class CaptureMemoryCheck : public testing::Test {
protected:
    void SetUp() override
    {
        resetEmulatedSensor();
        std::remove(path.c_str());
    }
    void TearDown() override
    {
        std::remove(path.c_str());
        for (const std::string &file : standIns) {
            std::remove(file.c_str());
        }
    }
    std::string standIn(const std::string &content)
    {
        standIns.push_back(writeMemInfo(content));
        return standIns.back();
    }
    std::string path = "/tmp/shakelog-memory-test-" + std::to_string(getpid()) + ".csv";
    std::vector<std::string> standIns;
};

TEST(CaptureMemoryFigures, ReadingsAreBoundByTheBusAndByTheRawCapacity)
{
    EXPECT_EQ(rawReadingBytes, 14u);
    EXPECT_EQ(captureReadingCapacity(0, 0), 0);
    // 2,000,000 / 56 = 35,714.3 per second, rounded up, plus two.
    EXPECT_EQ(captureReadingCapacity(1, 100000), 35717);
    EXPECT_EQ(captureReadingCapacity(16, 1600000), 571431);
    EXPECT_EQ(captureReadingCapacity(21474, 2147400000), 766928574);
    EXPECT_EQ(captureReadingCapacity(1, 1000), 1000) << "never beyond rawCapacity";
    EXPECT_EQ(captureBytes(571431, 51200), 571431u * 14 + 51200u * 32);
}

TEST_F(CaptureMemoryCheck, ACaptureThatDoesNotFitIsRefusedBeforeTheSensorIsTouched)
{
    // 16 s at 3200 Hz need 9,638,434 bytes, 17 s 10,240,830: 10,000 kB
    // (10,240,000 bytes) hold 16 s but not 17.
    struct Case {
        long availableKb, swapFreeKb;
        std::string seconds, rate;
        int longest;  // -1: fits
        bool fifo = false;
    };
    // The FIFO capture streams its rows: no memory is too little for it.
    const Case table[] = {
        {0, 0, "86400", "3200", -1, true},
        {10000, 0, "17", "3200", 16},
        {9000, 1000, "17", "3200", 16},
        {10000, 0, "21474", "3200", 16},
        {0, 0, "1", "1", 0},
        {10000, 1, "17", "3200", -1},  // 10,241,024 bytes: exactly enough and a little
        {10000, 0, "16", "3200", -1},
        {0, 0, "0", "3200", -1},  // nothing to hold
    };
    for (const Case &c : table) {
        resetEmulatedSensor();
        emulatedFailTransfer(2, PI_SPI_XFER_FAILED);  // a capture that starts ends at once
        std::string file = standIn(memInfo(c.availableKb, c.swapFreeKb));
        std::vector<std::string> args = {"-t", c.seconds, "-f", c.rate, "-s", path};
        if (c.fifo) {
            args.insert(args.begin(), "-F");
        }
        CapturedRun run = runShakelogCaptured(args, file.c_str());
        std::string label = c.seconds + " s at " + c.rate + " Hz in " + std::to_string(c.availableKb) +
                            "+" + std::to_string(c.swapFreeKb) + " kB";
        if (c.longest < 0) {
            EXPECT_EQ(run.out.find("Reading "), 0u) << label << ": " << run.out;
            continue;
        }
        EXPECT_EQ(run.status, 1) << label;
        EXPECT_EQ(run.out, "Not enough memory for a capture of " + c.seconds +
                               " seconds!\nThe available memory holds a capture of at most " +
                               std::to_string(c.longest) + " seconds.\n")
            << label;
        EXPECT_EQ(emulatedTransactionCount(), 0) << label << ": the sensor is never started";
        EXPECT_EQ(emulatedTerminateCount(), 0) << label << ": nor the library";
        EXPECT_EQ(access(path.c_str(), F_OK), -1) << label;
    }
}

TEST(CaptureSpaceCheck, ACaptureWhoseFileCannotFitIsRefusedBeforeTheSensorIsTouched)
{
    // A 1 MiB file system: a file of 7 s at 3200 Hz is bound to at most
    // 1,030,414 bytes (46 a row), one of 8 s to 1,177,614.  An existing file
    // gives its space back; a pipe is never refused.
    sandbox_session session;
    std::string whyNot;
    if (!enter_sandbox(&session, &whyNot)) {
        GTEST_SKIP() << "no private mount namespace for a small file system: " << whyNot;
    }
    char pattern[] = "/tmp/shakelog-space-test.XXXXXX";
    std::string dir = mkdtemp(pattern) != nullptr ? pattern : "";
    bool mounted = !dir.empty() && mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=1m") == 0;
    struct Case {
        std::string seconds, file;
        long existingBytes;  // -1: none; -2: a named pipe
        int longest;         // -1: fits
    };
    const Case table[] = {
        {"8", "new.csv", -1, 7},     {"21474", "new.csv", -1, 7},  {"7", "new.csv", -1, -1},
        {"8", "old.csv", 200000, 7}, {"7", "old.csv", 900000, -1}, {"100", "pipe", -2, -1},
    };
    for (const Case &c : table) {
        if (!mounted) {
            break;
        }
        std::string path = dir + "/" + c.file;
        std::remove(path.c_str());
        if (c.existingBytes >= 0) {
            std::FILE *old = std::fopen(path.c_str(), "w");
            std::fputs(std::string(static_cast<size_t>(c.existingBytes), 'x').c_str(), old);
            std::fclose(old);
        } else if (c.existingBytes == -2) {
            mkfifo(path.c_str(), 0600);
        }
        resetEmulatedSensor();
        emulatedFailTransfer(2, PI_SPI_XFER_FAILED);  // a capture that starts ends at once
        CapturedRun run = runShakelogCaptured({"-t", c.seconds, "-f", "3200", "-s", path});
        std::string label = c.seconds + " s to " + c.file;
        if (c.longest < 0) {
            EXPECT_EQ(run.out.find("Reading "), 0u) << label << ": " << run.out;
            continue;
        }
        EXPECT_EQ(run.status, 1) << label;
        EXPECT_EQ(run.out, "Not enough disk space for a capture of " + c.seconds + " seconds to " +
                               path + "! The free space holds a capture of at most " +
                               std::to_string(c.longest) + " seconds.\n")
            << label;
        EXPECT_EQ(emulatedTransactionCount(), 0) << label << ": the sensor is never started";
        EXPECT_EQ(emulatedTerminateCount(), 0) << label << ": nor the library";
        EXPECT_EQ(access(path.c_str(), F_OK), c.existingBytes >= 0 ? 0 : -1) << label;
    }
    leave_sandbox(&session);  // the file system goes with the namespace
    if (!dir.empty()) {
        rmdir(dir.c_str());
    }
    EXPECT_TRUE(mounted) << "cannot mount a small file system";
}

TEST_F(CaptureMemoryCheck, AnUnreadableReportRefusesNothing)
{
    const std::string reports[] = {
        "/nonexistent/meminfo",
        standIn(
            "MemTotal:        1000 kB\nMemFree:           10 kB\n"),  // a kernel without MemAvailable
        standIn(""),
    };
    for (const std::string &report : reports) {
        resetEmulatedSensor();
        emulatedFailTransfer(2, PI_SPI_XFER_FAILED);
        CapturedRun run = runShakelogCaptured({"-t", "100", "-f", "3200", "-s", path}, report.c_str());
        EXPECT_EQ(run.out,
                  "Reading 320000 samples in 100.0 seconds with sampling rate 3200.0 Hz...\n"
                  "Error occurred!")
            << report;
    }
}

TEST(CaptureMemoryRecord, TheLoopNeverStoresPastTheCheckedReadings)
{
    // On the fastest bus the emulation has (wire time only) the end test
    // stops the loop inside the record; with transfers that take no time at
    // all the loop stops when the record is full, at the checked count.
    for (bool freeTransfers : {false, true}) {
        resetEmulatedSensor();
        emulatedSetTransferTiming(0.0, freeTransfers);
        RunSettings settings = defaultSettings();
        settings.durationSec = 1;
        settings.saveToFile = true;
        ASSERT_TRUE(deriveCounts(settings));
        CaptureRecord record{};
        useMemInfoFile(ampleMemInfo());
        ASSERT_TRUE(prepareCapture(settings, record));
        useMemInfoFile(memInfoPath);
        ASSERT_GE(gpioInitialise(), 0);
        SensorLink link{};
        openSensorLink(link);
        testing::internal::CaptureStdout();
        int deviceId = 0;
        EXPECT_EQ(captureReadings(settings, link, record, deviceId),
                  freeTransfers ? CaptureEnd::recordFull : CaptureEnd::complete);
        testing::internal::GetCapturedStdout();
        gpioTerminate();
        EXPECT_EQ(record.readingCapacity, 35717);
        EXPECT_EQ(emulatedTransactionCount(), freeTransfers ? 35717 : 35715);
        EXPECT_EQ(record.raw.rawCount, freeTransfers ? 35717 : 35714);
    }
}

TEST(CaptureMemoryRecord, AFullRecordEndsTheCaptureAsAnEarlyStopNotAsDone)
{
    // Readings that outrun the record (a bus faster than asked for) leave
    // rows beyond the last reading that nothing was read for.
    resetEmulatedSensor();
    emulatedSetTransferTiming(0.0, true);
    std::string path = "/tmp/shakelog-full-record-" + std::to_string(getpid()) + ".csv";
    CapturedRun run = runShakelogCaptured({"-t", "1", "-f", "100", "-s", path});
    std::string file = readFile(path);
    std::remove(path.c_str());
    EXPECT_EQ(run.status, 1);
    size_t rows = static_cast<size_t>(std::count(file.begin(), file.end(), '\n')) - 1;
    EXPECT_LT(rows, 100u);
    EXPECT_NE(run.out.find("Capture stopped early, its record is full: " + std::to_string(rows) +
                           " of 100 rows written.\n"),
              std::string::npos)
        << run.out;
    EXPECT_EQ(run.out.find("Done"), std::string::npos);
}

TEST(CaptureMemoryRecord, StorageBeyondTheAddressSpaceIsRefusedBeforeTheSensor)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer needs more address space than the limit this test sets";
#endif
    // 20000 s need 10 GB of raw record: more than a 32-bit process can
    // address, and on a 64-bit one more than the limit set here allows.
    rlimit saved{};
    getrlimit(RLIMIT_AS, &saved);
    const bool wideAddresses = sizeof(void *) > 4;
    if (wideAddresses) {
        const uint64_t limitBytes = 8ull << 30;
        const uint64_t probeBytes = 9ull << 30;
        rlimit tight = saved;
        tight.rlim_cur = static_cast<rlim_t>(limitBytes);
        ASSERT_EQ(setrlimit(RLIMIT_AS, &tight), 0);
        void *probe = mmap(nullptr, static_cast<size_t>(probeBytes), PROT_NONE,
                           MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (probe != MAP_FAILED) {
            munmap(probe, static_cast<size_t>(probeBytes));
            setrlimit(RLIMIT_AS, &saved);
            GTEST_SKIP() << "the address-space limit is not enforced here (as under qemu-user)";
        }
    }
    resetEmulatedSensor();
    CapturedRun run = runShakelogCaptured({"-t", "20000", "-s", "/tmp/never-written.csv"});
    if (wideAddresses) {
        setrlimit(RLIMIT_AS, &saved);
    }
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "Not enough memory for a capture of 20000 seconds!\n");
    EXPECT_EQ(emulatedTransactionCount(), 0);
    EXPECT_EQ(emulatedTerminateCount(), 0);
}

TEST(CaptureMemoryEndToEnd, TheProgramReadsProcMeminfo)
{
    // The real binary, with a stand-in bound over /proc/meminfo in a private
    // mount namespace of this test.
    sandbox_session session;
    std::string whyNot;
    if (!enter_sandbox(&session, &whyNot)) {
        GTEST_SKIP() << "no private mount namespace for a stand-in /proc/meminfo: " << whyNot;
    }
    std::string standIn = writeMemInfo(memInfo(10000, 0));
    std::string out = "/tmp/shakelog-meminfo-out-" + std::to_string(getpid());
    std::string csv = out + ".csv";
    std::string bound = bind_over(standIn, "/proc/meminfo");
    int status = -1;
    if (bound.empty()) {
        status = system(
            (std::string(SHAKELOG_BINARY) + " -t 17 -f 3200 -s " + csv + " >" + out + " 2>/dev/null")
                .c_str());
    }
    leave_sandbox(&session);  // the bind mount goes with the namespace
    std::string printed = readFile(out);
    std::remove(out.c_str());
    std::remove(standIn.c_str());
    ASSERT_EQ(bound, "");
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_EQ(printed,
              "Not enough memory for a capture of 17 seconds!\n"
              "The available memory holds a capture of at most 16 seconds.\n");
    EXPECT_EQ(access(csv.c_str(), F_OK), -1);
}

}  // namespace
