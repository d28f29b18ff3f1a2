// shakelog --self-test against the emulated sensor at rest: a good part
// passes every check, and a part whose self-test force, noise or clock is
// out of limits fails that check and no other.
#include <gtest/gtest.h>

#include <string>

#include "pigpio_emulation.h"
#include "run_captured.h"

namespace {

// The checks that failed, by the words that open their lines.
std::string failedChecks(const std::string &out)
{
    std::string failed;
    size_t start = 0;
    for (size_t end; (end = out.find('\n', start)) != std::string::npos; start = end + 1) {
        std::string line = out.substr(start, end - start);
        if (line.size() > 6 && line.compare(line.size() - 6, 6, ": FAIL") == 0) {
            failed += line.substr(0, line.find(':')) + "; ";
        }
    }
    return failed;
}

TEST(SelfTest, AGoodPartPassesAndABadOneFailsWhereItIsBad)
{
    struct Case {
        const char *name;
        int shift[3];  // the self-test force, counts
        int noise;     // counts, uniform
        double clockError;
        const char *failed;
    };
    const Case table[] = {
        {"a good part", {520, -520, 700}, 2, 0.01, ""},
        {"a weak force", {60, -520, 100}, 2, 0, "self-test force x; self-test force z; "},
        {"a force the wrong way", {520, 520, 700}, 2, 0, "self-test force y; "},
        {"noisy", {520, -520, 700}, 12, 0, "noise x; noise y; noise z; "},
        {"a clock 7 % slow", {520, -520, 700}, 2, -0.07, "data rate; "},
    };
    for (const Case &c : table) {
        resetEmulatedSensor();
        emulatedSetTone(0, 0.0, 1.0);  // still: gravity and noise alone
        emulatedSetSelfTestShift(c.shift[0], c.shift[1], c.shift[2]);
        emulatedSetNoiseCounts(c.noise);
        emulatedSetSampleClockError(c.clockError);
        CapturedRun run = runShakelogCaptured({"--self-test"});
        EXPECT_EQ(failedChecks(run.out), c.failed) << c.name << ":\n" << run.out;
        EXPECT_EQ(run.status, c.failed[0] == '\0' ? 0 : 1) << c.name;
        EXPECT_EQ(run.out.find("\nDone\n") != std::string::npos, c.failed[0] == '\0') << c.name;
        // Eleven checks, and the sensor left as found: bypass, standby, the
        // bit clear.
        size_t lines = 0;
        for (char ch : run.out) {
            lines += ch == '\n';
        }
        EXPECT_EQ(lines, 1u + 11u + 1u) << c.name;
        EXPECT_EQ(emulatedRegister(0x38), 0x00) << c.name;
        EXPECT_EQ(emulatedRegister(0x2D), 0x00) << c.name;
        EXPECT_EQ(emulatedRegister(0x31), 0x0B) << c.name;
    }
}

}  // namespace
