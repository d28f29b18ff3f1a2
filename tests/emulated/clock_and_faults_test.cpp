// The virtual clock's arithmetic and the injected faults.
#include "emulated_fixture.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <thread>

#include "host_clock.h"

namespace {

// A 7-byte transfer at 2 MHz: 28 us on the wire plus the library overhead.
inline constexpr double readSec = 7 * 8 / 2e6 + emulatedDefaultOverheadSec;
inline constexpr double tolerance = 1e-9;

using VirtualClock = EmulatedBus;

char readBuffer[7];

int readSample(int handle)
{
    readBuffer[0] = static_cast<char>(cmdRead | cmdMultiByte | regDataX0);
    return spiXfer(static_cast<unsigned>(handle), readBuffer, readBuffer, 7);
}

TEST_F(VirtualClock, StartsWhereAskedAndStandsStillUntilMoved)
{
    // SetUp initialised and opened without a transfer.
    EXPECT_DOUBLE_EQ(time_time(), virtualStart);
    EXPECT_DOUBLE_EQ(time_time(), virtualStart);
}

TEST_F(VirtualClock, TransfersTakeWireTimePlusOverhead)
{
    double before = time_time();
    readSample(handle);
    EXPECT_NEAR(time_time() - before, readSec, tolerance);

    int slow = spiOpen(deviceChannel, 100000, mode3);
    before = time_time();
    char buffer[2] = {0, 0};
    spiWrite(slow, buffer, 2);
    EXPECT_NEAR(time_time() - before, 16 / 1e5 + emulatedDefaultOverheadSec, tolerance);
}

TEST_F(VirtualClock, SleepAddsTheWakeUpLatency)
{
    double before = time_time();
    time_sleep(0.25);
    EXPECT_NEAR(time_time() - before, 0.25 + emulatedWakeLatencySec, tolerance);
    before = time_time();
    time_sleep(0.0);
    time_sleep(-1.0);
    EXPECT_DOUBLE_EQ(time_time(), before) << "no sleep for zero or negative time";
}

TEST_F(VirtualClock, TransferTimingIsAdjustable)
{
    emulatedSetTransferTiming(0.0, true);
    double before = time_time();
    for (int i = 0; i < 100; ++i)
        readSample(handle);
    EXPECT_DOUBLE_EQ(time_time(), before);

    emulatedSetTransferTiming(1e-3, false);
    readSample(handle);
    EXPECT_NEAR(time_time() - before, 1e-3 + 28e-6, tolerance);
}

TEST_F(VirtualClock, HostMonotonicClockIsTheDeviceTimeReadWholeFromAnyThread)
{
    EXPECT_EQ(hostMonotonicSec(), 0.0) << "device time starts with the virtual clock";
    emulatedStepClock(1, -3600.0);
    readSample(handle);
    EXPECT_NEAR(hostMonotonicSec(), readSec, tolerance) << "not stepped with the wall clock";

    // Sleeps of 0.3 s carry the nanosecond count across 2^32 every 15 or so:
    // a reader that could see half an update would see time go back.
    std::atomic<bool> started{false};
    std::atomic<bool> done{false};
    std::atomic<long> backwards{0};
    std::thread reader([&] {
        double latest = hostMonotonicSec();
        started.store(true);
        while (!done.load()) {
            double now = hostMonotonicSec();
            if (now < latest)
                backwards.fetch_add(1);
            latest = now;
        }
    });
    while (!started.load()) {
    }
    for (int i = 0; i < 200000; ++i)
        time_sleep(0.3);
    done.store(true);
    reader.join();
    EXPECT_EQ(backwards.load(), 0);
    EXPECT_NEAR(hostMonotonicSec(), readSec + 200000 * (0.3 + emulatedWakeLatencySec), 1e-6);

    emulatedReset();
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    EXPECT_NEAR(hostMonotonicSec(), now.tv_sec + now.tv_nsec * 1e-9, 0.1) << "the real clock";
}

using TransferFaults = EmulatedBus;

TEST_F(TransferFaults, FailsTheNthTransferOnly)
{
    emulatedFailTransfer(3, PI_SPI_XFER_FAILED);
    EXPECT_EQ(readSample(handle), 7);
    EXPECT_EQ(readSample(handle), 7);
    EXPECT_EQ(readSample(handle), PI_SPI_XFER_FAILED);
    EXPECT_EQ(readSample(handle), 7);
    unsigned char bytes[7];
    EXPECT_EQ(emulatedTransactionBytes(2, bytes, sizeof bytes), 0) << "nothing on the wire";
}

TEST_F(TransferFaults, WritesDoNotCountTowardsN)
{
    emulatedFailTransfer(1, PI_SPI_XFER_FAILED);
    EXPECT_EQ(writeRegister(handle, regBwRate, rate3200Hz), 2);
    EXPECT_EQ(spiXfer(handle + 5, readBuffer, readBuffer, 7), PI_BAD_HANDLE);
    EXPECT_EQ(readSample(handle), PI_SPI_XFER_FAILED);
}

TEST_F(TransferFaults, ShortCountExchangesOnlyThatMany)
{
    emulatedHoldCounts(0x0101, 0x0202, 0x0303);
    startMeasuring(handle, rate3200Hz, formatFullRes16g);
    time_sleep(period3200HzSec);
    emulatedFailTransfer(1, 6);
    readBuffer[6] = 0x7E;
    double before = time_time();
    EXPECT_EQ(readSample(handle), 6);
    EXPECT_EQ(readBuffer[5], 0x03);
    EXPECT_EQ(readBuffer[6], 0x7E) << "seventh byte never exchanged";
    EXPECT_NEAR(time_time() - before, 6 * 8 / 2e6 + emulatedDefaultOverheadSec, tolerance);
    unsigned char bytes[7];
    EXPECT_EQ(emulatedTransactionBytes(3, bytes, sizeof bytes), 6);
}

TEST_F(TransferFaults, StallLengthensOneTransfer)
{
    emulatedStallTransfer(2, 0.5);
    double before = time_time();
    readSample(handle);
    readSample(handle);
    readSample(handle);
    EXPECT_NEAR(time_time() - before, 3 * readSec + 0.5, tolerance);
}

TEST_F(TransferFaults, StallLetsSamplesPass)
{
    startMeasuring(handle, rate3200Hz, formatFullRes16g);
    time_sleep(period3200HzSec);
    readSample(handle);
    emulatedStallTransfer(1, 0.01);
    readSample(handle);
    EXPECT_EQ(readRegister(handle, regIntSource) & intDataReady, intDataReady)
        << "32 samples arrived during the stall";
}

TEST_F(TransferFaults, ClockStepMovesWallTimeButNotSampling)
{
    emulatedHoldCounts(0, 0, 256);
    startMeasuring(handle, rate100Hz, formatFullRes16g);
    emulatedStepClock(1, -3600.0);
    double before = time_time();
    readSample(handle);
    EXPECT_NEAR(time_time() - before, readSec - 3600.0, 1e-6);
    EXPECT_EQ(readRegister(handle, regIntSource) & intDataReady, 0)
        << "no sample arrives because the wall clock moved";
    time_sleep(period100HzSec);
    EXPECT_EQ(readRegister(handle, regIntSource) & intDataReady, intDataReady);
}

volatile sig_atomic_t signalsSeen = 0;
extern "C" void countSignal(int)
{
    signalsSeen = signalsSeen + 1;
}

TEST_F(TransferFaults, SignalIsRaisedRightAfterTheNthTransfer)
{
    signalsSeen = 0;
    auto previous = std::signal(SIGUSR1, countSignal);
    emulatedSignalTransfer(2, SIGUSR1);
    readSample(handle);
    EXPECT_EQ(signalsSeen, 0);
    readSample(handle);
    EXPECT_EQ(signalsSeen, 1);
    readSample(handle);
    EXPECT_EQ(signalsSeen, 1);
    std::signal(SIGUSR1, previous);
}

TEST_F(TransferFaults, InitialiseTakesOverSignalsAsPigpioDoes)
{
    // Whatever was set before: the library's handler ends the process.
    for (int signo : {SIGINT, SIGTERM}) {
        EXPECT_EXIT(
            {
                emulatedSignalTransfer(1, signo);
                readSample(handle);
            },
            testing::ExitedWithCode(255), "")
            << signo;
    }
    struct sigaction pipe {};
    sigaction(SIGPIPE, nullptr, &pipe);
    EXPECT_EQ(pipe.sa_handler, SIG_IGN);
}

TEST_F(TransferFaults, ReadFaultsHitTheNthReadStartingAtTheirRegister)
{
    writeRegister(handle, regFifoCtl, 0x80);  // stream
    startMeasuring(handle, rate3200Hz, formatFullRes16g);
    time_sleep(10 * period3200HzSec);
    emulatedStallRead(regFifoStatus, 3, 0.5);
    emulatedCorruptRead(regIntSource, 2, 0x3F);
    struct Step {
        const char *what;
        unsigned char command;
        unsigned bytes;
        bool stalled;
        bool corrupted;
    };
    const Step steps[] = {
        {"FIFO_STATUS, read 1", cmdRead | regFifoStatus, 2, false, false},
        {"INT_SOURCE through FIFO_STATUS, read 1 at 0x30", cmdRead | cmdMultiByte | regIntSource, 11,
         false, false},
        {"a write of FIFO_STATUS", regFifoStatus, 2, false, false},
        {"FIFO_STATUS, read 2", cmdRead | regFifoStatus, 2, false, false},
        {"INT_SOURCE through DATAZ1, read 2 at 0x30", cmdRead | cmdMultiByte | regIntSource, 9, false,
         true},
        {"FIFO_STATUS multi-byte, read 3", cmdRead | cmdMultiByte | regFifoStatus, 3, true, false},
        {"FIFO_STATUS, read 4", cmdRead | regFifoStatus, 2, false, false},
    };
    for (const Step &step : steps) {
        char buffer[11] = {static_cast<char>(step.command)};
        int before[8];
        for (int i = 0; i < 8; ++i)
            before[i] = emulatedRegister((step.command & 0x3F) + i);
        double startSec = time_time();
        ASSERT_EQ(spiXfer(handle, buffer, buffer, step.bytes), static_cast<int>(step.bytes))
            << step.what;
        double expectedSec =
            step.bytes * 8 / 2e6 + emulatedDefaultOverheadSec + (step.stalled ? 0.5 : 0);
        EXPECT_NEAR(time_time() - startSec, expectedSec, tolerance) << step.what;
        if (!(step.command & cmdRead))
            continue;
        EXPECT_EQ(static_cast<unsigned char>(buffer[1]), step.corrupted ? 0x3F : before[0]) << step.what;
        for (unsigned i = 2; i < step.bytes && step.bytes == 9; ++i)
            EXPECT_EQ(static_cast<unsigned char>(buffer[i]), before[i - 1])
                << step.what << " byte " << i;
    }
}

TEST_F(TransferFaults, ABusThatDiesFailsTheNthTransferAndAllAfterIt)
{
    emulatedFailTransfersFrom(3, PI_SPI_XFER_FAILED);
    EXPECT_EQ(readSample(handle), 7);
    EXPECT_EQ(writeRegister(handle, regBwRate, rate3200Hz), 2) << "spiWrite before the n-th spiXfer";
    EXPECT_EQ(readSample(handle), 7);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(readSample(handle), PI_SPI_XFER_FAILED) << i;
    EXPECT_EQ(writeRegister(handle, regBwRate, rate100Hz), PI_SPI_XFER_FAILED);
    EXPECT_EQ(emulatedRegister(regBwRate), rate3200Hz) << "nothing reached the device";
    unsigned char bytes[7];
    EXPECT_EQ(emulatedTransactionBytes(3, bytes, sizeof bytes), 0) << "nothing on the wire";
    EXPECT_EQ(emulatedTransactionBytes(6, bytes, sizeof bytes), 0);
    EXPECT_EQ(spiXfer(handle + 1, readBuffer, readBuffer, 7), PI_BAD_HANDLE)
        << "checked first, as before";
}

TEST_F(TransferFaults, AStuckMisoReadsOneLevelFromTheNthTransferAndLetsNothingThrough)
{
    for (unsigned char level : {0x00, 0xFF}) {
        TearDown();
        SetUp();
        emulatedMisoStuckFrom(2, level);
        EXPECT_EQ(readRegister(handle, regDevId), devIdValue) << +level;
        EXPECT_EQ(writeRegister(handle, regBwRate, rate3200Hz), 2) << +level;
        EXPECT_EQ(emulatedRegister(regBwRate), rate3200Hz) << +level << ": before the n-th spiXfer";
        EXPECT_EQ(readSample(handle), 7) << +level;
        for (int i = 0; i < 7; ++i)
            EXPECT_EQ(static_cast<unsigned char>(readBuffer[i]), level) << +level << " byte " << i;
        EXPECT_EQ(writeRegister(handle, regBwRate, rate100Hz), 2) << +level;
        EXPECT_EQ(emulatedRegister(regBwRate), rate3200Hz) << +level << ": the write reached nothing";
        EXPECT_EQ(readRegister(handle, regDevId), level) << +level;
    }
}

TEST_F(TransferFaults, KillEndsTheProcessAtTheFirstSleepOrTransferThatReachesItsTime)
{
    enum class Reach { sleep, transfer, alreadyPast };
    for (Reach reach : {Reach::sleep, Reach::transfer, Reach::alreadyPast}) {
        EXPECT_EXIT(
            {
                emulatedKillAt(reach == Reach::alreadyPast ? -1.0 : 0.5);
                if (reach != Reach::alreadyPast) {
                    time_sleep(0.4);
                    readSample(handle);
                    std::fprintf(stderr, "alive at %.2f s\n", hostMonotonicSec());
                }
                if (reach == Reach::sleep)
                    time_sleep(0.2);
                else
                    emulatedStallTransfer(1, 0.2);
                readSample(handle);
                std::exit(0);
            },
            testing::KilledBySignal(SIGKILL), reach == Reach::alreadyPast ? "" : "alive at 0.40 s")
            << static_cast<int>(reach);
    }
}

TEST_F(TransferFaults, ResetDisarmsEverything)
{
    emulatedFailTransfer(1, PI_SPI_XFER_FAILED);
    emulatedStallTransfer(1, 1.0);
    emulatedStallRead(regDataX0, 1, 1.0);
    emulatedCorruptRead(regDataX0, 1, 0x12);
    emulatedFailTransfersFrom(1, PI_SPI_XFER_FAILED);
    emulatedMisoStuckFrom(1, 0xFF);
    emulatedKillAt(-1.0);
    TearDown();
    SetUp();
    double before = time_time();
    EXPECT_EQ(readSample(handle), 7);
    EXPECT_NEAR(time_time() - before, readSec, tolerance);
    EXPECT_EQ(readRegister(handle, regDevId), devIdValue);
}

}  // namespace
