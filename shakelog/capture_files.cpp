// Compiled with 64-bit file offsets, as every unit that opens the file.
#include "capture_files.h"

#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

#include "save_destination.h"

bool partName(const char *savePath, int part, char *out, size_t size)
{
    const char *slash = strrchr(savePath, '/');
    const char *base = slash != nullptr ? slash + 1 : savePath;
    const char *dot = strrchr(base, '.');
    // A leading dot names a hidden file, not an extension.
    if (dot == nullptr || dot == base) {
        dot = base + strlen(base);
    }
    int stem = static_cast<int>(dot - savePath);
    int length = snprintf(out, size, "%.*s-%0*d%s", stem, savePath, partDigits, part, dot);
    return length > 0 && static_cast<size_t>(length) < size;
}

static bool openPart(CaptureFiles &files, int part)
{
    const char *path = files.savePath;
    if (files.partRows > 0) {
        if (!partName(files.savePath, part, files.partPath, sizeof files.partPath)) {
            printf("Failed to write the output file %s: the name of part %d is too long\n",
                   files.savePath, part);
            fflush(stdout);
            return false;
        }
        path = files.partPath;
    }
    files.part = part;
    if (!openCsvFile(path, files.writer)) {
        return false;
    }
    files.regular = files.regular && files.writer.regularFile;
    if (files.writer.createdFile) {
        syncDirectoryOf(path);
    }
    return true;
}

bool openCaptureFiles(CaptureFiles &files, const char *savePath, int64_t partRows, double nowSec)
{
    files.savePath = savePath;
    files.partRows = partRows;
    files.part = 0;
    files.rows = 0;
    files.lastFlushSec = nowSec;
    files.lastSyncSec = nowSec;
    files.regular = true;
    return openPart(files, 1);
}

bool writeCaptureRow(CaptureFiles &files, double t, double x, double y, double z)
{
    if (files.partRows > 0 && files.rows > 0 && files.rows % files.partRows == 0) {
        // The part is complete: on stable storage before the next begins.
        if (!syncCsvFile(files.writer) || !closeCsvFile(files.writer) ||
            !openPart(files, files.part + 1)) {
            return false;
        }
    }
    if (!writeCsvRow(files.writer, t, x, y, z)) {
        return false;
    }
    ++files.rows;
    return true;
}

bool syncCaptureFiles(CaptureFiles &files, double nowSec)
{
    files.lastSyncSec = nowSec;
    files.lastFlushSec = nowSec;
    return syncCsvFile(files.writer);
}

bool keepCaptureFilesSafe(CaptureFiles &files, double nowSec)
{
    if (nowSec - files.lastSyncSec >= syncEverySec) {
        return syncCaptureFiles(files, nowSec);
    }
    if (nowSec - files.lastFlushSec >= flushEverySec) {
        files.lastFlushSec = nowSec;
        return flushCsvFile(files.writer);
    }
    return true;
}

int64_t rowsKept(const CaptureFiles &files)
{
    int64_t before = files.partRows > 0 && files.part > 0 ? (files.part - 1) * files.partRows : 0;
    return before + files.writer.rowsWritten;
}

void discardCaptureFiles(CaptureFiles &files)
{
    if (files.writer.fd >= 0) {
        close(files.writer.fd);
        files.writer.fd = -1;
    }
    if (files.writer.createdFile) {
        unlink(files.writer.path);
    }
}

bool closeCaptureFiles(CaptureFiles &files)
{
    return syncCsvFile(files.writer) && closeCsvFile(files.writer);
}

void syncDirectoryOf(const char *path)
{
    char dir[PATH_MAX];
    if (!parentDirectory(path, dir, sizeof dir)) {
        return;
    }
    int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}
