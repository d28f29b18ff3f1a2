// What a capture records, read back to back (the default file mode) and
// through the sensor's FIFO, on the emulated sensor with a virtual clock
// and the transfer timing of pigpio on a Pi.  Prints, for each case:
//   SNR and SFDR of a 0.5 g 437 Hz tone in a 10 s capture at 3200 Hz;
//   samples lost and rows repeated;
//   mean and largest time error of the rows against the true signal;
//   the level of a 0.5 g 300 Hz tone in a capture at 100 Hz;
//   the share of the time the reader is busy rather than asleep, and SPI
//   transactions per sensor sample.
// Then, for the FIFO capture on a steady, a ramping (0.5 % over the
// capture) and a wandering clock (+-0.25 % over a minute), its rows against
// those of one straight line fitted to the whole capture's reads, on the
// same emulated runs: time error and SNR.  Then the resident memory and the
// CPU time a second of capture costs after 10 min and 2 h at 3200 Hz, and
// the rows lost when the real program, on the real clock, is killed with
// SIGKILL at 20 random moments.
// Usage: fifo_fidelity [SECONDS]   (default 10; the whole report)
//        fifo_fidelity --memory SECONDS RATE
//        fifo_fidelity --kills N
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <pigpio.h>

#include <nlohmann/json.hpp>
#include <signal.h>
#include <fcntl.h>
#include <thread>
#include <chrono>
#include <ctime>

#include "band_limit.h"
#include "command_line.h"
#include "fifo_link.h"
#include "fifo_plan.h"
#include "fifo_queue.h"
#include "fifo_reader.h"
#include "host_clock.h"
#include "pigpio_emulation.h"
#include "run_captured.h"
#include "sample_clock.h"
#include "sensor_link.h"
#include "tone_phase.h"
#include "tuning.h"

namespace {

constexpr double pi = 3.14159265358979323846;
constexpr double toneG = 0.5;
constexpr double toneHz = 437.0;
constexpr double outOfBandHz = 300.0;
constexpr int fastRate = 3200;
constexpr int slowRate = 100;
constexpr double startPhaseSec = 0.0001234;
constexpr char csvPath[] = "/tmp/shakelog_fifo_fidelity.csv";
// Windows over which the time error is measured.
constexpr double errorWindowSec = 0.1;
// Rows the first and last windows leave out: the default mode's first rows
// come before its first sample settles.
constexpr int toneBins = 4;  // half the main lobe of the window, in bins

struct Case {
    const char *name;
    double clockError;
    double stallEverySec;
    double stallSec;
    bool randomStalls;
    double onceAtSec;  // one stall of stallSec at this time (0: none)
};

const Case cases[] = {
    {"clock nominal", 0.0, 0, 0, false, 0},
    {"clock +3 %", 0.03, 0, 0, false, 0},
    {"clock -3 %", -0.03, 0, 0, false, 0},
    {"1 ms stall every 100 ms", 0.0, 0.1, 0.001, false, 0},
    {"5 ms stall every second", 0.0, 1.0, 0.005, false, 0},
    {"random stalls up to 5 ms", 0.0, 0.1, 0.005, true, 0},
    {"one 20 ms stall", 0.0, 0, 0.020, false, 3.0},
};

struct Rows {
    std::vector<double> t, x, y, z;
};

Rows readCsv(const char *path)
{
    Rows rows;
    FILE *file = std::fopen(path, "r");
    if (file == nullptr) {
        return rows;
    }
    char line[256];
    if (std::fgets(line, sizeof line, file) == nullptr) {  // header
        std::fclose(file);
        return rows;
    }
    double t, x, y, z;
    while (std::fscanf(file, "%lf, %lf, %lf, %lf \n", &t, &x, &y, &z) == 4) {
        rows.t.push_back(t);
        rows.x.push_back(x);
        rows.y.push_back(y);
        rows.z.push_back(z);
    }
    std::fclose(file);
    return rows;
}

// In-place radix-2 FFT.
void fft(std::vector<std::complex<double>> &a)
{
    size_t n = a.size();
    for (size_t i = 1, j = 0; i < n; ++i) {
        size_t bit = n >> 1;
        for (; j & bit; bit >>= 1) {
            j ^= bit;
        }
        j ^= bit;
        if (i < j) {
            std::swap(a[i], a[j]);
        }
    }
    for (size_t len = 2; len <= n; len <<= 1) {
        std::complex<double> step = std::polar(1.0, -2 * pi / static_cast<double>(len));
        for (size_t i = 0; i < n; i += len) {
            std::complex<double> w = 1;
            for (size_t k = 0; k < len / 2; ++k, w *= step) {
                std::complex<double> u = a[i + k];
                std::complex<double> v = a[i + k + len / 2] * w;
                a[i + k] = u + v;
                a[i + k + len / 2] = u - v;
            }
        }
    }
}

// SNR (the tone against everything else but DC) and SFDR (the tone's peak
// against the largest other bin) of x, Blackman-Harris windowed.
void toneQuality(const std::vector<double> &x, double &snrDb, double &sfdrDb)
{
    size_t n = 1;
    while (n < x.size()) {
        n <<= 1;
    }
    std::vector<std::complex<double>> a(n, 0.0);
    double mean = 0;
    for (double v : x) {
        mean += v / static_cast<double>(x.size());
    }
    for (size_t i = 0; i < x.size(); ++i) {
        double p = 2 * pi * static_cast<double>(i) / static_cast<double>(x.size() - 1);
        double w = 0.35875 - 0.48829 * std::cos(p) + 0.14128 * std::cos(2 * p) -
                   0.01168 * std::cos(3 * p);
        a[i] = (x[i] - mean) * w;
    }
    fft(a);
    std::vector<double> power(n / 2);
    size_t peak = toneBins + 1;
    for (size_t k = 0; k < n / 2; ++k) {
        power[k] = std::norm(a[k]);
        if (k > toneBins && power[k] > power[peak]) {
            peak = k;
        }
    }
    double tone = 0, rest = 0, spur = 0;
    for (size_t k = toneBins + 1; k < n / 2; ++k) {
        if (k + toneBins >= peak && k <= peak + toneBins) {
            tone += power[k];
        } else {
            rest += power[k];
            spur = std::max(spur, power[k]);
        }
    }
    snrDb = 10 * std::log10(tone / rest);
    sfdrDb = 10 * std::log10(power[peak] / spur);
}

// Time error of the rows against the tone at the time each row claims:
// in each window, the phase of x against the tone at `zeroSec + t`.
void timeError(const Rows &rows, double zeroSec, double &meanUs, double &maxUs)
{
    meanUs = 0;
    maxUs = 0;
    int windows = 0;
    size_t per = static_cast<size_t>(errorWindowSec * fastRate);
    for (size_t start = 0; start + per <= rows.t.size(); start += per) {
        double errorUs = toneTimeError(&rows.t[start], &rows.x[start], per, toneHz, zeroSec) * 1e6;
        meanUs += std::fabs(errorUs);
        maxUs = std::max(maxUs, std::fabs(errorUs));
        ++windows;
    }
    meanUs = windows > 0 ? meanUs / windows : 0;
}

long repeatedRows(const Rows &rows)
{
    long repeated = 0;
    for (size_t i = 1; i < rows.t.size(); ++i) {
        repeated += rows.x[i] == rows.x[i - 1] && rows.y[i] == rows.y[i - 1] &&
                    rows.z[i] == rows.z[i - 1];
    }
    return repeated;
}

// The count of lost samples the FIFO mode reported, 0 if none.
long reportedLost(const std::string &out)
{
    size_t at = out.find("Lost ");
    return at == std::string::npos ? 0 : std::atol(out.c_str() + at + 5);
}

// Row 0 of a FIFO capture in the signal's time, from its record.
double recordedRowZeroSec(const char *csv)
{
    std::string path = std::string(csv) + ".json";
    FILE *file = std::fopen(path.c_str(), "r");
    if (file == nullptr) {
        return 0;
    }
    nlohmann::json record = nlohmann::json::parse(file, nullptr, false);
    std::fclose(file);
    if (record.is_discarded()) {
        return 0;
    }
    return record["row0"]["monotonic_s"].get<double>() - emulatedMeasureOriginSec();
}

// When the default mode's clock starts, in the signal's time: the start of
// its first data read, counted from the write that set Measure.
double firstReadSec()
{
    double measureSec = 0;
    for (long i = 0; i < emulatedLogCapacity; ++i) {
        unsigned char bytes[2];
        double start = 0, end = 0;
        int count = emulatedTransactionBytes(i, bytes, sizeof bytes);
        if (count < 0 || !emulatedTransactionTimes(i, &start, &end)) {
            break;
        }
        if (count == 2 && (bytes[0] & 0x3F) == 0x2D && bytes[1] == 0x08) {
            measureSec = start;
        } else if (count == 7) {
            return start - measureSec;
        }
    }
    return 0;
}

struct Run {
    CapturedRun captured;
    double firstReadSec;
    double rowZeroSec;
    Rows rows;
    double elapsedSec;
    double sleptSec;
    long transactions;
};

Run capture(const Case &c, bool fifo, int rate, double seconds, double amplitudeG, double hz)
{
    emulatedReset();
    emulatedSetQuiet(true);
    emulatedUseVirtualClock(0.0);
    emulatedSetSampleClockError(c.clockError);
    emulatedSetTone(0, amplitudeG, hz);
    // Off the grid of whole periods: at 200 Hz a 300 Hz tone sampled at
    // whole periods reads 0 at every sample.
    emulatedSetStartPhase(startPhaseSec);
    if (c.onceAtSec > 0) {
        // The transfer due then: the default mode's reads come every 43 us
        // or so, the FIFO mode's about 1.1 per sample.
        long n = fifo ? static_cast<long>(c.onceAtSec * 3200 * 1.125)
                      : static_cast<long>(c.onceAtSec / 43e-6);
        emulatedStallTransfer(n, c.stallSec);
    } else if (c.randomStalls) {
        emulatedStallRandomly(c.stallEverySec, c.stallSec, 20261209);
    } else if (c.stallEverySec > 0) {
        emulatedStallEvery(c.stallEverySec, c.stallSec);
    }
    std::vector<std::string> args = {"-t", std::to_string(static_cast<int>(seconds)), "-f",
                                     std::to_string(rate), "-s", csvPath};
    if (fifo) {
        args.insert(args.begin(), "-F");
    }
    Run run;
    run.captured = runShakelogCaptured(args);
    run.rows = readCsv(csvPath);
    run.firstReadSec = firstReadSec();
    run.rowZeroSec = fifo ? recordedRowZeroSec(csvPath) : run.firstReadSec;
    std::remove((std::string(csvPath) + ".json").c_str());
    run.elapsedSec = time_time();
    // A stall is time the process was held up, not time it worked.
    run.sleptSec = emulatedSleptSec() + emulatedStalledSec();
    run.transactions = emulatedTransactionCount();
    std::remove(csvPath);
    return run;
}

// The time the mode's row 0 stands for, in the signal's time (since the
// first Measure): the default mode's is its first read; the FIFO mode's row
// 0 lies its lead-in after sample 0, which arrives startPhaseSec after
// Measure.
double rowZeroSec(bool fifo, const Run &run)
{
    return fifo ? run.rowZeroSec : run.firstReadSec;
}

void report(const Case &c, bool fifo, double seconds)
{
    Run tone = capture(c, fifo, fastRate, seconds, toneG, toneHz);
    double snr = 0, sfdr = 0, meanUs = 0, maxUs = 0;
    toneQuality(tone.rows.x, snr, sfdr);
    timeError(tone.rows, rowZeroSec(fifo, tone), meanUs, maxUs);
    double samples = seconds * fastRate * (1 + c.clockError);
    long repeated = repeatedRows(tone.rows);
    long lost = fifo ? reportedLost(tone.captured.out)
                     : std::lround(samples) - static_cast<long>(tone.rows.t.size()) + repeated;
    Run alias = capture(c, fifo, slowRate, seconds, toneG, outOfBandHz);
    Run quiet = capture(c, fifo, slowRate, seconds, 0.0, outOfBandHz);
    double leak = 0;
    size_t n = std::min(alias.rows.x.size(), quiet.rows.x.size());
    for (size_t i = 0; i < n; ++i) {
        double d = alias.rows.x[i] - quiet.rows.x[i];
        leak += d * d;
    }
    double leakDb = 10 * std::log10(leak / static_cast<double>(n) / (toneG * toneG / 2));
    double busy3200 = 100 * (1 - tone.sleptSec / tone.elapsedSec);
    double busy100 = 100 * (1 - alias.sleptSec / alias.elapsedSec);
    std::printf("%-7s %-26s %6.1f %6.1f %6ld %6ld %8.1f %8.1f %8.1f %6.1f %6.1f %6.2f  %s\n",
                fifo ? "fifo" : "default", c.name, snr, sfdr, lost, repeated, meanUs, maxUs,
                leakDb, busy3200, busy100, tone.transactions / samples,
                tone.captured.status == 0 ? "status 0" : "status 1");
}

// --- One straight line for the whole capture, on the same run -----------

struct Drift {
    const char *name;
    double clockError;
    double ramp;  // fraction per second
    double wander;
    double wanderPeriodSec;
};

void setUpSensor(const Drift &d, double amplitudeG, double hz)
{
    emulatedReset();
    emulatedSetQuiet(true);
    emulatedUseVirtualClock(0.0);
    emulatedSetSampleClockError(d.clockError);
    if (d.ramp != 0 || d.wander != 0) {
        emulatedSetSampleClockDrift(d.ramp, d.wander, d.wanderPeriodSec);
    }
    emulatedSetTone(0, amplitudeG, hz);
    emulatedSetStartPhase(startPhaseSec);
}

// What the reader hands on, kept whole.
struct Kept {
    std::vector<FifoSample> samples;
    std::vector<FifoEvent> events;
};

void keepQueue(FifoQueue &queue, Kept &kept)
{
    int64_t samplesOut = 0;
    int64_t eventsOut = 0;
    for (;;) {
        int end = queue.readerEnd.load(std::memory_order_acquire);
        int64_t samplesIn = queue.samplesIn.load(std::memory_order_acquire);
        int64_t eventsIn = queue.eventsIn.load(std::memory_order_acquire);
        for (; samplesOut < samplesIn; ++samplesOut) {
            kept.samples.push_back(queue.samples[samplesOut & (queueSampleCapacity - 1)]);
        }
        for (; eventsOut < eventsIn; ++eventsOut) {
            kept.events.push_back(queue.events[eventsOut & (queueEventCapacity - 1)]);
        }
        queue.samplesFreed.store(samplesOut, std::memory_order_release);
        queue.eventsFreed.store(eventsOut, std::memory_order_release);
        if (end >= 0 && samplesOut == queue.samplesIn.load() && eventsOut == queue.eventsIn.load()) {
            return;
        }
        waitForOtherSide();
    }
}

// The FIFO capture's reads and samples of a run, then its rows by one line
// through all the reads, with the same filter.
Rows wholeLineRows(const Drift &d, int rate, double seconds, double amplitudeG, double hz, double &rowZero)
{
    setUpSensor(d, amplitudeG, hz);
    RunSettings settings = defaultSettings();
    settings.rateHz = rate;
    settings.durationSec = seconds;
    settings.fifoCapture = true;
    settings.saveToFile = true;
    deriveCounts(settings);
    uint8_t code = fifoRateCode(rate);
    BandLimit filter{};
    designBandLimit(rateCodeHz(code), rate, filter);
    gpioInitialise();
    SensorLink link{};
    openSensorLink(link);
    readDeviceId(link);
    configureSensor(link, code, fifoModeStream, 16);
    sensorHoldsConfiguration(link, code, fifoModeStream, 16);
    FifoPlan plan = planFifoCapture(settings, code, filter.halfTaps, hostMonotonicSec());
    static FifoQueue queue;
    openFifoQueue(queue);
    Kept kept;
    std::thread keeping(keepQueue, std::ref(queue), std::ref(kept));
    // Its progress lines are not the report's.
    std::fflush(stdout);
    int saved = dup(STDOUT_FILENO);
    int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    runFifoReader(plan, link, queue);
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    close(null);
    keeping.join();
    closeFifoQueue(queue);
    releaseSensor(link);
    gpioTerminate();
    // The reads, as the writer counts them (no losses in these runs).
    std::vector<ClockObservation> ring(1 << 20);
    ClockWindow window{ring.data(), static_cast<int64_t>(ring.size()), 0};
    bool known = false;
    for (const FifoEvent &e : kept.events) {
        known = known || (e.kind == FifoEventKind::status && e.entries > 0);
        if (e.kind == FifoEventKind::status && known && e.end - e.begin <= readLongestSec &&
            e.entries < fifoEntriesMax) {
            noteRead(window, e.stored + e.entries + 1, e.begin, e.end);
        }
    }
    std::vector<ClockObservation> all(static_cast<size_t>(window.added));
    int n = windowBetween(window, -INFINITY, INFINITY, all.data(), static_cast<int>(all.size()));
    ClockModel line{};
    fitClock(all.data(), n, 1 / rateCodeHz(code), line, 1);
    Rows rows;
    std::vector<double> weights(2 * static_cast<size_t>(filter.halfTaps));
    auto last = static_cast<int64_t>(kept.samples.size()) - 1;
    for (int r = 0; r < settings.sampleCount; ++r) {
        double position = indexAtSec(line, rowSec(plan, r));
        auto first = static_cast<int64_t>(std::floor(position)) - filter.halfTaps + 1;
        bandLimitWeights(filter, position, weights.data());
        double v[3] = {0, 0, 0};
        for (int tap = 0; tap < 2 * filter.halfTaps; ++tap) {
            int64_t k = std::min(std::max<int64_t>(first + tap, 0), last);
            for (int axis = 0; axis < 3; ++axis) {
                v[axis] += weights[static_cast<size_t>(tap)] * kept.samples[static_cast<size_t>(k)].counts[axis] * accConversion;
            }
        }
        rows.t.push_back(static_cast<double>(r) / rate);
        rows.x.push_back(v[0]);
        rows.y.push_back(v[1]);
        rows.z.push_back(v[2]);
    }
    releaseBandLimit(filter);
    rowZero = plan.rowZeroSec - emulatedMeasureOriginSec();
    return rows;
}

void reportDrift(const Drift &d, double seconds)
{
    setUpSensor(d, toneG, toneHz);
    std::vector<std::string> args = {"-F", "-t", std::to_string(static_cast<int>(seconds)), "-f",
                                     std::to_string(fastRate), "-s", csvPath};
    CapturedRun run = runShakelogCaptured(args);
    Rows tracked = readCsv(csvPath);
    double trackedZero = recordedRowZeroSec(csvPath);
    std::remove(csvPath);
    std::remove((std::string(csvPath) + ".json").c_str());
    double lineZero = 0;
    Rows line = wholeLineRows(d, fastRate, seconds, toneG, toneHz, lineZero);
    double snr[2], sfdr[2], meanUs[2], maxUs[2];
    toneQuality(tracked.x, snr[0], sfdr[0]);
    timeError(tracked, trackedZero, meanUs[0], maxUs[0]);
    toneQuality(line.x, snr[1], sfdr[1]);
    timeError(line, lineZero, meanUs[1], maxUs[1]);
    std::printf("%-26s %9.1f %9.1f %7.1f   %9.1f %9.1f %7.1f   %s\n", d.name, meanUs[0], maxUs[0], snr[0],
                meanUs[1], maxUs[1], snr[1], run.status == 0 ? "status 0" : "status 1");
    std::fflush(stdout);
}

// --- Memory and CPU --------------------------------------------------------

int peakMemory(const char *seconds, const char *rate)
{
    ampleMemInfo();
    pid_t child = fork();
    if (child == 0) {
        emulatedReset();
        emulatedSetQuiet(true);
        emulatedUseVirtualClock(0.0);
        CapturedRun run = runShakelogCaptured({"-F", "-t", seconds, "-f", rate, "-s", "/dev/null"});
        _exit(run.status);
    }
    int status = 0;
    struct rusage usage {};
    wait4(child, &status, 0, &usage);
    double cpu = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec * 1e-6 + usage.ru_stime.tv_sec +
                 usage.ru_stime.tv_usec * 1e-6;
    std::printf("FIFO capture of %s s at %s Hz (virtual clock, to /dev/null): status %d, peak resident memory "
                "%.1f MB, CPU %.2f ms a second of capture (the emulated sensor's own work included)\n",
                seconds, rate, WEXITSTATUS(status), usage.ru_maxrss / 1024.0, 1000 * cpu / std::atof(seconds));
    std::fflush(stdout);
    return 0;
}

// --- Kills -----------------------------------------------------------------

double unixNow()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<double>(now.tv_sec) + now.tv_nsec * 1e-9;
}

long completeRows(const std::string &path)
{
    FILE *file = std::fopen(path.c_str(), "r");
    if (file == nullptr) {
        return 0;
    }
    long lines = 0;
    int c;
    while ((c = std::fgetc(file)) != EOF) {
        lines += c == '\n';
    }
    std::fclose(file);
    return lines > 0 ? lines - 1 : 0;
}

// The real program on the real clock, killed with SIGKILL between 3 and 9 s
// into a capture at 3200 Hz: the seconds of rows due by then that the file
// lacks.
int kills(int count)
{
    const std::string path = "/tmp/shakelog_fifo_kill.csv";
    uint64_t state = 20261210;
    double sum = 0, largest = 0, cpu = 0, ran = 0;
    for (int i = 0; i < count; ++i) {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        double at = 3 + 6 * static_cast<double>(state >> 11) / static_cast<double>(uint64_t{1} << 53);
        pid_t child = fork();
        if (child == 0) {
            int null = open("/dev/null", O_WRONLY);
            dup2(null, STDOUT_FILENO);
            dup2(null, STDERR_FILENO);
            execl(SHAKELOG_BINARY, SHAKELOG_BINARY, "-F", "-t", "60", "-f", "3200", "-s", path.c_str(),
                  static_cast<char *>(nullptr));
            _exit(127);
        }
        std::this_thread::sleep_for(std::chrono::duration<double>(at));
        double killed = unixNow();
        kill(child, SIGKILL);
        int status = 0;
        struct rusage usage {};
        wait4(child, &status, 0, &usage);
        cpu += usage.ru_utime.tv_sec + usage.ru_utime.tv_usec * 1e-6 + usage.ru_stime.tv_sec +
               usage.ru_stime.tv_usec * 1e-6;
        ran += at;
        FILE *record = std::fopen((path + ".json").c_str(), "r");
        nlohmann::json json = record != nullptr ? nlohmann::json::parse(record, nullptr, false) : nlohmann::json();
        if (record != nullptr) {
            std::fclose(record);
        }
        double rowZero = json.is_object() ? json["row0"]["unix_s"].get<double>() : killed;
        double lostSec = (killed - rowZero) - completeRows(path) / 3200.0;
        sum += lostSec;
        largest = std::max(largest, lostSec);
        std::remove(path.c_str());
        std::remove((path + ".json").c_str());
    }
    std::printf("%d kills with SIGKILL, 3 to 9 s into a capture at 3200 Hz: rows lost %.2f s on average, "
                "%.2f s at most; CPU %.0f ms a second of capture on the real clock (the emulated bus busy "
                "through each transfer, as pigpio is)\n",
                count, sum / count, largest, 1000 * cpu / ran);
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc == 4 && std::string(argv[1]) == "--memory") {
        return peakMemory(argv[2], argv[3]);
    }
    if (argc == 3 && std::string(argv[1]) == "--kills") {
        return kills(std::atoi(argv[2]));
    }
    double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
    std::printf("Emulated sensor, virtual clock, pigpio's transfer timing; %.0f s captures.\n",
                seconds);
    std::printf("%-7s %-26s %6s %6s %6s %6s %8s %8s %8s %6s %6s %6s\n", "mode", "case",
                "SNR", "SFDR", "lost", "rep.", "terr", "terrmax", "300@100", "busy%", "busy%",
                "xfer/");
    std::printf("%-7s %-26s %6s %6s %6s %6s %8s %8s %8s %6s %6s %6s\n", "", "", "dB", "dB",
                "", "rows", "mean us", "us", "dB", "3200", "100", "sample");
    for (const Case &c : cases) {
        report(c, false, seconds);
        report(c, true, seconds);
    }
    std::printf("\nFIFO capture at 3200 Hz: the tracked clock, against one line through the whole capture's reads\n");
    std::printf("%-26s %9s %9s %7s   %9s %9s %7s\n", "clock", "tracked", "max", "SNR", "one line", "max", "SNR");
    std::printf("%-26s %9s %9s %7s   %9s %9s %7s\n", "", "mean us", "us", "dB", "mean us", "us", "dB");
    const Drift drifts[] = {
        {"steady, 2 % fast", 0.02, 0, 0, 0},
        {"ramp of 0.5 %", -0.01, 0.005 / seconds, 0, 0},
        {"wander of +-0.25 %, 1 min", 0.01, 0, 0.0025, 60},
    };
    for (const Drift &d : drifts) {
        reportDrift(d, seconds);
    }
    std::printf("\n");
    // Measured in a fresh process: a child forked from this one would count
    // the pages the runs above left resident.
    std::fflush(stdout);
    for (const char *memorySeconds : {"600", "7200"}) {
        pid_t child = fork();
        if (child == 0) {
            execl("/proc/self/exe", argv[0], "--memory", memorySeconds, "3200", static_cast<char *>(nullptr));
            _exit(127);
        }
        waitpid(child, nullptr, 0);
    }
    return kills(20);
}
