// The seven pigpio functions shakelog uses, with pigpio's results and error
// codes, over an emulated SPI bus that has an ADXL345 on channel 0; and the
// control interface tests use to steer it.  All state is file-scope and
// starts in the power-on state, so the program itself needs no set-up call.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>

#include "adxl345.h"
#include "emulated_clock.h"
#include "emulated_faults.h"
#include "emulated_log.h"
#include "host_clock.h"
#include "pigpio.h"
#include "pigpio_emulation.h"

static_assert(adxlNoiseCounts == emulatedNoiseCounts, "noise figure published to tests");
static_assert(adxlSelfTestShiftX == emulatedSelfTestShiftX &&
                  adxlSelfTestShiftY == emulatedSelfTestShiftY &&
                  adxlSelfTestShiftZ == emulatedSelfTestShiftZ,
              "self-test shift published to tests");
static_assert(adxlMisoUndriven == emulatedMisoUndriven, "undriven MISO published to tests");
static_assert(adxlFifoDepth == emulatedFifoDepth, "FIFO depth published to tests");
static_assert(adxlFifoSettleNs == static_cast<int64_t>(emulatedFifoSettleSec * nanosPerSecond),
              "FIFO settling time published to tests");

namespace {

// pigpio's flag bits for spiOpen beyond the mode.
inline constexpr unsigned spiDefinedFlagBits = 22;
inline constexpr unsigned spiFlagAuxiliary = 1u << 8;
inline constexpr unsigned spiMainChannels = 2;
inline constexpr unsigned spiAuxChannels = 3;
inline constexpr int spiHandleSlots = 32;
inline constexpr unsigned spiMaxCount = 1u << 16;
static_assert(spiMaxCount <= adxlMaxBusBytes, "the device takes the longest transfer");

// How the stand-in names itself in its complaints.
inline constexpr char standInName[] = "emulated pigpio";

// Where the ADXL345 sits.
inline constexpr unsigned deviceChannel = 0;

// The signals whose pigpio handler terminates the library and exits.
inline constexpr int terminatingSignals[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM};
inline constexpr int signalExitStatus = -1;  // exit(-1): status 255
inline constexpr int signalBits = 64;        // signals an injected fault can raise

inline constexpr char timestampFormat[] = "%Y-%m-%d %H:%M:%S";
inline constexpr size_t timestampSize = 32;

struct SpiHandle {
    bool open;
    unsigned channel;
    unsigned baud;
    unsigned flags;
};

bool initialised = false;
bool quiet = false;
bool sensorDetached = false;
int terminateCount = 0;
SpiHandle handles[spiHandleSlots] = {};
Adxl345 device = adxlPowerOnState();

// Room for one transaction of the largest count, in each direction.
unsigned char hostOut[spiMaxCount];
unsigned char hostIn[spiMaxCount];

void printNotice()
{
    if (!quiet)
        std::fprintf(stderr, "%s: emulated ADXL345 on SPI channel %u, no hardware is read\n",
                     program_invocation_short_name, deviceChannel);
}

// A pigpio-style diagnostic: time stamp of the library's clock, function.
void printInitialiseFailure(int result)
{
    if (quiet)
        return;
    time_t now = static_cast<time_t>(clockWallSec());
    tm local{};
    char stamp[timestampSize] = "";
    if (localtime_r(&now, &local) != nullptr)
        std::strftime(stamp, sizeof stamp, timestampFormat, &local);
    std::fprintf(stderr, "%s gpioInitialise: emulated initialisation failure (%d)\n", stamp, result);
}

// As pigpio's handler: say so, release the library, exit at once.  Not
// async-signal-safe, like the original; the program replaces it.
extern "C" void onTerminatingSignal(int signo)
{
    if (!quiet)
        std::fprintf(stderr, "emulated pigpio: signal %d, terminating\n",
                     signo);  // NOLINT(cert-msc54-cpp,bugprone-signal-handler)
    gpioTerminate();
    std::exit(signalExitStatus);  // NOLINT(cert-msc54-cpp,bugprone-signal-handler)
}

// pigpio's gpioInitialise takes over the usual signals, whatever their
// disposition was, and ignores SIGPIPE.
void installLibraryHandlers()
{
    struct sigaction action {};
    sigemptyset(&action.sa_mask);
    action.sa_handler = onTerminatingSignal;
    for (int signo : terminatingSignals)
        sigaction(signo, &action, nullptr);
    action.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &action, nullptr);
}

bool channelValid(unsigned channel, unsigned flags)
{
    return channel < ((flags & spiFlagAuxiliary) ? spiAuxChannels : spiMainChannels);
}

int freeHandleSlot()
{
    for (int slot = 0; slot < spiHandleSlots; ++slot)
        if (!handles[slot].open)
            return slot;
    return -1;
}

// Check a transfer request as pigpio does; 0 if it may go on the bus.
int checkTransfer(unsigned handle, unsigned count)
{
    if (!initialised)
        return PI_NOT_INITIALISED;
    if (handle >= spiHandleSlots || !handles[handle].open)
        return PI_BAD_HANDLE;
    if (count == 0 || count > spiMaxCount)
        return PI_BAD_SPI_COUNT;
    return 0;
}

bool deviceAttached(const SpiHandle &spi)
{
    return !sensorDetached && spi.channel == deviceChannel && (spi.flags & spiFlagAuxiliary) == 0;
}

// Exchange count bytes between hostOut and hostIn on one handle at nowNs.
// A stuck MISO line reads its level and lets nothing reach the device; a
// corrupted read changes what the host gets of the first register alone.
void exchangeOnBus(const SpiHandle &spi, int64_t nowNs, size_t count, const TransferFaults &faults)
{
    if (faults.misoStuck)
        std::memset(hostIn, faults.misoLevel, count);
    else if (!deviceAttached(spi))
        std::memset(hostIn, emulatedMisoUndriven, count);
    else
        adxlBusTransaction(device, nowNs, spi.flags & spiFlagModeMask, spi.baud, clockWireTakesTime(),
                           hostOut, hostIn, count);
    if (faults.corruptFirst && count > 1)
        hostIn[1] = faults.corruptValue;
}

// One transaction that passed the checks: exchange, log, take its time.
// tx may be null (zeros are sent), rx may be null (nothing is kept), and
// both may be the same buffer, since all of tx is read before rx is written.
int transact(unsigned handle, const char *tx, char *rx, unsigned count, TransferFaults faults)
{
    const SpiHandle &spi = handles[handle];
    clockKillIfDue();
    int64_t startNs = clockDeviceNs();
    double startSec = clockWallSec();
    size_t onWire = count;
    if (faults.replaceResult && faults.result < 0)
        onWire = 0;
    else if (faults.replaceResult && static_cast<unsigned>(faults.result) < count)
        onWire = static_cast<unsigned>(faults.result);

    if (tx != nullptr)
        std::memcpy(hostOut, tx, onWire);
    else
        std::memset(hostOut, 0, onWire);
    exchangeOnBus(spi, startNs + clockLeadInNs(), onWire, faults);
    if (rx != nullptr && onWire > 0)
        std::memcpy(rx, hostIn, onWire);
    logTransaction(hostOut, onWire, startSec);

    double stallSec = faults.stallSec + faultsScheduledStall(clockWallSec());
    clockWaitUntil(startNs + clockTransferNs(onWire, spi.baud, stallSec));
    logTransactionEnd(clockWallSec());
    clockStepWall(faults.stepSec);
    for (int signo = 1; signo < signalBits; ++signo)
        if ((faults.signals >> signo) & 1u)
            std::raise(signo);
    return faults.replaceResult ? faults.result : static_cast<int>(count);
}

void armTransferFault(FaultKind kind, long n, int result, double seconds)
{
    if (!faultsArmTransfer(kind, n, result, seconds))
        std::fprintf(stderr, "emulated pigpio: fault for transfer %ld not armed\n", n);
}

}  // namespace

int gpioInitialise(void)
{
    int result = emulatedPigpioVersion;
    if (faultsTakeInitialise(&result) && result < 0) {
        printInitialiseFailure(result);
        return result;
    }
    if (!initialised)
        printNotice();
    initialised = true;
    installLibraryHandlers();
    return result;
}

// Releases the library and its SPI handles; the device keeps its state, as
// the sensor stays powered when a program ends.
void gpioTerminate(void)
{
    ++terminateCount;
    initialised = false;
    for (SpiHandle &spi : handles)
        spi.open = false;
}

int spiOpen(unsigned spiChan, unsigned baud, unsigned spiFlags)
{
    if (!initialised)
        return PI_NOT_INITIALISED;
    if (!channelValid(spiChan, spiFlags))
        return PI_BAD_SPI_CHANNEL;
    if (baud < spiMinBaud || baud > spiMaxBaud)
        return PI_BAD_SPI_SPEED;
    if ((spiFlags >> spiDefinedFlagBits) != 0)
        return PI_BAD_FLAGS;
    int slot = freeHandleSlot();
    if (slot < 0)
        return PI_NO_HANDLE;
    handles[slot] = SpiHandle{true, spiChan, baud, spiFlags};
    return slot;
}

int spiWrite(unsigned handle, char *buf, unsigned count)
{
    int status = checkTransfer(handle, count);
    if (status != 0)
        return status;
    return transact(handle, buf, nullptr, count, faultsNextWrite());
}

int spiXfer(unsigned handle, char *txBuf, char *rxBuf, unsigned count)
{
    int status = checkTransfer(handle, count);
    if (status != 0)
        return status;
    auto command = static_cast<uint8_t>(txBuf != nullptr ? txBuf[0] : 0);
    return transact(handle, txBuf, rxBuf, count, faultsNextTransfer(command));
}

double time_time(void)
{
    return clockWallSec();
}

void time_sleep(double seconds)
{
    clockSleep(seconds);
}

// The device's monotonic time: what the emulated sensor samples by, never
// stepped with the wall clock.  Weak, as is the name below: where this
// library stands in for the real one (the package check builds the pigpio
// backend against it), the program's own clock, which reads the real one,
// takes their place.
__attribute__((weak)) double hostMonotonicSec()
{
    return clockMonotonicSec();
}

__attribute__((weak)) const char *backendName()
{
    return "emulated";
}

void emulatedReset()
{
    initialised = false;
    quiet = false;
    sensorDetached = false;
    terminateCount = 0;
    for (SpiHandle &spi : handles)
        spi = SpiHandle{};
    device = adxlPowerOnState();
    clockReset();
    faultsReset();
    logReset();
}

void emulatedSetQuiet(bool beQuiet)
{
    quiet = beQuiet;
}

void emulatedUseVirtualClock(double startSec)
{
    clockUseVirtual(startSec);
    adxlRestartClock(device, clockDeviceNs());
}

void emulatedSetTransferTiming(double overheadSec, bool zeroWireTime)
{
    clockSetTransferTiming(overheadSec, zeroWireTime);
}

void emulatedFailInitialise(int result)
{
    faultsArmInitialise(result);
}

void emulatedFailTransfer(long n, int result)
{
    armTransferFault(FaultKind::fail, n, result, 0.0);
}

void emulatedStallEvery(double everySec, double stallSec)
{
    faultsStallSchedule(everySec, stallSec, 0, 0);
}

void emulatedStallRandomly(double everySec, double maxStallSec, unsigned long long seed)
{
    faultsStallSchedule(everySec, 0, maxStallSec, seed);
}

double emulatedSleptSec()
{
    return clockSleptSec();
}

double emulatedStalledSec()
{
    return faultsStalledSec();
}

void emulatedStallTransfer(long n, double extraSec)
{
    armTransferFault(FaultKind::stall, n, 0, extraSec);
}

void emulatedStepClock(long n, double stepSec)
{
    armTransferFault(FaultKind::step, n, 0, stepSec);
}

void emulatedSignalTransfer(long n, int signo)
{
    if (signo < 1 || signo >= signalBits) {
        std::fprintf(stderr, "emulated pigpio: signal %d cannot be raised\n", signo);
        return;
    }
    armTransferFault(FaultKind::signal, n, signo, 0.0);
}

void emulatedStallRead(int address, long n, double extraSec)
{
    if (!faultsArmRead(FaultKind::stallRead, address, n, extraSec, 0))
        std::fprintf(stderr, "emulated pigpio: stall for read %ld of register 0x%02X not armed\n", n,
                     static_cast<unsigned>(address));
}

void emulatedCorruptRead(int address, long n, unsigned char value)
{
    if (!faultsArmRead(FaultKind::corruptRead, address, n, 0.0, value))
        std::fprintf(stderr, "emulated pigpio: corruption of read %ld of register 0x%02X not armed\n", n,
                     static_cast<unsigned>(address));
}

void emulatedFailTransfersFrom(long n, int result)
{
    if (!faultsArmDeadFrom(n, result))
        std::fprintf(stderr, "emulated pigpio: failure with %d from transfer %ld not armed\n", result,
                     n);
}

void emulatedMisoStuckFrom(long n, unsigned char level)
{
    if (!faultsArmStuckFrom(n, level))
        std::fprintf(stderr, "emulated pigpio: MISO stuck from transfer %ld not armed\n", n);
}

void emulatedKillAt(double deviceSec)
{
    if (!clockKillAt(deviceSec))
        std::fprintf(stderr, "emulated pigpio: kill at %g s not armed\n", deviceSec);
}

void emulatedDetachSensor()
{
    sensorDetached = true;
}

void emulatedHoldCounts(int x, int y, int z)
{
    adxlHoldCounts(device, x, y, z);
}

void emulatedSetSampleClockError(double fractionOffNominal)
{
    adxlControlClockError(device, standInName, fractionOffNominal);
}

void emulatedSetSampleClockDrift(double rampPerSecond, double wanderFraction, double wanderPeriodSec)
{
    adxlControlDrift(device, standInName, rampPerSecond, wanderFraction, wanderPeriodSec);
}

double emulatedSampleArrivalSec(long long k)
{
    return adxlSampleArrivalNs(device, k) / nanosPerSecond;
}

double emulatedMeasureOriginSec()
{
    if (!device.originSet)
        return std::numeric_limits<double>::quiet_NaN();
    return static_cast<double>(device.originNs) / nanosPerSecond;
}

void emulatedSetStartPhase(double seconds)
{
    adxlControlStartPhase(device, standInName, seconds);
}

void emulatedSetTone(int axis, double amplitudeG, double hz)
{
    adxlControlTone(device, standInName, axis, amplitudeG, hz);
}

void emulatedSetNoiseCounts(int counts)
{
    adxlControlNoiseCounts(device, standInName, counts);
}

void emulatedSetSelfTestShift(int x, int y, int z)
{
    adxlControlSelfTestShift(device, x, y, z);
}

void emulatedMotion(double seconds, double *xG, double *yG, double *zG)
{
    double g[adxlAxisCount];
    adxlSignalG(device.signal, seconds, g);
    *xG = g[0];
    *yG = g[1];
    *zG = g[2];
}

int emulatedRegister(int address)
{
    if (address < 0 || address >= adxlRegisterCount)
        return -1;
    adxlAdvance(device, clockDeviceNs());
    return adxlPeekRegister(device, address);
}

long emulatedTransactionCount()
{
    return logCount();
}

int emulatedTransactionBytes(long index, unsigned char *bytes, size_t maxBytes)
{
    return logBytes(index, bytes, maxBytes);
}

bool emulatedTransactionTimes(long index, double *startSec, double *endSec)
{
    return logTimes(index, startSec, endSec);
}

long long emulatedFifoDropped()
{
    adxlAdvance(device, clockDeviceNs());
    return device.fifo.dropped;
}

int emulatedTerminateCount()
{
    return terminateCount;
}
