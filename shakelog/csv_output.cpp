// Writing the CSV file: rows collected in one buffer and written with
// write(2), every result checked, and a failed write that keeps the
// complete rows already in the file.
#include "csv_output.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <unistd.h>

#include "save_destination.h"

static void reportWriteFailure(const char *path, int error)
{
    std::printf("Failed to write the output file %s: %s\n", path, std::strerror(error));
    std::fflush(stdout);
}

bool openCsvFile(const char *savePath, CsvWriter &writer)
{
    // What the program printed so far must come out before the series when
    // both go to the same terminal, pipe or file.
    std::fflush(stdout);
    writer.path = savePath;
    writer.rowsWritten = 0;
    writer.linesInFile = 0;
    std::memcpy(writer.buffer, csvHeader, sizeof csvHeader - 1);
    writer.fill = sizeof csvHeader - 1;
    writer.fd = openSaveDestination(savePath, writer.createdFile, writer.regularFile);
    if (writer.fd < 0) {
        reportWriteFailure(savePath, errno);
    }
    return writer.fd >= 0;
}

// A write failed after `done` bytes of the buffer went into the file: the
// file is cut back to its last complete line, closed, and reported.
static void keepCompleteRows(CsvWriter &writer, int error, std::size_t done)
{
    writer.linesInFile += std::count(writer.buffer, writer.buffer + done, '\n');
    writer.rowsWritten = std::max(writer.linesInFile - 1, 0LL);  // less the header
    const auto *lastLine = static_cast<const char *>(memrchr(writer.buffer, '\n', done));
    off_t partial = writer.buffer + done - (lastLine != nullptr ? lastLine + 1 : writer.buffer);
    off_t end = lseek(writer.fd, 0, SEEK_CUR);
    if (writer.regularFile && end >= partial) {
        // Should the cut fail, a part of a line follows the complete rows.
        (void)!ftruncate(writer.fd, end - partial);
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
        if (written > 0) {
            done += static_cast<std::size_t>(written);
        } else if (written == 0 || errno != EINTR) {
            // A device that takes nothing would loop forever.
            keepCompleteRows(writer, written < 0 ? errno : EIO, done);
            return false;
        }
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

bool flushCsvFile(CsvWriter &writer)
{
    return writer.fd >= 0 && flushBuffer(writer);
}

bool syncCsvFile(CsvWriter &writer)
{
    if (!flushCsvFile(writer)) {
        return false;
    }
    if (writer.regularFile && fdatasync(writer.fd) != 0) {
        reportWriteFailure(writer.path, errno);
        return false;
    }
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
