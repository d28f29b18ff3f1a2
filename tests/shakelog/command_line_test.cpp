#include <gtest/gtest.h>

#include "command_line.h"
#include "pigpio_emulation.h"
#include "run_captured.h"
#include "version.h"

namespace {

const std::string usageText =
    std::string("shakelog (version ") + codeVersion +
    ") \n"
    "<https://shakelog.example.org/>\n"
    "\n"
    "Usage: shakelog [OPTION]... \n"
    "Read data from ADXL345 accelerometer through SPI interface on Raspberry Pi.\n"
    "Online help, docs & bug reports: <https://shakelog.example.org/issues>\n"
    "\n"
    "Mandatory arguments to long options are mandatory for short options too.\n"
    "  -s, --save FILE     save data to specified FILE (data printed to command-line\n"
    "                      output, if not specified)\n"
    "  -t, --time TIME     set the duration of data stream to TIME seconds\n"
    "                      (default: 5 seconds) [integer]\n"
    "  -f, --freq FREQ     set the sampling rate of data stream to FREQ samples per\n"
    "                      second, 1 <= FREQ <= 3200 (default: 5 Hz) [integer]\n"
    "  -F, --fifo          with -s: read the sensor's FIFO on the sensor's own clock\n"
    "                      and stream the rows to FILE as the capture runs\n"
    "      --split SECONDS with -F: start a new file every SECONDS of rows, FILE's\n"
    "                      name numbered before its extension (run-0001.csv, ...)\n"
    "      --self-test     test the sensor (self-test force, offsets, noise and data\n"
    "                      rate) and exit: 0 if every check passes\n"
    "\n"
    "Data is streamed in comma separated format, e. g.:\n"
    "  time,     x,     y,     z\n"
    "   0.0,  10.0,   0.0, -10.0\n"
    "   1.0,   5.0,  -5.0,  10.0\n"
    "   ...,   ...,   ...,   ...\n"
    "  time shows seconds elapsed since the first reading;\n"
    "  x, y and z show acceleration along x, y and z axis in fractions of <g>.\n"
    "\n"
    "Exit status:\n"
    "  0  if OK\n"
    "  1  if error occurred during data reading or wrong cmdline arguments.\n";

const std::string wrongRate = "Wrong sampling rate specified!\n\n";

// Parses and derives the counts as the program does; false if refused.
// The settings' save path points into the words, so it is copied out.
bool parse(std::vector<std::string> args, RunSettings &settings, std::string *savePath = nullptr)
{
    std::vector<char *> argv{const_cast<char *>("shakelog")};
    for (std::string &word : args) {
        argv.push_back(word.data());
    }
    settings = defaultSettings();
    testing::internal::CaptureStdout();
    bool ok =
        parseCommandLine(static_cast<int>(argv.size()), argv.data(), settings) && deriveCounts(settings);
    testing::internal::GetCapturedStdout();
    if (savePath != nullptr) {
        *savePath = settings.savePath;
    }
    settings.savePath = nullptr;
    return ok;
}

class CommandLine : public testing::Test {
protected:
    void SetUp() override { resetEmulatedSensor(); }
};

TEST_F(CommandLine, WrongWordsPrintTheUsageTextAndFailBeforeTouchingTheSensor)
{
    const std::vector<std::vector<std::string>> cases = {
        {"-h"},
        {"--help"},
        {"-x"},
        {"--time=5"},
        {"-tf", "5"},
        {"-t"},
        {"-s"},
        {"-f"},
        {"--save"},
        {"-t", "3", "-f"},
        {"-t", "3", "extra"},
        {"-F"},
        {"--fifo", "-t", "3"},             // the FIFO is a way of saving: no file, no use
        {"--split", "60", "-s", "a.csv"},  // splitting is the FIFO capture's
        {"-F", "-s", "a.csv", "--split"},
        {"--self-test", "-t", "3"},  // the self-test captures nothing
    };
    for (const auto &args : cases) {
        CapturedRun run = runShakelogCaptured(args);
        EXPECT_EQ(run.status, 1) << args[0];
        EXPECT_EQ(run.out, usageText) << args[0];
    }
    EXPECT_EQ(emulatedTransactionCount(), 0);
    EXPECT_EQ(emulatedTerminateCount(), 0);
}

TEST_F(CommandLine, SamplingRateOutsideOneTo3200IsRefused)
{
    for (const char *rate : {"0", "3201", "-5", "abc", "", "4294967297", "99999999999999999999"}) {
        CapturedRun run = runShakelogCaptured({"-f", rate});
        EXPECT_EQ(run.status, 1) << rate;
        EXPECT_EQ(run.out, wrongRate + usageText) << rate;
    }
    EXPECT_EQ(emulatedTransactionCount(), 0);
}

TEST_F(CommandLine, NumbersFollowAtoi)
{
    RunSettings s;
    ASSERT_TRUE(parse({"-f", "1"}, s));
    EXPECT_EQ(s.rateHz, 1);
    ASSERT_TRUE(parse({"--freq", "3200"}, s));
    EXPECT_EQ(s.rateHz, 3200);
    ASSERT_TRUE(parse({"-f", " +12Hz"}, s));
    EXPECT_EQ(s.rateHz, 12);
    ASSERT_TRUE(parse({"-t", "2.9"}, s));
    EXPECT_EQ(s.durationSec, 2);
    ASSERT_TRUE(parse({"--time", "abc"}, s));
    EXPECT_EQ(s.durationSec, 0);
}

TEST_F(CommandLine, DefaultsAndDerivedCounts)
{
    RunSettings s;
    ASSERT_TRUE(parse({}, s));
    EXPECT_FALSE(s.saveToFile);
    EXPECT_EQ(s.sampleCount, 25);
    EXPECT_EQ(s.rawCapacity, 500000);
    ASSERT_TRUE(parse({"-t", "3", "-f", "7"}, s));
    EXPECT_EQ(s.sampleCount, 21);
    ASSERT_TRUE(parse({"-t", "0"}, s));
    EXPECT_EQ(s.sampleCount, 0);
    EXPECT_EQ(s.rawCapacity, 0);
    ASSERT_TRUE(parse({"-t", "21474", "-f", "3200"}, s));
    EXPECT_EQ(s.sampleCount, 68716800);
    EXPECT_EQ(s.rawCapacity, 2147400000);
}

TEST_F(CommandLine, LastOccurrenceWinsAndArgumentsMayStartWithADash)
{
    RunSettings s;
    std::string savePath;
    ASSERT_TRUE(parse({"-f", "10", "-f", "20", "-s", "a.csv", "--save", "-t"}, s, &savePath));
    EXPECT_EQ(s.rateHz, 20);
    EXPECT_TRUE(s.saveToFile);
    EXPECT_EQ(savePath, "-t");
    EXPECT_EQ(s.durationSec, 5);
}

TEST_F(CommandLine, SavePathOfAnyLengthIsKeptWhole)
{
    const std::string longPath = "/tmp/" + std::string(600, 'p') + ".csv";
    std::vector<char *> argv{const_cast<char *>("shakelog"), const_cast<char *>("-s"),
                             const_cast<char *>(longPath.c_str())};
    RunSettings s = defaultSettings();
    ASSERT_TRUE(parseCommandLine(3, argv.data(), s));
    EXPECT_EQ(s.savePath, longPath);
}

TEST_F(CommandLine, NegativeOrOverflowingDurationIsRefusedBeforeTheHardware)
{
    const std::string refused = "Wrong duration specified (0 to 21474 seconds)!\n\n" + usageText;
    for (const char *time : {"-1", "-2147483648", "21475", "2147483647", "99999999999"}) {
        CapturedRun run = runShakelogCaptured({"-t", time});
        EXPECT_EQ(run.status, 1) << time;
        EXPECT_EQ(run.out, refused) << time;
        run = runShakelogCaptured({"-t", time, "-s", "/tmp/never-written.csv"});
        EXPECT_EQ(run.out, refused) << time;
    }
    const std::string splitRefused =
        "Wrong split length specified (1 to 671088 seconds)!\n\n" + usageText;
    for (const char *split : {"0", "-3", "abc", "671089"}) {
        CapturedRun run = runShakelogCaptured({"-F", "-s", "/tmp/never-written.csv", "--split", split});
        EXPECT_EQ(run.out, splitRefused) << split;
    }
    // Through the FIFO the limit is that of the row count at 3200 Hz.
    const std::string fifoRefused = "Wrong duration specified (0 to 671088 seconds)!\n\n" + usageText;
    for (const char *time : {"-1", "671089"}) {
        CapturedRun run = runShakelogCaptured({"-F", "-t", time, "-s", "/tmp/never-written.csv"});
        EXPECT_EQ(run.out, fifoRefused) << time;
    }
    RunSettings s;
    ASSERT_TRUE(parse({"--fifo", "-s", "a.csv", "-t", "671088", "-f", "3200"}, s));
    EXPECT_EQ(s.sampleCount, 2147481600);
    EXPECT_EQ(emulatedTransactionCount(), 0);
    EXPECT_EQ(readFile("/tmp/never-written.csv"), "");
}

}  // namespace
