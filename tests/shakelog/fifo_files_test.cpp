// What a capture through the FIFO leaves on disk: rows that are there while
// it runs and after a kill, parts that join into the unsplit file, and the
// record that says when, what is missing and how it ended.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <sys/mount.h>
#include <fcntl.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <nlohmann/json.hpp>

#include "gpio_sandbox.h"
#include "pigpio_emulation.h"
#include "run_captured.h"
#include "test_emulator.h"

namespace {

// The data lines of a CSV file, and whether its last line ends.
std::vector<std::string> dataLines(const std::string &content, bool *lastComplete = nullptr)
{
    std::vector<std::string> lines;
    size_t start = content.find('\n');
    start = start == std::string::npos ? content.size() : start + 1;
    while (start < content.size()) {
        size_t end = content.find('\n', start);
        if (end == std::string::npos) {
            break;
        }
        lines.push_back(content.substr(start, end - start));
        start = end + 1;
    }
    if (lastComplete != nullptr) {
        *lastComplete = start == content.size();
    }
    return lines;
}

// Where the card is filled from: what the handler of SIGUSR1 writes into.
char fillerPath[128];

// Fills the file system the capture writes to, as another program would:
// write(2) alone, safe in a signal handler.
extern "C" void fillTheCard(int)
{
    int fd = open(fillerPath, O_WRONLY | O_CREAT, 0600);
    static char block[65536];
    while (fd >= 0 && write(fd, block, sizeof block) > 0) {
    }
    if (fd >= 0) {
        close(fd);
    }
}

double unixNow()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<double>(now.tv_sec) + now.tv_nsec * 1e-9;
}

class FifoFiles : public testing::Test {
protected:
    void SetUp() override { resetEmulatedSensor(); }
    void TearDown() override
    {
        for (const std::string &name : {path, path + ".json", part(1), part(2), part(3)}) {
            std::remove(name.c_str());
        }
    }
    std::string part(int n)
    {
        char name[64];
        snprintf(name, sizeof name, "-%04d.csv", n);
        return stem + name;
    }
    std::string stem = "/tmp/shakelog-files-test-" + std::to_string(getpid());
    std::string path = stem + ".csv";
};

TEST_F(FifoFiles, RowsAreInTheFileWhileTheCaptureRunsAndAKillKeepsThem)
{
    // The real program on the real clock, killed at moments in the run;
    // through an emulator of another processor it starts and runs slower.
    const double rate = 200;
    const double slowerSec = testEmulator() != nullptr ? 3 : 0;
    for (double killAt : {3.1 + slowerSec, 4.3 + slowerSec, 5.7 + slowerSec}) {
        pid_t child = fork();
        if (child == 0) {
            int null = open("/dev/null", O_WRONLY);
            dup2(null, STDOUT_FILENO);
            dup2(null, STDERR_FILENO);
            execl(SHAKELOG_BINARY, SHAKELOG_BINARY, "-F", "-t", "30", "-f", "200", "-s", path.c_str(),
                  static_cast<char *>(nullptr));
            _exit(127);
        }
        std::this_thread::sleep_for(std::chrono::duration<double>(killAt - 0.8));
        size_t rowsBefore = dataLines(readFile(path)).size();
        std::this_thread::sleep_for(std::chrono::duration<double>(0.8));
        double killedUnix = unixNow();
        kill(child, SIGKILL);
        int status = 0;
        waitpid(child, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status)) << killAt;
        bool lastComplete = false;
        std::vector<std::string> rows = dataLines(readFile(path), &lastComplete);
        EXPECT_GT(rows.size(), rowsBefore) << killAt << ": rows came in the last 0.8 s";
        EXPECT_GT(rowsBefore, 0u) << killAt << ": rows were there before the kill";
        for (size_t r = 0; r < rows.size(); ++r) {
            double t = -1, x, y, z;
            ASSERT_EQ(sscanf(rows[r].c_str(), "%lf, %lf, %lf, %lf", &t, &x, &y, &z), 4)
                << killAt << ": " << r;
            ASSERT_NEAR(t, r / rate, 1e-9) << killAt;
        }
        // The record, made at the start, says when row 0 was: every row up to
        // two seconds before the kill is in the file.
        nlohmann::json record = nlohmann::json::parse(readFile(path + ".json"), nullptr, false);
        ASSERT_FALSE(record.is_discarded()) << killAt;
        EXPECT_EQ(record["end"]["state"], "running");
        double rowsDue = (killedUnix - record["row0"]["unix_s"].get<double>()) * rate;
        EXPECT_GE(static_cast<double>(rows.size()), rowsDue - (2 + slowerSec) * rate) << killAt;
        EXPECT_LE(static_cast<double>(rows.size()), rowsDue) << killAt;
    }
}

TEST_F(FifoFiles, SplitPartsJoinIntoTheUnsplitFileAndTheRecordNamesThem)
{
    emulatedSetTone(0, 0.5, 37);
    CapturedRun whole = runShakelogCaptured({"-F", "-t", "3", "-f", "100", "-s", path});
    ASSERT_EQ(whole.status, 0) << whole.out;
    std::vector<std::string> unsplit = dataLines(readFile(path));
    ASSERT_EQ(unsplit.size(), 300u);
    std::remove(path.c_str());

    resetEmulatedSensor();
    emulatedSetTone(0, 0.5, 37);
    CapturedRun split = runShakelogCaptured({"-F", "-t", "3", "-f", "100", "-s", path, "--split", "1"});
    ASSERT_EQ(split.status, 0) << split.out;
    EXPECT_NE(access(path.c_str(), F_OK), 0) << "the parts alone are made";
    std::vector<std::string> joined;
    for (int n = 1; n <= 3; ++n) {
        std::string content = readFile(part(n));
        EXPECT_EQ(content.compare(0, 14, "time, x, y, z\n"), 0) << n;
        std::vector<std::string> rows = dataLines(content);
        EXPECT_EQ(rows.size(), 100u) << n;
        joined.insert(joined.end(), rows.begin(), rows.end());
    }
    EXPECT_EQ(joined, unsplit);
    nlohmann::json record = nlohmann::json::parse(readFile(path + ".json"));
    ASSERT_EQ(record["parts"].size(), 3u);
    EXPECT_EQ(record["parts"][1]["file"], part(2).substr(part(2).rfind('/') + 1));
    EXPECT_EQ(record["parts"][2]["first_row"], 200);
    EXPECT_EQ(record["parts"][2]["first_time_s"], 2.0);
    EXPECT_EQ(record["rows_written"], 300);
    EXPECT_EQ(record["options"]["split_s"], 1);
    EXPECT_LE(readFile(path + ".json").size(), 65536u)
        << "replaced at every part, it keeps its first room";
}

TEST_F(FifoFiles, TheRecordNamesEveryGapAndHowTheCaptureEnded)
{
    struct Case {
        const char *name;
        double stallSec;  // after the 2000th pop, or
        int signo;        // a signal at that transfer
        const char *state;
        const char *signal;
    };
    const Case table[] = {
        {"done", 0, 0, "done", nullptr},
        {"a 30 ms stall", 0.03, 0, "lost samples", nullptr},
        {"SIGTERM", 0, SIGTERM, "interrupted", "SIGTERM"},
    };
    for (const Case &c : table) {
        resetEmulatedSensor();
        if (c.stallSec > 0) {
            emulatedStallRead(0x30, 2000, c.stallSec);
        } else if (c.signo != 0) {
            emulatedSignalTransfer(2000, c.signo);
        }
        CapturedRun run = runShakelogCaptured({"-F", "-t", "2", "-f", "3200", "-s", path});
        nlohmann::json record = nlohmann::json::parse(readFile(path + ".json"));
        const nlohmann::json &end = record["end"];
        EXPECT_EQ(end["state"], c.state) << c.name;
        EXPECT_EQ(end["exit_status"], run.status) << c.name;
        EXPECT_EQ(end["signal"].is_null(), c.signal == nullptr) << c.name;
        if (c.signal != nullptr) {
            EXPECT_EQ(end["signal"], c.signal) << c.name;
        }
        EXPECT_NE(run.out.find(end["message"].get<std::string>() + "\n"), std::string::npos)
            << c.name << ": the message is the last line: " << run.out;
        EXPECT_EQ(record["rows_written"], dataLines(readFile(path)).size()) << c.name;
        EXPECT_EQ(record["gaps"].size(), c.stallSec > 0 ? 1u : 0u) << c.name;
        if (c.stallSec > 0) {
            const nlohmann::json &gap = record["gaps"][0];
            EXPECT_EQ(gap["samples_lost"], emulatedFifoDropped()) << c.name;
            EXPECT_TRUE(gap["exact"].get<bool>()) << c.name;
            EXPECT_LE(gap["first_row"].get<int>(), gap["last_row"].get<int>()) << c.name;
            EXPECT_NEAR(gap["last_time_s"].get<double>() - gap["first_time_s"].get<double>(),
                        (emulatedFifoDropped() + 1) / 3200.0, 1e-5)
                << c.name;
        }
        EXPECT_EQ(record["sensor"]["data_rate_code"], 15) << c.name;
        EXPECT_EQ(record["sensor_rate"].size(), 1u) << c.name << ": one a minute";
    }
}

TEST_F(FifoFiles, ACardThatFillsUpStopsTheCaptureWithTheRowsKeptAndTheRecordSaysSo)
{
    sandbox_session session;
    std::string whyNot;
    if (!enter_sandbox(&session, &whyNot)) {
        GTEST_SKIP() << "no private mount namespace for a small file system: " << whyNot;
    }
    char pattern[] = "/tmp/shakelog-full-card.XXXXXX";
    std::string dir = mkdtemp(pattern) != nullptr ? pattern : "";
    bool mounted = !dir.empty() && mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=1m") == 0;
    if (mounted) {
        std::string csv = dir + "/run.csv";
        snprintf(fillerPath, sizeof fillerPath, "%s/filler", dir.c_str());
        struct sigaction fill {};
        fill.sa_handler = fillTheCard;
        struct sigaction previous {};
        sigaction(SIGUSR1, &fill, &previous);
        // On the real clock, so that the rows are where they would be when
        // the card fills, some 4 s in.
        emulatedReset();
        emulatedSetQuiet(true);
        emulatedSetTone(0, 0.5, 37);
        emulatedSignalTransfer(3000, SIGUSR1);
        CapturedRun run = runShakelogCaptured({"-F", "-t", "8", "-f", "200", "-s", csv});
        sigaction(SIGUSR1, &previous, nullptr);
        EXPECT_EQ(run.status, 1);
        EXPECT_NE(run.out.find("Failed to write the output file " + csv + ": No space left on device\n"),
                  std::string::npos)
            << run.out;
        std::vector<std::string> rows = dataLines(readFile(csv));
        EXPECT_GT(rows.size(), 100u);
        EXPECT_NE(run.out.find(csv + " keeps its first " + std::to_string(rows.size()) + " rows.\n"),
                  std::string::npos)
            << run.out;
        nlohmann::json record = nlohmann::json::parse(readFile(csv + ".json"), nullptr, false);
        ASSERT_FALSE(record.is_discarded());
        EXPECT_EQ(record["end"]["state"], "write error");
        EXPECT_EQ(record["end"]["exit_status"], 1);
        EXPECT_EQ(record["rows_written"], rows.size());
    }
    leave_sandbox(&session);  // the file system goes with the namespace
    if (!dir.empty()) {
        rmdir(dir.c_str());
    }
    EXPECT_TRUE(mounted) << "cannot mount a small file system";
}

}  // namespace
