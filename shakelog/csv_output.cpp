// Writing the resampled series as CSV: number formatting that reproduces
// printf's "%.5f" byte for byte at a fraction of its cost, large unbuffered
// writes with every result checked, and a look at the destination before
// minutes of capture are spent on a file that cannot be written.
#include "csv_output.h"

#include <cerrno>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

inline constexpr int csvDecimals = 5;
inline constexpr double csvScale = 100000.0;  // 10^csvDecimals, exact in a double
inline constexpr std::uint64_t csvScaleInt = 100000;
// Below 2^32 a value times 10^5 stays below 2^49, where every integer and
// every integer plus one half is a double.
inline constexpr double fastFormatLimit = 4294967296.0;
// value * 10^5 = value * 3125 * 2^5 is exact when the value's 53-bit
// significand ends in 12 zero bits (41 bits times 3125 < 2^53).
inline constexpr std::uint64_t significandMask = (std::uint64_t{1} << 52) - 1;
inline constexpr std::uint64_t exactProductLowBits = (std::uint64_t{1} << 12) - 1;
inline constexpr char csvSeparator[] = ", ";
inline constexpr char csvLineEnd[] = " \n";
inline constexpr std::size_t csvBufferBytes = std::size_t{1} << 18;
inline constexpr mode_t newFileMode = 0666;  // narrowed by the umask, as fopen does

char *formatWithLibrary(char *out, double value)
{
    return std::to_chars(out, out + csvNumberMaxChars, value, std::chars_format::fixed, csvDecimals)
        .ptr;
}

bool scalesExactly(double magnitude)
{
    std::uint64_t bits = 0;
    std::memcpy(&bits, &magnitude, sizeof bits);
    return ((bits & significandMask) & exactProductLowBits) == 0;
}

char *appendFiveDecimals(char *out, std::uint64_t fraction)
{
    for (int digit = csvDecimals - 1; digit >= 0; --digit) {
        out[digit] = static_cast<char>('0' + fraction % 10);
        fraction /= 10;
    }
    return out + csvDecimals;
}

// "%.5f" of a double: the exact binary value rounded to five decimals, ties
// to even, with a "-" whenever the sign bit is set (so -0.0 and -0.000001
// both give "-0.00000").
//
// The product p = |value| * 10^5 is rounded once, but n + 1/2 and n + 1 are
// doubles here and rounding is monotonic, so the rounded product lies on the
// same side of each as the exact one, or on it.  Only a rounded product of
// exactly n + 1/2 is ambiguous: if the product was exact it is a true tie and
// goes to the even neighbour; otherwise std::to_chars, which works on the
// exact value, decides.  So do huge and non-finite values.
char *formatFixed5(char *out, double value)
{
    double magnitude = std::fabs(value);
    if (!(magnitude < fastFormatLimit)) {
        return formatWithLibrary(out, value);
    }
    double scaled = magnitude * csvScale;
    auto whole = static_cast<std::uint64_t>(scaled);
    double fraction = scaled - static_cast<double>(whole);  // exact
    bool roundUp = fraction > 0.5;
    if (fraction == 0.5) {
        if (!scalesExactly(magnitude)) {
            return formatWithLibrary(out, value);
        }
        roundUp = (whole & 1) != 0;
    }
    std::uint64_t rounded = whole + (roundUp ? 1 : 0);
    if (std::signbit(value)) {
        *out++ = '-';
    }
    out = std::to_chars(out, out + csvNumberMaxChars, rounded / csvScaleInt).ptr;
    *out++ = '.';
    return appendFiveDecimals(out, rounded % csvScaleInt);
}

char *appendText(char *out, const char *text, std::size_t length)
{
    std::memcpy(out, text, length);
    return out + length;
}

// Returns 0 or the errno of the failed write.
int writeAll(int fd, const char *data, std::size_t length)
{
    while (length > 0) {
        ssize_t written = write(fd, data, length);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        if (written == 0) {
            return EIO;  // a device that takes nothing would loop forever
        }
        data += written;
        length -= static_cast<std::size_t>(written);
    }
    return 0;
}

int writeCsvLines(int fd, const ResampledSeries &series, int sampleCount)
{
    static char buffer[csvBufferBytes];
    char *const flushMark = buffer + csvBufferBytes - csvRowMaxChars;
    char *out = appendText(buffer, csvHeader, sizeof csvHeader - 1);
    for (int row = 0; row < sampleCount; ++row) {
        if (out > flushMark) {
            int error = writeAll(fd, buffer, static_cast<std::size_t>(out - buffer));
            if (error != 0) {
                return error;
            }
            out = buffer;
        }
        out = formatCsvRow(out, series.outT[row], series.outX[row], series.outY[row],
                           series.outZ[row]);
    }
    return writeAll(fd, buffer, static_cast<std::size_t>(out - buffer));
}

struct OutputFile {
    int fd;
    bool created;  // the file did not exist before this write
    bool regular;  // a regular file, not a pipe, terminal or device
    bool shared;   // the same regular file that standard output writes to
};

bool sameFile(int fd, int otherFd)
{
    struct stat one {};
    struct stat other {};
    return fstat(fd, &one) == 0 && fstat(otherFd, &other) == 0 && one.st_dev == other.st_dev &&
           one.st_ino == other.st_ino;
}

int openWithoutTruncating(const char *path, bool &created)
{
    created = false;
    int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd >= 0 || errno != ENOENT) {
        return fd;
    }
    fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, newFileMode);
    if (fd >= 0) {
        created = true;
        return fd;
    }
    if (errno != EEXIST) {
        return -1;
    }
    // A dangling symbolic link: create its target, as fopen would.
    return open(path, O_WRONLY | O_CREAT | O_CLOEXEC, newFileMode);
}

// Opens savePath for the series.  An existing regular file is emptied, except
// when it is where standard output goes: the series then continues that
// output instead of overwriting it from the start.  Returns 0 or an errno.
int openOutputFile(const char *path, OutputFile &file)
{
    file = OutputFile{-1, false, false, false};
    int fd = openWithoutTruncating(path, file.created);
    if (fd < 0) {
        return errno;
    }
    struct stat status {};
    if (fstat(fd, &status) != 0) {
        int error = errno;
        close(fd);
        return error;
    }
    file.fd = fd;
    file.regular = S_ISREG(status.st_mode);
    if (!file.regular) {
        return 0;
    }
    if (!file.created && sameFile(fd, STDOUT_FILENO)) {
        close(fd);
        file.fd = dup(STDOUT_FILENO);
        file.shared = true;
        return file.fd < 0 ? errno : 0;
    }
    if (ftruncate(fd, 0) != 0) {
        int error = errno;
        close(fd);
        file.fd = -1;
        return error;
    }
    return 0;
}

// After a failed write, with the file already closed: a cut-off CSV must not
// stay behind looking complete.  The file is removed if this write created
// it; an existing file, whose old contents are gone already, is emptied.
void discardPartialFile(const char *path, const OutputFile &file)
{
    if (!file.regular || file.shared) {
        return;
    }
    if (file.created) {
        unlink(path);
        return;
    }
    int fd = open(path, O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd >= 0) {
        close(fd);
    }
}

void reportWriteFailure(const char *path, int error)
{
    std::printf("Failed to write the output file %s: %s\n", path, std::strerror(error));
}

void reportUnwritable(const char *path, int error)
{
    std::printf("Cannot write the output file %s: %s\n", path, std::strerror(error));
}

// The directory a new file named by path would be created in.
bool parentDirectory(const char *path, char *dir, std::size_t dirSize)
{
    const char *slash = std::strrchr(path, '/');
    if (slash == nullptr) {
        dir[0] = '.';
        dir[1] = '\0';
        return true;
    }
    std::size_t length = slash == path ? 1 : static_cast<std::size_t>(slash - path);
    if (length >= dirSize) {
        return false;
    }
    std::memcpy(dir, path, length);
    dir[length] = '\0';
    return true;
}

// 0 when a new file can be created in dir, otherwise the errno.
int directoryRefusal(const char *dir)
{
    struct stat status {};
    if (stat(dir, &status) != 0) {
        return errno;
    }
    if (!S_ISDIR(status.st_mode)) {
        return ENOTDIR;
    }
    if (faccessat(AT_FDCWD, dir, W_OK | X_OK, AT_EACCESS) != 0) {
        return errno;
    }
    return 0;
}

// 0 when path can be opened for writing as far as can be told without
// opening it, otherwise the errno that the open would most likely give.
int destinationRefusal(const char *path)
{
    std::size_t length = std::strlen(path);
    if (length == 0) {
        return ENOENT;
    }
    struct stat status {};
    if (stat(path, &status) == 0) {
        if (S_ISDIR(status.st_mode)) {
            return EISDIR;
        }
        return faccessat(AT_FDCWD, path, W_OK, AT_EACCESS) != 0 ? errno : 0;
    }
    if (errno != ENOENT) {
        return errno;
    }
    if (lstat(path, &status) == 0) {
        return 0;  // a dangling link: where its target lands is the write's business
    }
    if (path[length - 1] == '/') {
        return EISDIR;  // only a directory can be named with a trailing slash
    }
    char dir[PATH_MAX];
    if (!parentDirectory(path, dir, sizeof dir)) {
        return ENAMETOOLONG;
    }
    return directoryRefusal(dir);
}

}  // namespace

char *formatCsvRow(char *out, double t, double x, double y, double z)
{
    out = formatFixed5(out, t);
    out = appendText(out, csvSeparator, sizeof csvSeparator - 1);
    out = formatFixed5(out, x);
    out = appendText(out, csvSeparator, sizeof csvSeparator - 1);
    out = formatFixed5(out, y);
    out = appendText(out, csvSeparator, sizeof csvSeparator - 1);
    out = formatFixed5(out, z);
    return appendText(out, csvLineEnd, sizeof csvLineEnd - 1);
}

bool writeCsvFile(const char *savePath, const ResampledSeries &series, int sampleCount)
{
    // What the program printed so far must come out before the series when
    // both go to the same terminal, pipe or file.
    std::fflush(stdout);
    OutputFile file{};
    int error = openOutputFile(savePath, file);
    if (error != 0) {
        reportWriteFailure(savePath, error);
        return false;
    }
    error = writeCsvLines(file.fd, series, sampleCount);
    if (close(file.fd) != 0 && error == 0) {
        error = errno;
    }
    if (error != 0) {
        discardPartialFile(savePath, file);
        reportWriteFailure(savePath, error);
        return false;
    }
    return true;
}

bool checkSaveDestination(const char *savePath)
{
    int error = destinationRefusal(savePath);
    if (error != 0) {
        reportUnwritable(savePath, error);
        return false;
    }
    return true;
}
