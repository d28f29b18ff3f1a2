// The CSV writer: byte-for-byte agreement with printf's "%.5f" lines, the
// file layout and its size bound, and what happens with destinations that
// cannot be written, are not regular files, or fill up.
#include "csv_output.h"
#include "run_captured.h"
#include "save_destination.h"
#include "save_space.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

inline constexpr double countToG = 0.00390625;
inline constexpr uid_t unprivilegedUser = 65534;

std::string printfRow(double t, double x, double y, double z)
{
    char line[4 * 400];
    std::snprintf(line, sizeof line, "%.5f, %.5f, %.5f, %.5f \n", t, x, y, z);
    return line;
}

std::string formattedRow(double t, double x, double y, double z)
{
    char line[csvRowMaxChars];
    char *end = formatCsvRow(line, t, x, y, z);
    return std::string(line, end);
}

// Formats each value in every column position; returns how many rows
// differed from printf, reporting the first few.
int countMismatches(const std::vector<double> &values)
{
    int mismatches = 0;
    for (std::size_t i = 0; i < values.size(); ++i) {
        double v = values[i];
        double w = values[(i * 7 + 3) % values.size()];
        std::string expected = printfRow(v, -v, w, 0.5 * v);
        std::string actual = formattedRow(v, -v, w, 0.5 * v);
        if (actual != expected && ++mismatches <= 5) {
            ADD_FAILURE() << "value " << std::hexfloat << v << ": got \"" << actual
                          << "\", printf gives \"" << expected << "\"";
        }
    }
    return mismatches;
}

void writeFile(const std::string &path, const std::string &content)
{
    std::ofstream(path, std::ios::binary) << content;
}

struct Rows {
    std::vector<double> t, x, y, z;
};

ResampledSeries viewOf(Rows &rows)
{
    return ResampledSeries{rows.t.data(), rows.x.data(), rows.y.data(), rows.z.data()};
}

Rows randomRows(int count, unsigned seed)
{
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> counts(-4096, 4095);
    Rows rows;
    for (int k = 0; k < count; ++k) {
        rows.t.push_back(static_cast<double>(static_cast<float>(k)) * (1.0 / 3200.0));
        rows.x.push_back(counts(random) * countToG);
        rows.y.push_back(counts(random) * countToG);
        rows.z.push_back(counts(random) * countToG);
    }
    return rows;
}

std::string expectedFile(const Rows &rows)
{
    std::string content = "time, x, y, z\n";
    for (std::size_t k = 0; k < rows.t.size(); ++k) {
        content += printfRow(rows.t[k], rows.x[k], rows.y[k], rows.z[k]);
    }
    return content;
}

class CsvFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/csv_output_test.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        chmod(dir.c_str(), 0755);  // reachable by the unprivileged user below
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    // Runs writeCsvFile and returns what it printed.
    std::string write(const std::string &path, Rows &rows, bool expectSuccess)
    {
        ResampledSeries series = viewOf(rows);
        ::testing::internal::CaptureStdout();
        bool written = writeCsvFile(path.c_str(), series, static_cast<int>(rows.t.size()));
        std::string printed = ::testing::internal::GetCapturedStdout();
        EXPECT_EQ(written, expectSuccess) << path;
        return printed;
    }

    std::string check(const std::string &path, bool expectWritable)
    {
        ::testing::internal::CaptureStdout();
        bool writable = checkSaveDestination(path.c_str());
        std::string printed = ::testing::internal::GetCapturedStdout();
        EXPECT_EQ(writable, expectWritable) << path;
        return printed;
    }

    std::string dir;
};

}  // namespace

TEST(CsvFormat, AccelerationValuesOfEveryCountMatchPrintf)
{
    std::vector<double> values;
    for (int count = -32768; count <= 32767; ++count) {
        values.push_back(count * countToG);
    }
    EXPECT_EQ(countMismatches(values), 0);
}

TEST(CsvFormat, GridTimesMatchPrintf)
{
    std::vector<double> values;
    for (int rate : {1, 3, 5, 7, 100, 333, 1000, 1600, 3199, 3200}) {
        double period = 1.0 / rate;
        for (int k = 0; k < 20000; ++k) {
            values.push_back(static_cast<double>(static_cast<float>(k)) * period);
        }
        for (int k = (1 << 24) - 2000; k < (1 << 24) + 2000; ++k) {
            values.push_back(static_cast<double>(static_cast<float>(k)) * period);
        }
    }
    EXPECT_EQ(countMismatches(values), 0);
}

TEST(CsvFormat, TiesAndNearTiesRoundLikePrintf)
{
    std::vector<double> values{
        0.0,   -0.0, 0.000005, -0.000005,         0.000015,     0.000025,         1e-6, -1e-6, -4e-6,
        -6e-6, 0.5,  2.5,      4294967295.999995, 4294967296.0, 4294967296.000005};
    // n/64 and n/2048 times 10^5 end in exactly one half for odd n.
    for (int n = -5000; n <= 5000; ++n) {
        values.push_back(n / 64.0);
        values.push_back(n / 2048.0);
        values.push_back(n / 1048576.0);
    }
    // Values whose products come within rounding error of a half.
    std::mt19937_64 random(7);
    std::uniform_int_distribution<std::int64_t> units(0, 200000000000LL);
    for (int i = 0; i < 20000; ++i) {
        double tie = (static_cast<double>(units(random)) + 0.5) / 100000.0;
        double below = std::nextafter(tie, 0.0);
        values.insert(values.end(), {tie, below, std::nextafter(below, 0.0), std::nextafter(tie, 2e6),
                                     std::nextafter(std::nextafter(tie, 2e6), 2e6)});
    }
    EXPECT_EQ(countMismatches(values), 0);
}

TEST(CsvFormat, ArbitraryDoublesMatchPrintf)
{
    // Random bit patterns: huge, tiny, subnormal, infinite and NaN values.
    std::mt19937_64 random(11);
    std::vector<double> values{
        std::numeric_limits<double>::max(),        -std::numeric_limits<double>::max(),
        std::numeric_limits<double>::denorm_min(), std::numeric_limits<double>::infinity(),
        -std::numeric_limits<double>::infinity(),  std::numeric_limits<double>::quiet_NaN(),
        -std::numeric_limits<double>::quiet_NaN()};
    std::uniform_real_distribution<double> exponent(-8.0, 16.0);
    for (int i = 0; i < 30000; ++i) {
        std::uint64_t bits = random();
        double value = 0.0;
        std::memcpy(&value, &bits, sizeof value);
        values.push_back(value);
        double signedScale = (bits & 1) != 0 ? -1.0 : 1.0;
        values.push_back(signedScale * std::pow(10.0, exponent(random)));
    }
    EXPECT_EQ(countMismatches(values), 0);
}

TEST(CsvFormat, ExampleLineFromCounts)
{
    EXPECT_EQ(formattedRow(0.0, 3 * countToG, -1 * countToG, 257 * countToG),
              "0.00000, 0.01172, -0.00391, 1.00391 \n");
}

TEST(CsvFormat, TheSizeBoundHoldsTheWidestRowsOfAnyCapture)
{
    // At 1 Hz the last row's time is a second short of the duration; at
    // higher rates it is a part of a second short.
    EXPECT_EQ(csvBytesBound(0, durationMax), 14);
    // The default mode's durations, then the FIFO capture's longer ones.
    for (int longest : {durationMax, fifoDurationMax}) {
        for (int rows : {1, 9, 10, 11, 99, 100, 3200, 21474, 21475, 68716800, 2147481600}) {
            double lastTime = std::min(rows, longest) - 0.00001;
            auto widest = static_cast<long long>(formattedRow(lastTime, -16.0, -16.0, -16.0).size());
            EXPECT_GE(csvBytesBound(rows, longest), 14 + rows * widest) << rows;
            EXPECT_LE(csvBytesBound(rows, longest), 14 + rows * (widest + 1))
                << rows << ": no more than a byte a row over";
        }
    }
}

TEST_F(CsvFile, NoRowsGiveTheHeaderOnly)
{
    Rows rows;
    std::string path = dir + "/empty.csv";
    EXPECT_EQ(write(path, rows, true), "");
    EXPECT_EQ(readFile(path), "time, x, y, z\n");
}

TEST_F(CsvFile, ContentIsThatOfThePrintfLoop)
{
    // Several buffers' worth, so that the chunked writes are covered.
    Rows rows = randomRows(50000, 3);
    std::string path = dir + "/capture.csv";
    writeFile(path, std::string(3000000, 'x'));  // longer than the new content
    EXPECT_EQ(write(path, rows, true), "");
    EXPECT_EQ(readFile(path), expectedFile(rows));
}

TEST_F(CsvFile, DestinationsThatCannotBeOpenedAreRefusedBeforeAndAtTheWrite)
{
    writeFile(dir + "/plain", "x");
    struct Refusal {
        std::string path;
        std::string reason;
    };
    const Refusal refusals[] = {
        {dir + "/no/such/dir/out.csv", "No such file or directory"},
        {dir, "Is a directory"},
        {dir + "/new/", "Is a directory"},
        {dir + "/plain/out.csv", "Not a directory"},
        {"", "No such file or directory"},
    };
    for (const Refusal &refusal : refusals) {
        Rows rows = randomRows(3, 1);
        EXPECT_EQ(check(refusal.path, false),
                  "Cannot write the output file " + refusal.path + ": " + refusal.reason + "\n");
        EXPECT_EQ(write(refusal.path, rows, false),
                  "Failed to write the output file " + refusal.path + ": " + refusal.reason + "\n");
    }
    EXPECT_FALSE(std::filesystem::exists(dir + "/no"));
    EXPECT_FALSE(std::filesystem::exists(dir + "/new"));
}

TEST_F(CsvFile, WritableDestinationsPassTheCheckUntouched)
{
    std::string existing = dir + "/old.csv";
    writeFile(existing, "old content");
    EXPECT_EQ(check(existing, true), "");
    EXPECT_EQ(readFile(existing), "old content");
    EXPECT_EQ(check(dir + "/new.csv", true), "");
    EXPECT_FALSE(std::filesystem::exists(dir + "/new.csv"));
    EXPECT_EQ(check("/dev/null", true), "");
    EXPECT_EQ(check("/dev/stdout", true), "");
}

TEST_F(CsvFile, FullDeviceReportsTheFailure)
{
    Rows rows = randomRows(10, 2);
    EXPECT_EQ(check("/dev/full", true), "") << "only the write can tell";
    EXPECT_EQ(write("/dev/full", rows, false),
              "Failed to write the output file /dev/full: No space left on device\n");
}

TEST_F(CsvFile, CutOffWriteKeepsTheCompleteRows)
{
    // A file size limit stands in for a disk that fills up mid-write: within
    // the first buffer, and after two whole buffers went out.  Through
    // writeCsvFile, and row by row, where the writer then takes nothing more.
    Rows rows = randomRows(5000, 4);
    std::string expected = expectedFile(rows);
    std::string path = dir + "/cut.csv";
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    for (rlim_t limit : {rlim_t{4096}, rlim_t{150000}}) {
        for (bool rowByRow : {false, true}) {
            std::filesystem::remove(path);
            if (rowByRow) {
                writeFile(path, "previous capture\n");
            }
            rlimit limited = saved;
            limited.rlim_cur = limit;
            ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
            std::string printed;
            CsvWriter writer{};
            if (rowByRow) {
                ::testing::internal::CaptureStdout();
                EXPECT_TRUE(openCsvFile(path.c_str(), writer));
                std::size_t k = 0;
                while (k < rows.t.size() &&
                       writeCsvRow(writer, rows.t[k], rows.x[k], rows.y[k], rows.z[k])) {
                    ++k;
                }
                printed = ::testing::internal::GetCapturedStdout();
                ::testing::internal::CaptureStdout();
                EXPECT_FALSE(writeCsvRow(writer, 0.0, 0.0, 0.0, 0.0));
                EXPECT_FALSE(closeCsvFile(writer));
                EXPECT_EQ(::testing::internal::GetCapturedStdout(), "") << "said once";
            } else {
                printed = write(path, rows, false);
            }
            setrlimit(RLIMIT_FSIZE, &saved);
            std::string kept = readFile(path);
            long long keptRows = std::count(kept.begin(), kept.end(), '\n') - 1;
            std::string label = std::to_string(limit) + (rowByRow ? " row by row" : "");
            ASSERT_FALSE(kept.empty()) << label << ": the rows written are gone";
            EXPECT_EQ(kept, expected.substr(0, kept.size())) << label;
            EXPECT_EQ(kept.back(), '\n') << label << ": a part of a row is left";
            EXPECT_GT(expected.find('\n', kept.size()) + 1, limit) << label << ": a row more fits";
            EXPECT_EQ(printed, "Failed to write the output file " + path + ": File too large\n" + path +
                                   " keeps its first " + std::to_string(keptRows) + " rows.\n")
                << label;
            if (rowByRow) {
                EXPECT_EQ(writer.rowsWritten, keptRows) << label;
            }
        }
    }
    std::signal(SIGXFSZ, previousHandler);
}

TEST_F(CsvFile, NoWritePermissionIsRefusedAndDestroysNothing)
{
    std::string readOnlyFile = dir + "/readonly.csv";
    std::string readOnlyDir = dir + "/sealed";
    writeFile(readOnlyFile, "keep me");
    ASSERT_EQ(chmod(readOnlyFile.c_str(), 0444), 0);
    ASSERT_EQ(mkdir(readOnlyDir.c_str(), 0555), 0);
    std::string newFile = readOnlyDir + "/out.csv";
    // Permission bits do not bind root: run the checks as nobody.
    bool dropped = geteuid() == 0;
    if (dropped && seteuid(unprivilegedUser) != 0) {
        GTEST_SKIP() << "running as root without the right to become an unprivileged user";
    }
    Rows rows = randomRows(3, 1);
    std::string fileCheck = check(readOnlyFile, false);
    std::string fileWrite = write(readOnlyFile, rows, false);
    std::string dirCheck = check(newFile, false);
    std::string dirWrite = write(newFile, rows, false);
    if (dropped) {
        ASSERT_EQ(seteuid(0), 0);
    }
    EXPECT_EQ(fileCheck, "Cannot write the output file " + readOnlyFile + ": Permission denied\n");
    EXPECT_EQ(fileWrite, "Failed to write the output file " + readOnlyFile + ": Permission denied\n");
    EXPECT_EQ(readFile(readOnlyFile), "keep me");
    EXPECT_EQ(dirCheck, "Cannot write the output file " + newFile + ": Permission denied\n");
    EXPECT_EQ(dirWrite, "Failed to write the output file " + newFile + ": Permission denied\n");
    EXPECT_FALSE(std::filesystem::exists(newFile));
}

TEST_F(CsvFile, NamedPipeAndNullDeviceAreWrittenInPlace)
{
    Rows rows = randomRows(20, 5);
    EXPECT_EQ(write("/dev/null", rows, true), "");
    EXPECT_TRUE(std::filesystem::is_character_file("/dev/null"));

    std::string fifo = dir + "/pipe";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(check(fifo, true), "");
    int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    EXPECT_EQ(write(fifo, rows, true), "");
    std::string received(4096, '\0');
    ssize_t length = read(reader, received.data(), received.size());
    close(reader);
    ASSERT_GT(length, 0);
    received.resize(static_cast<std::size_t>(length));
    EXPECT_EQ(received, expectedFile(rows));
    EXPECT_TRUE(std::filesystem::is_fifo(fifo));
}

TEST_F(CsvFile, StandardOutputRedirectedToAFileKeepsEarlierLines)
{
    // shakelog -s /dev/stdout > file: the series must follow the messages
    // already printed, and later messages must follow the series.
    Rows rows = randomRows(20, 6);
    std::string path = dir + "/stdout.txt";
    int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(file, 0);
    std::fflush(stdout);
    int savedStdout = dup(STDOUT_FILENO);
    dup2(file, STDOUT_FILENO);
    close(file);
    std::printf("Writing to the output file...\n");
    ResampledSeries series = viewOf(rows);
    bool written = writeCsvFile("/dev/stdout", series, 20);
    std::printf("Done\n");
    std::fflush(stdout);
    dup2(savedStdout, STDOUT_FILENO);
    close(savedStdout);
    EXPECT_TRUE(written);
    EXPECT_EQ(readFile(path), "Writing to the output file...\n" + expectedFile(rows) + "Done\n");
}
