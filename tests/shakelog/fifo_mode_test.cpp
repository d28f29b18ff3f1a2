// File mode through the FIFO, against the emulated sensor on the virtual
// clock: the bus protocol, the rows against the signal the sensor sensed on
// a steady and a drifting clock, every lost sample counted wherever a stall
// falls, and the ends of a capture whose sensor or bus went away.
#include <gtest/gtest.h>

#include <cmath>
#include <csignal>
#include <cstdio>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include <nlohmann/json.hpp>
#include <pigpio.h>

#include "pigpio_emulation.h"
#include "run_captured.h"
#include "test_emulator.h"
#include "tone_phase.h"

namespace {

constexpr double pi = 3.14159265358979323846;
constexpr double toneG = 0.5;
constexpr double startPhaseSec = 0.0001234;
// Windows over which a row's time is measured, by the tone's phase.
constexpr double windowSec = 0.05;

struct Rows {
    std::vector<double> t, x, z;
};

Rows parseRows(const std::string &content)
{
    Rows rows;
    std::istringstream stream(content);
    std::string line;
    std::getline(stream, line);
    double t, x, y, z;
    while (std::getline(stream, line) &&
           sscanf(line.c_str(), "%lf, %lf, %lf, %lf", &t, &x, &y, &z) == 4) {
        rows.t.push_back(t);
        rows.x.push_back(x);
        rows.z.push_back(z);
    }
    return rows;
}

nlohmann::json readRecord(const std::string &csv)
{
    return nlohmann::json::parse(readFile(csv + ".json"), nullptr, false);
}

// The largest error of the rows' times from `fromSec` on, in seconds: in each
// window, the phase of x against the tone at the time the row claims, the
// signal's time of row 0 taken from the record.
double largestTimeError(const Rows &rows, const nlohmann::json &record, double hz, double fromSec = 0)
{
    double rowZero = record["row0"]["monotonic_s"].get<double>() - emulatedMeasureOriginSec();
    size_t per = 0;
    while (per < rows.t.size() && rows.t[per] < windowSec) {
        ++per;
    }
    double largest = 0;
    for (size_t start = 0; per > 0 && start + per <= rows.t.size(); start += per) {
        if (rows.t[start] < fromSec) {
            continue;
        }
        double error = toneTimeError(&rows.t[start], &rows.x[start], per, hz, rowZero);
        largest = std::max(largest, std::fabs(error));
    }
    return largest;
}

// The count of a "Lost N samples" line, 0 without one.
long reportedLoss(const std::string &out)
{
    size_t at = out.find("Lost ");
    return at == std::string::npos ? 0 : std::atol(out.c_str() + at + 5);
}

class FifoMode : public testing::Test {
protected:
    void SetUp() override { resetEmulatedSensor(); }
    void TearDown() override
    {
        std::remove(path.c_str());
        std::remove((path + ".json").c_str());
    }
    // A still sensor but for a tone on x, with no noise: what the rows differ
    // from the tone by is their time and the 4 mg counts.
    void useTone(double hz)
    {
        resetEmulatedSensor();
        emulatedSetStartPhase(startPhaseSec);
        emulatedSetNoiseCounts(0);
        emulatedSetTone(0, toneG, hz);
    }
    std::string path = "/tmp/shakelog-fifo-test-" + std::to_string(getpid()) + ".csv";
};

TEST_F(FifoMode, ReadsEachSampleOnceInItsOwnTransferThenLeavesTheSensorInStandby)
{
    // Transfers with almost no overhead: the 5 us the FIFO needs after a pop
    // must come from the reader.
    emulatedSetTransferTiming(1e-6, false);
    CapturedRun run = runShakelogCaptured({"-F", "-t", "1", "-f", "3200", "-s", path});
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(run.out.substr(0, run.out.find('\n')),
              "Reading 3200 samples in 1.0 seconds with sampling rate 3200.0 Hz...");
    EXPECT_NE(run.out.find("Writing to the output file...\nDone\n"), std::string::npos) << run.out;
    // The ID; standby, bypass (which empties the FIFO), stream mode with its
    // watermark, no offset trims, 3200 Hz, full resolution, measure; then
    // each read back.
    const std::vector<std::vector<unsigned char>> setUp = {
        {0xC0, 0x00}, {0x6D, 0x00}, {0x78, 0x00}, {0x78, 0x90}, {0x5E, 0x00, 0x00, 0x00},
        {0x6C, 0x0F}, {0x71, 0x0B}, {0x6D, 0x08}, {0xDE, 0x00}, {0xDF, 0x00},
        {0xE0, 0x00}, {0xEC, 0x00}, {0xF8, 0x00}, {0xF1, 0x00}, {0xED, 0x00},
    };
    unsigned char bytes[16];
    for (size_t i = 0; i < setUp.size(); ++i) {
        int count = emulatedTransactionBytes(static_cast<long>(i), bytes, sizeof bytes);
        EXPECT_EQ(std::vector<unsigned char>(bytes, bytes + count), setUp[i]) << i;
    }
    // Then batches: FIFO_STATUS, and one 9-byte read from INT_SOURCE per
    // sample, at least 5 us after the one before.
    double previousEnd = -1;
    for (long i = static_cast<long>(setUp.size()); i < emulatedLogCapacity; ++i) {
        int count = emulatedTransactionBytes(i, bytes, sizeof bytes);
        double start = 0, end = 0;
        ASSERT_TRUE(emulatedTransactionTimes(i, &start, &end));
        if (count == 2) {
            EXPECT_EQ(bytes[0], 0xF9) << i;
            previousEnd = -1;
            continue;
        }
        ASSERT_EQ(count, 9) << i;
        EXPECT_EQ(bytes[0], 0xF0) << i;
        if (previousEnd >= 0) {
            EXPECT_GE(start - previousEnd, 5e-6 - 1e-9) << i;
        }
        previousEnd = end;
    }
    // The capture reads some 0.3 s more than its rows: about one transfer
    // a sample all the same.
    EXPECT_LE(emulatedTransactionCount(), 1.15 * 3200 * 1.35) << "about one transfer a sample";
    EXPECT_EQ(emulatedFifoDropped(), 0);
    EXPECT_EQ(emulatedRegister(0x38), 0x00) << "bypass";
    EXPECT_EQ(emulatedRegister(0x2D), 0x00) << "standby";
}

TEST_F(FifoMode, RowsKeepTheirTimesOnASteadyOrDriftingClockToTheirEnds)
{
    struct Case {
        const char *name;
        const char *rate;
        double toneHz;
        double error, ramp, wander, wanderPeriod;
        double largestUs;
    };
    // A ramp of 0.5 % over the capture, and a wander of +-0.25 % as a
    // temperature cycle of a minute would bring.
    const Case table[] = {
        {"3200 Hz steady", "3200", 437, 0, 0, 0, 0, 5},
        {"3200 Hz 3 % fast", "3200", 437, 0.03, 0, 0, 0, 5},
        {"3200 Hz 3 % slow", "3200", 437, -0.03, 0, 0, 0, 5},
        {"3200 Hz ramp", "3200", 437, 0, 0.005 / 8, 0, 0, 20},
        {"3200 Hz wander", "3200", 437, 0, 0, 0.0025, 60, 20},
        {"800 Hz steady", "800", 237, 0.02, 0, 0, 0, 5},
        {"800 Hz ramp", "800", 237, -0.02, 0.005 / 8, 0, 0, 20},
        {"100 Hz ramp", "100", 37, 0, -0.005 / 8, 0, 0, 20},
        {"100 Hz wander", "100", 37, 0.0233, 0, 0.0025, 60, 20},
    };
    for (const Case &c : table) {
        useTone(c.toneHz);
        emulatedSetSampleClockError(c.error);
        if (c.ramp != 0 || c.wander != 0) {
            emulatedSetSampleClockDrift(c.ramp, c.wander, c.wanderPeriod);
        }
        CapturedRun run = runShakelogCaptured({"-F", "-t", "8", "-f", c.rate, "-s", path});
        EXPECT_EQ(run.status, 0) << c.name << ": " << run.out;
        Rows rows = parseRows(readFile(path));
        ASSERT_EQ(rows.t.size(), static_cast<size_t>(8 * std::atoi(c.rate))) << c.name;
        EXPECT_LT(largestTimeError(rows, readRecord(path), c.toneHz) * 1e6, c.largestUs) << c.name;
        // Gravity to the first and the last row: no settling at either end.
        EXPECT_NEAR(rows.z.front(), 1.0, 0.0005) << c.name;
        EXPECT_NEAR(rows.z.back(), 1.0, 0.0005) << c.name;
    }
}

TEST_F(FifoMode, EveryLostSampleIsCountedWhereverTheStallFalls)
{
    // Stalls from none to three FIFOs' worth, a quarter period apart, after
    // a pop (among the pops, or between batches) or right after a
    // FIFO_STATUS read (before the pops it counted): the loss reported is the
    // sensor's own count of samples dropped, and the rows after it keep
    // their times.
    struct Rate {
        const char *rate;  // rows a second, for the sensor at sampleHz
        double sampleHz;
        double toneHz;
    };
    const Rate rates[] = {{"3200", 3200, 437}, {"800", 1600, 337}, {"400", 800, 137}};
    // Through an emulator of another processor, every fifth of them.
    int step = testEmulator() != nullptr ? 5 : 1;
    for (const Rate &r : rates) {
        for (int afterStatus = 0; afterStatus < 2; ++afterStatus) {
            for (int quarters = 0; quarters <= 3 * 33 * 4; quarters += step) {
                double stallSec = quarters / (4 * r.sampleHz);
                useTone(r.toneHz);
                // Well into the capture, at every place within a batch.
                long nth = afterStatus ? 40 + quarters % 3 : 300 + quarters % 11;
                emulatedStallRead(afterStatus ? 0x39 : 0x30, nth, stallSec);
                CapturedRun run = runShakelogCaptured({"-F", "-t", "1", "-f", r.rate, "-s", path});
                std::string label = std::string(r.rate) +
                                    (afterStatus ? " Hz after FIFO_STATUS, " : " Hz after a pop, ") +
                                    std::to_string(stallSec * 1e3) + " ms";
                long dropped = static_cast<long>(emulatedFifoDropped());
                ASSERT_EQ(reportedLoss(run.out), dropped) << label << ": " << run.out;
                ASSERT_EQ(run.out.find("about"), std::string::npos) << label << ": " << run.out;
                ASSERT_EQ(run.status, dropped > 0 ? 1 : 0) << label;
                Rows rows = parseRows(readFile(path));
                double largest = largestTimeError(rows, readRecord(path), r.toneHz, 0.5);
                ASSERT_LT(largest * 1e6, 5) << label;
            }
        }
    }
}

TEST_F(FifoMode, ASensorOrBusThatGoesAwayEndsTheCaptureWithItsRowsKept)
{
    // About 1.3 s into a 2 s capture at 100 Hz (the sensor at 200 Hz, row 0
    // about 0.7 s after the start): a read of FIFO_STATUS every 2.6 ms or
    // so, a pop every 5 ms.
    const long midway = 800;
    struct Case {
        const char *name;
        int stuckMiso;       // -1: none, else the level
        int failing;         // a transfer error from then on, or 0
        int idRead;          // the device ID the second check reads, or -1
        int statusOnce;      // one FIFO_STATUS that reads this, or -1
        int signo;           // a signal, or 0
        const char *last;    // how the output ends
        const char *orLast;  // or, where two checks may find it first
        bool complete;       // every row written
        bool cleaned;        // the sensor left in bypass and standby
    };
    const Case table[] = {
        {"wire off", 0x00, 0, -1, -1, 0, "Sensor lost: no new sample for 0.5",
         "Accelerometer not found: device ID 0x00, expected 0xE5!", false, false},
        {"MISO held high", 0xFF, 0, -1, -1, 0,
         "Sensor lost: FIFO_STATUS read 0xFF twice, 63 entries where the FIFO holds 32",
         "Accelerometer not found: device ID 0xFF, expected 0xE5!", false, false},
        {"bus failing", -1, PI_SPI_XFER_FAILED, -1, -1, 0, "Error occurred!", nullptr, false, false},
        {"another device", -1, 0, 0x1D, -1, 0,
         "Accelerometer not found: device ID 0x1D, expected 0xE5!\nCapture stopped: ", nullptr, false,
         true},
        {"one impossible FIFO_STATUS", -1, 0, -1, 0x3F, 0, "Done\n", nullptr, true, true},
        {"SIGTERM", -1, 0, -1, -1, SIGTERM, "Capture interrupted: ", nullptr, false, true},
    };
    for (const Case &c : table) {
        useTone(37);
        if (c.stuckMiso >= 0) {
            emulatedMisoStuckFrom(midway, static_cast<unsigned char>(c.stuckMiso));
        } else if (c.failing != 0) {
            emulatedFailTransfersFrom(midway, c.failing);
        } else if (c.idRead >= 0) {
            emulatedCorruptRead(0x00, 3, static_cast<unsigned char>(c.idRead));
        } else if (c.statusOnce >= 0) {
            emulatedCorruptRead(0x39, 100, static_cast<unsigned char>(c.statusOnce));
        } else {
            emulatedSignalTransfer(midway, c.signo);
        }
        CapturedRun run = runShakelogCaptured({"-F", "-t", "2", "-f", "100", "-s", path});
        EXPECT_EQ(run.status, c.complete ? 0 : 1) << c.name;
        bool ended = run.out.find(c.last) != std::string::npos ||
                     (c.orLast != nullptr && run.out.find(c.orLast) != std::string::npos);
        EXPECT_TRUE(ended) << c.name << ": " << run.out;
        Rows rows = parseRows(readFile(path));
        if (c.complete) {
            EXPECT_EQ(rows.t.size(), 200u) << c.name;
            EXPECT_LT(largestTimeError(rows, readRecord(path), 37) * 1e6, 20) << c.name;
        } else {
            // The rows up to the moment: about half a second, less than all.
            EXPECT_GT(rows.t.size(), 30u) << c.name;
            EXPECT_LT(rows.t.size(), 200u) << c.name;
            if (run.out.find(" rows written.") != std::string::npos) {
                EXPECT_NE(run.out.find(std::to_string(rows.t.size()) + " of 200 rows written."),
                          std::string::npos)
                    << c.name << ": " << run.out;
            }
        }
        if (c.cleaned) {
            EXPECT_EQ(emulatedRegister(0x38), 0x00) << c.name << ": bypass";
            EXPECT_EQ(emulatedRegister(0x2D), 0x00) << c.name << ": standby";
        }
    }
}

TEST_F(FifoMode, AnotherDeviceMidwayEndsEveryModeAsAMissingSensorDoesAtStart)
{
    // The device ID is read again once a second: its third read is the
    // check two seconds in.
    const std::vector<std::vector<std::string>> modes = {{"-t", "3", "-f", "10"},
                                                         {"-t", "3", "-f", "100", "-s", path},
                                                         {"-F", "-t", "3", "-f", "100", "-s", path}};
    for (const auto &args : modes) {
        resetEmulatedSensor();
        emulatedCorruptRead(0x00, 3, 0x1D);
        CapturedRun run = runShakelogCaptured(args);
        EXPECT_EQ(run.status, 1) << args[0];
        EXPECT_NE(run.out.find("Accelerometer not found: device ID 0x1D, expected 0xE5!\n"),
                  std::string::npos)
            << args[0] << ": " << run.out;
        if (args.size() > 4) {
            size_t rows = parseRows(readFile(path)).t.size();
            EXPECT_GT(rows, 50u) << args[0];
            EXPECT_NE(
                run.out.find("Capture stopped: " + std::to_string(rows) + " of 300 rows written.\n"),
                std::string::npos)
                << args[0] << ": " << run.out;
        }
        std::remove(path.c_str());
    }
}

TEST_F(FifoMode, AHostStalledOverAndOverStillWritesEveryRow)
{
    // Stalls nearly as long as the time between them: losses in quick
    // succession, some with no read between them that could size them.
    for (unsigned long long seed : {2ULL, 3ULL}) {
        resetEmulatedSensor();
        emulatedStallRandomly(0.02, 0.018, seed);
        CapturedRun run = runShakelogCaptured({"-F", "-t", "3", "-f", "3200", "-s", path});
        EXPECT_EQ(run.status, 1) << seed;
        EXPECT_NE(run.out.find("could not be sized exactly"), std::string::npos)
            << seed << ": " << run.out;
        EXPECT_EQ(parseRows(readFile(path)).t.size(), 9600u) << seed;
    }
}

TEST_F(FifoMode, ASensorThatFailsToConfigureLeavesNoFileAndTouchesNothingElse)
{
    // A file of the working directory whose name only the record's
    // temporary, had it been opened, would have.
    const char *bystander = ".tmp";
    FILE *made = fopen(bystander, "w");
    ASSERT_NE(made, nullptr);
    fclose(made);
    emulatedFailTransfer(4, PI_SPI_XFER_FAILED);  // among the configuration's writes
    CapturedRun run = runShakelogCaptured({"-F", "-t", "2", "-f", "100", "-s", path});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.out.find("Error occurred!"), std::string::npos) << run.out;
    EXPECT_NE(access(path.c_str(), F_OK), 0) << "the capture never started";
    EXPECT_EQ(access(bystander, F_OK), 0);
    std::remove(bystander);
}

}  // namespace
