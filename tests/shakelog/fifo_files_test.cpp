// What a capture through the FIFO leaves on disk: rows that are there while
// it runs and after a kill, parts that join into the unsplit file, and the
// record that says when, what is missing and how it ended.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <nlohmann/json.hpp>

#include "pigpio_emulation.h"
#include "run_captured.h"

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
    // The real program on the real clock, killed at moments in the run.
    const double rate = 200;
    for (double killAt : {3.1, 4.3, 5.7}) {
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
        EXPECT_GE(static_cast<double>(rows.size()), rowsDue - 2 * rate) << killAt;
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

}  // namespace
