// The real program built on the spidev backend, with the stand-in for the
// kernel's driver preloaded: console and file mode end to end, a device
// that is not there, and a reader or session lost mid-run.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "lost_session_cases.h"
#include "run_captured.h"
#include "test_emulator.h"

namespace {

struct ProgramRun {
    int status;
    std::string out;
    std::string err;
    std::string log;  // what the stand-in saw
};

class SpidevProgram : public testing::Test {
protected:
    void TearDown() override
    {
        for (const std::string &file : {outPath, errPath, logPath, csvPath})
            std::remove(file.c_str());
    }

    // environment: extra VAR=value words for the stand-in.
    ProgramRun run(const std::string &args, const std::string &environment = "")
    {
        std::string command = program(environment) + " " + args + " >" + outPath + " 2>" + errPath;
        int status = std::system(command.c_str());
        EXPECT_TRUE(WIFEXITED(status)) << command;
        return ProgramRun{WEXITSTATUS(status), readFile(outPath), readFile(errPath), readFile(logPath)};
    }

    // The command that starts the program with the stand-in preloaded.
    std::string program(const std::string &environment = "")
    {
        // The stand-in is not built with the sanitizer's runtime first in
        // line, which a sanitized program would otherwise refuse.  Under
        // qemu-user the build machine's loader would take LD_PRELOAD for
        // itself and complain about the target's library: qemu hands it to
        // the emulated program alone.
        const char *preload = testEmulator() == nullptr ? "LD_PRELOAD=" : "QEMU_SET_ENV=LD_PRELOAD=";
        return std::string("env ASAN_OPTIONS=verify_asan_link_order=0 ") + preload +
               SPIDEV_STANDIN " SPIDEV_STANDIN_LOG=" + logPath + " " + environment + " " SPIDEV_PROGRAM;
    }

    std::string base = "/tmp/shakelog-spidev-e2e-" + std::to_string(getpid());
    std::string outPath = base + ".out";
    std::string errPath = base + ".err";
    std::string logPath = base + ".log";
    std::string csvPath = base + ".csv";
};

std::vector<std::string> lines(const std::string &text)
{
    std::vector<std::string> result;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);)
        result.push_back(line);
    return result;
}

// rateCode: the BW_RATE the program sets (3200 Hz unless it reads the FIFO).
void expectDriverSetUp(const std::string &log, const std::string &rateCode = "0F")
{
    const std::string rate =
        "transfer len 2 speed 2000000 bits 8 mode 3 tx yes rx no same no: 6C " + rateCode + "\n";
    for (const std::string &fact :
         {std::string("open flags O_RDWR O_CLOEXEC\n"), std::string("mode 3\n"), std::string("bits 8\n"),
          std::string("speed 2000000\n"),
          std::string("transfer len 2 speed 2000000 bits 8 mode 3 tx yes rx yes same yes: C0 00\n"),
          rate, std::string("refused 0\n"), std::string("still open 0\n")})
        EXPECT_NE(log.find(fact), std::string::npos) << fact << " not in:\n" << log;
}

TEST_F(SpidevProgram, ConsoleModeStreamsTheSensorThroughTheDriver)
{
    ProgramRun r = run("-t 1 -f 10");
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.err, "");
    std::vector<std::string> out = lines(r.out);
    ASSERT_EQ(out.size(), 12u) << r.out;
    for (size_t i = 0; i < 10; ++i) {
        double t, x, y, z;
        ASSERT_EQ(sscanf(out[i].c_str(), "time = %lf, x = %lf, y = %lf, z = %lf", &t, &x, &y, &z), 4);
        EXPECT_NEAR(z, 1.0, 0.05) << out[i];  // gravity: right mode, clock and command bits
    }
    EXPECT_EQ(out[11], "Done");
    expectDriverSetUp(r.log);
    // The ID, six configuration writes, two warm-up reads, ten readings and
    // the ID again if the second came round before the last.
    bool counted = r.log.find("transfers 19\n") != std::string::npos ||
                   r.log.find("transfers 20\n") != std::string::npos;
    EXPECT_TRUE(counted) << r.log;
}

TEST_F(SpidevProgram, FileModeCapturesAndWritesTheResampledSeries)
{
    // Back to back at 3200 Hz, and through the sensor's FIFO at 200 Hz.
    for (const char *mode : {"", "-F "}) {
        ProgramRun r = run(std::string(mode) + "-t 1 -f 100 -s " + csvPath);
        EXPECT_EQ(r.status, 0) << mode << r.out << r.err;
        EXPECT_EQ(r.out,
                  "Reading 100 samples in 1.0 seconds with sampling rate 100.0 Hz...\n"
                  "0.00 seconds left...\nWriting to the output file...\nDone\n")
            << mode;
        std::vector<std::string> rows = lines(readFile(csvPath));
        ASSERT_EQ(rows.size(), 101u) << mode;
        EXPECT_EQ(rows[0], "time, x, y, z");
        for (size_t k = 1; k < rows.size(); ++k) {
            double t, x, y, z;
            ASSERT_EQ(sscanf(rows[k].c_str(), "%lf, %lf, %lf, %lf", &t, &x, &y, &z), 4);
            EXPECT_NEAR(z, 1.0, 0.05) << mode << rows[k];
        }
        expectDriverSetUp(r.log, mode[0] == '\0' ? "0F" : "0B");
    }
}

TEST_F(SpidevProgram, AMissingDeviceEndsWithStatusOneAndSaysWhatToDo)
{
    for (const char *mode : {"-t 1", "-t 1 -s "}) {
        std::string args = mode + (std::string(mode).back() == ' ' ? csvPath : "");
        ProgramRun r = run(args, "SPIDEV_STANDIN_FAIL_OPEN=ENOENT");
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "Accelerometer not found: reading its device ID failed (expected 0xE5)!\n");
        EXPECT_EQ(lines(r.err).size(), 1u) << r.err;
        EXPECT_NE(r.err.find("enable SPI (dtparam=spi=on in config.txt) and reboot"), std::string::npos)
            << r.err;
        EXPECT_NE(r.log.find("transfers 0\n"), std::string::npos) << r.log;
        EXPECT_EQ(access(csvPath.c_str(), F_OK), -1);
    }
}

TEST_F(SpidevProgram, ALostReaderOrSessionKeepsTheCapture)
{
    expectLostSessionCases(program());
}

}  // namespace
