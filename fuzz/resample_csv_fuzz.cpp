// Resampling and CSV writing on arbitrary raw records.  The fast resampler
// must pick, row for row, exactly what the plain nearest-reading rule picks;
// every row must be formatted byte for byte as printf's "%.5f" would; and the
// file written must be the header followed by those rows.
//
// Input: a flags byte, two bytes of row count, the sample period, then raw
// readings to the end.  Flag bit 0 takes the period as a raw double (any
// value, NaN and negative included) instead of 1/rate for a rate of
// 1..3200 Hz; bit 1 takes each reading's time as a raw double instead of a
// small time step; bit 2 reads each axis as a decimal (a 32-bit integer over
// a power of ten) whose low 16 bits are the reading's count and whose value
// is formatted on its own, to land near the halfway points where "%.5f"
// rounding is decided.  Stepped times
// are whole multiples of an eighth of the period, so that readings land
// exactly on grid points and exactly halfway between them, where ties of
// the nearest-reading rule are decided.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "csv_output.h"
#include "reference_resample.h"
#include "resample.h"
#include "tuning.h"

namespace {

inline constexpr int maxRows = 256;  // keeps the plain rule's rows x readings scan quick
inline constexpr int freqMaxRate = 3200;
inline constexpr int stepsPerPeriod = 8;
inline constexpr uint8_t flagRawPeriod = 0x01;
inline constexpr uint8_t flagRawTimes = 0x02;
inline constexpr uint8_t flagDecimalValues = 0x04;
inline constexpr int maxDecimalPlaces = 8;

struct Reader {
    const uint8_t *data;
    size_t size;
};

bool take(Reader &reader, void *out, size_t bytes)
{
    if (reader.size < bytes) {
        return false;
    }
    memcpy(out, reader.data, bytes);
    reader.data += bytes;
    reader.size -= bytes;
    return true;
}

struct Columns {
    std::vector<double> t;
    std::vector<double> x;
    std::vector<double> y;
    std::vector<double> z;
};

struct Readings {
    std::vector<double> t;
    std::vector<int16_t> x;
    std::vector<int16_t> y;
    std::vector<int16_t> z;
    std::vector<double> decimals;  // formatted only
};

void resize(Columns &columns, int count)
{
    columns.t.resize(count);
    columns.x.resize(count);
    columns.y.resize(count);
    columns.z.resize(count);
}

RawCapture captureOf(Readings &readings)
{
    return RawCapture{readings.t.data(), readings.x.data(), readings.y.data(), readings.z.data(),
                      static_cast<int>(readings.t.size())};
}

ResampledSeries seriesOf(Columns &columns)
{
    return ResampledSeries{columns.t.data(), columns.x.data(), columns.y.data(),
                           columns.z.data()};
}

// A sensor count, or a decimal number such as 1.000005 kept for formatting
// whose low 16 bits make the count.
bool takeCount(Reader &reader, bool decimal, Readings &raw, int16_t &count)
{
    if (!decimal) {
        return take(reader, &count, sizeof count);
    }
    int32_t mantissa = 0;
    uint8_t places = 0;
    if (!take(reader, &mantissa, sizeof mantissa) || !take(reader, &places, sizeof places)) {
        return false;
    }
    double scale = 1;
    for (int i = 0; i < places % (maxDecimalPlaces + 1); ++i) {
        scale *= 10;
    }
    raw.decimals.push_back(mantissa / scale);
    count = static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint32_t>(mantissa)));
    return true;
}

void readReadings(Reader &reader, uint8_t flags, double samplePeriod, Readings &raw)
{
    bool rawTimes = (flags & flagRawTimes) != 0;
    bool decimal = (flags & flagDecimalValues) != 0;
    int64_t steps = 0;
    double step = samplePeriod / stepsPerPeriod;
    for (;;) {
        double t = 0;
        int16_t x = 0;
        int16_t y = 0;
        int16_t z = 0;
        if (rawTimes) {
            if (!take(reader, &t, sizeof t)) {
                return;
            }
        } else {
            int8_t delta = 0;
            if (!take(reader, &delta, sizeof delta)) {
                return;
            }
            // Mostly forward, now and then back, as a clock that is set.
            steps += delta;
            t = static_cast<double>(steps) * step;
        }
        if (!takeCount(reader, decimal, raw, x) || !takeCount(reader, decimal, raw, y) ||
            !takeCount(reader, decimal, raw, z)) {
            return;
        }
        raw.t.push_back(t);
        raw.x.push_back(x);
        raw.y.push_back(y);
        raw.z.push_back(z);
    }
}

void require(bool condition, const char *what)
{
    if (!condition) {
        fprintf(stderr, "invariant broken: %s\n", what);
        abort();
    }
}

bool sameBits(const std::vector<double> &a, const std::vector<double> &b)
{
    return a.size() == b.size() &&
           (a.empty() || memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

// formatCsvRow against snprintf; appends the row to text.
void checkRow(double t, double x, double y, double z, std::vector<char> &text)
{
    // Exactly csvRowMaxChars bytes, so that ASan sees any write past them.
    std::vector<char> row(csvRowMaxChars);
    char *end = formatCsvRow(row.data(), t, x, y, z);
    size_t length = static_cast<size_t>(end - row.data());
    char expected[csvRowMaxChars + 1];
    int expectedLength =
        snprintf(expected, sizeof expected, "%.5f, %.5f, %.5f, %.5f \n", t, x, y, z);
    require(expectedLength >= 0 && expectedLength <= csvRowMaxChars,
            "csvRowMaxChars holds the longest row");
    if (length != static_cast<size_t>(expectedLength) || memcmp(row.data(), expected, length) != 0) {
        fprintf(stderr, "row %.17g %.17g %.17g %.17g\n  got:      %.*s  expected: %s", t, x, y,
                z, static_cast<int>(length), row.data(), expected);
        abort();
    }
    text.insert(text.end(), row.data(), end);
}

// The file writeCsvFile leaves, read back from an in-memory file.
int csvFile = -1;
char csvPath[64];

std::vector<char> writtenFile(Columns &series, int rows)
{
    ResampledSeries view = seriesOf(series);
    require(writeCsvFile(csvPath, view, rows), "an in-memory file can be written");
    std::vector<char> text(static_cast<size_t>(lseek(csvFile, 0, SEEK_END)));
    require(pread(csvFile, text.data(), text.size(), 0) == static_cast<ssize_t>(text.size()),
            "the written file reads back");
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    csvFile = memfd_create("resample_csv_fuzz", 0);
    if (csvFile < 0) {
        abort();
    }
    snprintf(csvPath, sizeof csvPath, "/proc/self/fd/%d", csvFile);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Reader reader{data, size};
    uint8_t flags = 0;
    uint16_t rowWord = 0;
    if (!take(reader, &flags, sizeof flags) || !take(reader, &rowWord, sizeof rowWord)) {
        return 0;
    }
    int rows = rowWord % (maxRows + 1);
    double samplePeriod = 0;
    if ((flags & flagRawPeriod) != 0) {
        if (!take(reader, &samplePeriod, sizeof samplePeriod)) {
            return 0;
        }
    } else {
        uint16_t rateWord = 0;
        if (!take(reader, &rateWord, sizeof rateWord)) {
            return 0;
        }
        samplePeriod = 1.0 / (rateWord % freqMaxRate + 1);
    }
    Readings raw;
    readReadings(reader, flags, samplePeriod, raw);
    raw.t.shrink_to_fit();  // exact bounds for ASan
    raw.x.shrink_to_fit();
    raw.y.shrink_to_fit();
    raw.z.shrink_to_fit();
    RawCapture capture = captureOf(raw);

    Columns fast;
    resize(fast, rows);
    ResampledSeries fastView = seriesOf(fast);
    resampleNearest(capture, rows, samplePeriod, fastView);
    if (capture.rawCount > 0) {
        Columns plain;
        resize(plain, rows);
        ResampledSeries plainView = seriesOf(plain);
        referenceResampleNearest(capture, rows, samplePeriod, plainView);
        require(sameBits(fast.t, plain.t), "grid times as the rule gives them");
        require(sameBits(fast.x, plain.x) && sameBits(fast.y, plain.y) &&
                    sameBits(fast.z, plain.z),
                "each row takes the reading the rule picks");
    }

    std::vector<char> expected(csvHeader, csvHeader + sizeof csvHeader - 1);
    for (int row = 0; row < rows; ++row) {
        checkRow(fast.t[row], fast.x[row], fast.y[row], fast.z[row], expected);
    }
    require(writtenFile(fast, rows) == expected, "the file is the header and the rows");

    // Readings the resampler skipped, and the decimals, are formatted too.
    std::vector<char> unused;
    for (int i = 0; i < capture.rawCount; ++i) {
        checkRow(raw.t[i], raw.x[i] * accConversion, raw.y[i] * accConversion,
                 raw.z[i] * accConversion, unused);
    }
    for (size_t i = 0; i + 3 < raw.decimals.size(); i += 4) {
        checkRow(raw.decimals[i], raw.decimals[i + 1], raw.decimals[i + 2], raw.decimals[i + 3],
                 unused);
    }
    return 0;
}
