// What a capture records, read back to back (the default file mode) and
// through the sensor's FIFO, on the emulated sensor with a virtual clock
// and the transfer timing of pigpio on a Pi.  Prints, for each case:
//   SNR and SFDR of a 0.5 g 437 Hz tone in a 10 s capture at 3200 Hz;
//   samples lost and rows repeated;
//   mean and largest time error of the rows against the true signal;
//   the level of a 0.5 g 300 Hz tone in a capture at 100 Hz;
//   the share of the time the reader is busy rather than asleep, and SPI
//   transactions per sensor sample.
// Usage: fifo_fidelity [SECONDS]   (default 10)
//        fifo_fidelity --memory SECONDS RATE
//   the peak resident memory of a FIFO capture of SECONDS at RATE Hz (to
//   /dev/null), against the bytes its check counts on.
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

#include "command_line.h"
#include <nlohmann/json.hpp>
#include "pigpio_emulation.h"
#include "run_captured.h"

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
        // The least-squares fit of a sine and a cosine: exact for a window
        // of any length, not only of whole cycles.
        double ss = 0, sc = 0, cc = 0, xs = 0, xc = 0;
        for (size_t i = start; i < start + per; ++i) {
            double phase = 2 * pi * toneHz * (zeroSec + rows.t[i]);
            double sine = std::sin(phase), cosine = std::cos(phase);
            ss += sine * sine;
            sc += sine * cosine;
            cc += cosine * cosine;
            xs += rows.x[i] * sine;
            xc += rows.x[i] * cosine;
        }
        double errorUs = std::atan2(xc * ss - xs * sc, xs * cc - xc * sc) / (2 * pi * toneHz) * 1e6;
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

// The start of the first write that set Measure: the signal's time 0.
double measureWriteSec()
{
    for (long i = 0; i < emulatedLogCapacity; ++i) {
        unsigned char bytes[2];
        double start = 0, end = 0;
        int count = emulatedTransactionBytes(i, bytes, sizeof bytes);
        if (count < 0 || !emulatedTransactionTimes(i, &start, &end)) {
            break;
        }
        if (count == 2 && (bytes[0] & 0x3F) == 0x2D && bytes[1] == 0x08) {
            return start;
        }
    }
    return 0;
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
    waitpid(child, &status, 0);
    struct rusage usage {};
    getrusage(RUSAGE_CHILDREN, &usage);
    RunSettings settings = defaultSettings();
    settings.fifoCapture = true;
    settings.saveToFile = true;
    settings.durationSec = std::atoi(seconds);
    settings.rateHz = std::atoi(rate);
    deriveCounts(settings);
    std::printf("FIFO capture of %s s at %s Hz: status %d, peak resident memory %.1f MB\n", seconds,
                rate, WEXITSTATUS(status), usage.ru_maxrss / 1024.0);
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc == 4 && std::string(argv[1]) == "--memory") {
        return peakMemory(argv[2], argv[3]);
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
    return 0;
}
