// Writing the resampled series as CSV: "%.5f" text from std::to_chars, rows
// collected in one buffer and written with write(2), every result checked,
// and a failed write that keeps the complete rows already in the file.
#include "csv_output.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

static constexpr char csvSeparator[] = ", ";
static constexpr char csvLineEnd[] = " \n";
static constexpr mode_t newFileMode = 0666;  // narrowed by the umask, as fopen does

// printf writes a "-" whenever the sign bit is set (-0.0, -1e-9, -nan);
// formatting the magnitude and adding the sign makes that independent of
// how the library treats a negative value that rounds to zero.
static char *formatNumber(char *out, double value)
{
    if (std::signbit(value)) {
        *out++ = '-';
    }
    return std::to_chars(out, out + csvNumberMaxChars, std::fabs(value), std::chars_format::fixed,
                         csvDecimals)
        .ptr;
}

static char *appendText(char *out, const char *text, std::size_t length)
{
    std::memcpy(out, text, length);
    return out + length;
}

char *formatCsvRow(char *out, double t, double x, double y, double z)
{
    out = formatNumber(out, t);
    for (double value : {x, y, z}) {
        out = appendText(out, csvSeparator, sizeof csvSeparator - 1);
        out = formatNumber(out, value);
    }
    return appendText(out, csvLineEnd, sizeof csvLineEnd - 1);
}

static void reportWriteFailure(const char *path, int error)
{
    std::printf("Failed to write the output file %s: %s\n", path, std::strerror(error));
    std::fflush(stdout);
}

// Opens without truncating: the file may be where standard output goes.
static int openWithoutTruncating(const char *path, bool &created)
{
    created = false;
    int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd >= 0 || errno != ENOENT) {
        return fd;
    }
    fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, newFileMode);
    created = fd >= 0;
    if (fd >= 0 || errno != EEXIST) {
        return fd;
    }
    // A dangling symbolic link: create its target, as fopen would.
    return open(path, O_WRONLY | O_CREAT | O_CLOEXEC, newFileMode);
}

static bool isStandardOutput(const struct stat &file)
{
    struct stat out {};
    return fstat(STDOUT_FILENO, &out) == 0 && out.st_dev == file.st_dev && out.st_ino == file.st_ino;
}

// Returns 0, with writer.fd open, or an errno.
static int openDestination(const char *path, CsvWriter &writer)
{
    int fd = openWithoutTruncating(path, writer.createdFile);
    if (fd < 0) {
        return errno;
    }
    struct stat status {};
    bool failed = fstat(fd, &status) != 0;
    writer.regularFile = !failed && S_ISREG(status.st_mode);
    if (writer.regularFile && !writer.createdFile && isStandardOutput(status)) {
        failed = dup3(STDOUT_FILENO, fd, O_CLOEXEC) < 0;  // the rows follow what was printed there
    } else if (writer.regularFile) {
        failed = ftruncate(fd, 0) != 0;
    }
    int error = errno;
    if (failed) {
        close(fd);
        return error;
    }
    writer.fd = fd;
    return 0;
}

bool openCsvFile(const char *savePath, CsvWriter &writer)
{
    // What the program printed so far must come out before the series when
    // both go to the same terminal, pipe or file.
    std::fflush(stdout);
    writer.fd = -1;
    writer.path = savePath;
    writer.rowsWritten = 0;
    writer.linesInFile = 0;
    writer.fill = static_cast<int>(appendText(writer.buffer, csvHeader, sizeof csvHeader - 1) - writer.buffer);
    int error = openDestination(savePath, writer);
    if (error != 0) {
        reportWriteFailure(savePath, error);
    }
    return error == 0;
}

// A write failed after `done` bytes of the buffer went into the file: the
// file is cut back to its last complete line, closed, and reported.
static void keepCompleteRows(CsvWriter &writer, int error, std::size_t done)
{
    writer.linesInFile += std::count(writer.buffer, writer.buffer + done, '\n');
    writer.rowsWritten = std::max(writer.linesInFile - 1, 0LL);  // less the header
    off_t tail = 0;
    while (static_cast<std::size_t>(tail) < done && writer.buffer[done - tail - 1] != '\n') {
        ++tail;
    }
    off_t end = lseek(writer.fd, 0, SEEK_CUR);
    if (writer.regularFile && end >= tail) {
        // Should the cut fail, a part of a line follows the complete rows.
        (void)!ftruncate(writer.fd, end - tail);
    }
    close(writer.fd);
    writer.fd = -1;
    reportWriteFailure(writer.path, error);
    if (writer.regularFile) {
        std::printf("%s keeps its first %lld rows.\n", writer.path, writer.rowsWritten);
        std::fflush(stdout);
    }
}

static bool flushBuffer(CsvWriter &writer)
{
    std::size_t done = 0;
    while (done < static_cast<std::size_t>(writer.fill)) {
        ssize_t written = write(writer.fd, writer.buffer + done, writer.fill - done);
        if (written <= 0 && errno != EINTR) {
            // A device that takes nothing would loop forever.
            keepCompleteRows(writer, written < 0 ? errno : EIO, done);
            return false;
        }
        done += static_cast<std::size_t>(std::max<ssize_t>(written, 0));
    }
    writer.linesInFile = writer.rowsWritten + 1;
    writer.fill = 0;
    return true;
}

bool writeCsvRow(CsvWriter &writer, double t, double x, double y, double z)
{
    if (writer.fd < 0 || (writer.fill > csvBufferBytes - csvRowMaxChars && !flushBuffer(writer))) {
        return false;
    }
    char *end = formatCsvRow(writer.buffer + writer.fill, t, x, y, z);
    writer.fill = static_cast<int>(end - writer.buffer);
    ++writer.rowsWritten;
    return true;
}

bool closeCsvFile(CsvWriter &writer)
{
    if (writer.fd < 0 || !flushBuffer(writer)) {
        return false;
    }
    int result = close(writer.fd);
    writer.fd = -1;
    if (result != 0) {
        reportWriteFailure(writer.path, errno);
    }
    return result == 0;
}

bool writeCsvFile(const char *savePath, const ResampledSeries &series, int sampleCount)
{
    CsvWriter writer;
    if (!openCsvFile(savePath, writer)) {
        return false;
    }
    for (int k = 0; k < sampleCount; ++k) {
        if (!writeCsvRow(writer, series.outT[k], series.outX[k], series.outY[k], series.outZ[k])) {
            return false;
        }
    }
    return closeCsvFile(writer);
}
