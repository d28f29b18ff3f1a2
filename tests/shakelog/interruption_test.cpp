// SIGINT, SIGTERM and SIGHUP during a run, raised by the emulated library right
// after a chosen transfer on the virtual clock.  Transfer 1 is the device
// ID read; in file mode capture reading j is transfer j + 1, in console mode
// (after two warm-up reads) transfer j + 3.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "pigpio_emulation.h"
#include "capture_memory.h"
#include "lost_session_cases.h"
#include "run_captured.h"
#include "run_sequence.h"

namespace {

// Each emulated capture reading: library overhead plus 56 bits at 2 MHz.
inline constexpr double readingSec = emulatedDefaultOverheadSec + 56 / 2e6;

// The header and the first `rows` data lines of a file.
std::string headLines(const std::string &content, int rows)
{
    size_t end = 0;
    for (int line = 0; line <= rows && end != std::string::npos; ++line) {
        end = content.find('\n', end);
        end = end == std::string::npos ? end : end + 1;
    }
    return content.substr(0, end);
}

class Interruption : public testing::Test {
protected:
    void SetUp() override
    {
        resetEmulatedSensor();
        std::remove(path.c_str());
    }
    void TearDown() override { std::remove(path.c_str()); }
    std::string path = "/tmp/shakelog-interruption-test-" + std::to_string(getpid()) + ".csv";
};

TEST_F(Interruption, FileModeKeepsTheRowsUpToTheLastReading)
{
    CapturedRun whole = runShakelogCaptured({"-t", "2", "-f", "100", "-s", path});
    ASSERT_EQ(whole.status, 0);
    std::string complete = readFile(path);

    // Stopped after reading 23256, at 23256 x 43 us = 1.000008 s: grid times
    // 0.00 to 1.00 lie within, 101 rows, each as the whole capture has it,
    // since no later reading is nearer to them than that last one.
    const int lastReading = 23256;
    ASSERT_LT(1.0, lastReading * readingSec);
    ASSERT_LT(lastReading * readingSec, 1.01);
    for (int signo : {SIGINT, SIGTERM, SIGHUP}) {
        resetEmulatedSensor();
        emulatedSignalTransfer(lastReading + 1, signo);
        CapturedRun run = runShakelogCaptured({"-t", "2", "-f", "100", "-s", path});
        EXPECT_EQ(run.status, 1) << signo;
        EXPECT_EQ(run.out,
                  "Reading 200 samples in 2.0 seconds with sampling rate 100.0 Hz...\n"
                  "1.00 seconds left...\n"
                  "Writing to the output file...\n"
                  "Capture interrupted: 101 of 200 rows written.\n")
            << signo;
        EXPECT_EQ(readFile(path), headLines(complete, 101)) << signo;
        EXPECT_EQ(emulatedTransactionCount(), startTransactions + lastReading)
            << "no read after the signal";
        EXPECT_EQ(emulatedTerminateCount(), 1);
    }
}

TEST_F(Interruption, FileModeStoppedBeforeTheFirstReadingWritesTheHeader)
{
    emulatedSignalTransfer(1, SIGTERM);  // during the ID read
    CapturedRun run = runShakelogCaptured({"-t", "5", "-s", path});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out,
              "Reading 25 samples in 5.0 seconds with sampling rate 5.0 Hz...\n"
              "Writing to the output file...\n"
              "Capture interrupted: 0 of 25 rows written.\n");
    EXPECT_EQ(readFile(path), "time, x, y, z\n");
}

TEST_F(Interruption, ASecondSignalEndsTheProgramAtOnce)
{
    EXPECT_EXIT(
        {
            emulatedSignalTransfer(1000, SIGINT);
            emulatedSignalTransfer(1000, SIGTERM);
            runShakelogCaptured({"-t", "2", "-s", path});
        },
        testing::KilledBySignal(SIGTERM), "");
}

TEST_F(Interruption, ASignalIgnoredAtStartStaysIgnored)
{
    // SIGINT as for a background job of a non-interactive shell, SIGHUP as
    // under nohup.
    for (int signo : {SIGINT, SIGHUP}) {
        resetEmulatedSensor();
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        struct sigaction previous {};
        sigaction(signo, &ignore, &previous);
        emulatedSignalTransfer(1000, signo);
        CapturedRun run = runShakelogCaptured({"-t", "1", "-f", "10", "-s", path});
        sigaction(signo, &previous, nullptr);
        EXPECT_EQ(run.status, 0) << signo;
        EXPECT_EQ(run.out.substr(run.out.size() - 5), "Done\n") << signo;
    }
}

// Runs the program in a child whose standard output is a pipe nobody reads:
// the status, and the transactions and terminations the child saw.
struct ClosedPipeRun {
    int status;
    long transactions;
    int terminations;
};

ClosedPipeRun runIntoClosedPipe(const std::vector<std::string> &args)
{
    int report[2];
    EXPECT_EQ(pipe(report), 0);
    pid_t child = fork();
    if (child == 0) {
        int output[2];
        if (pipe(output) != 0) {
            _exit(99);
        }
        close(output[0]);
        dup2(output[1], STDOUT_FILENO);
        std::vector<std::string> words = {"shakelog"};
        words.insert(words.end(), args.begin(), args.end());
        std::vector<char *> argv;
        for (std::string &word : words) {
            argv.push_back(word.data());
        }
        argv.push_back(nullptr);
        useMemInfoFile(ampleMemInfo());
        int status = runShakelog(static_cast<int>(words.size()), argv.data());
        // What main() makes of output that never arrived.
        if (fflush(stdout) != 0 || ferror(stdout)) {
            status = 1;
        }
        long figures[2] = {emulatedTransactionCount(), emulatedTerminateCount()};
        ssize_t written = write(report[1], figures, sizeof figures);
        _exit(written == sizeof figures ? status : 98);
    }
    close(report[1]);
    long figures[2] = {-1, -1};
    EXPECT_EQ(read(report[0], figures, sizeof figures), static_cast<ssize_t>(sizeof figures));
    close(report[0]);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status)) << "not killed by SIGPIPE";
    return ClosedPipeRun{WEXITSTATUS(status), figures[0], static_cast<int>(figures[1])};
}

TEST_F(Interruption, AReaderThatWentAwayStopsTheStreamButNotTheCapture)
{
    // Console mode: the first reading's line cannot be written; nothing is
    // read after it, and the library is ended as after a complete run.
    ClosedPipeRun console = runIntoClosedPipe({"-t", "5", "-f", "10"});
    EXPECT_EQ(console.status, 1);
    EXPECT_EQ(console.transactions, startTransactions + 2 + 1)
        << "ID, configuration, warm-up, one reading";
    EXPECT_EQ(console.terminations, 1);
    // File mode, both acquisitions: the progress lines are lost, the file
    // is not.
    for (const char *fifo : {"", "-F"}) {
        std::vector<std::string> args = {"-t", "2", "-f", "100", "-s", path};
        if (fifo[0] != '\0') {
            args.insert(args.begin(), fifo);
        }
        ClosedPipeRun capture = runIntoClosedPipe(args);
        EXPECT_EQ(capture.status, 1) << fifo;
        std::string file = readFile(path);
        EXPECT_EQ(std::count(file.begin(), file.end(), '\n'), 201) << fifo;
    }
}

TEST_F(Interruption, ConsoleModeSummarisesTheReadingsAttempted)
{
    // During reading 7: the ID read, the warm-up, six readings, the ID check
    // a second in, and the seventh.
    emulatedSignalTransfer(3 + 7 + 1, SIGINT);
    CapturedRun run = runShakelogCaptured({"-t", "5", "-f", "5"});
    EXPECT_EQ(run.status, 1);
    size_t summary = run.out.find("7 samples read in ");
    ASSERT_NE(summary, std::string::npos) << run.out;
    int lines = 0;
    for (size_t i = 0; i < summary; ++i) {
        lines += run.out[i] == '\n';
    }
    EXPECT_EQ(lines, 7);
    double elapsed = 0, rate = 0;
    ASSERT_EQ(sscanf(run.out.c_str() + summary,
                     "7 samples read in %lf seconds with sampling rate %lf Hz\n", &elapsed, &rate),
              2);
    EXPECT_NEAR(rate, 7 / elapsed, 0.05);
    EXPECT_EQ(run.out.substr(run.out.find('\n', summary) + 1),
              "Stream interrupted after 7 of 25 readings.\n");
    EXPECT_EQ(emulatedTransactionCount(), startTransactions + 2 + 7 + 1)
        << "ID, configuration, warm-up, readings, the check a second in";
    EXPECT_EQ(emulatedTerminateCount(), 1);
}

TEST(InterruptionEndToEnd, ALostReaderOrSessionKeepsTheCapture)
{
    // The real binary on the real clock, its library handlers installed by
    // gpioInitialise: signals from outside must reach the program's own.
    expectLostSessionCases(SHAKELOG_BINARY);
}

}  // namespace
