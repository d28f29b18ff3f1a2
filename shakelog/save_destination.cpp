// Looks at the output file before minutes of capture are spent on one that
// cannot be written or cannot fit.
#include "save_destination.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "csv_output.h"

// "-16.00000": the widest value of the sensor's range.
static constexpr long long widestValueChars = 1 + 2 + 1 + csvDecimals;

// The directory a new file named by path would be created in.
static bool parentDirectory(const char *path, char *dir, std::size_t dirSize)
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
static int directoryRefusal(const char *dir)
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
static int destinationRefusal(const char *path)
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

bool checkSaveDestination(const char *savePath)
{
    int error = destinationRefusal(savePath);
    if (error != 0) {
        std::printf("Cannot write the output file %s: %s\n", savePath, std::strerror(error));
        return false;
    }
    return true;
}

long long csvBytesBound(int sampleCount)
{
    // Rates are whole hertz, so row k's time is at most k seconds, and no
    // time passes the longest duration.
    int timeDigits = 1;
    for (int seconds = std::min(sampleCount, durationMax); seconds >= 10; seconds /= 10) {
        ++timeDigits;
    }
    long long rowChars = timeDigits + 1 + csvDecimals + 3 * (2 + widestValueChars) + 2;
    return static_cast<long long>(sizeof csvHeader - 1) + rowChars * std::max(sampleCount, 0);
}

// The bytes a file at path may take, in `bytes`; false when that is not for
// this check to say.
static bool roomForFile(const char *path, unsigned long long &bytes, unsigned long long &block)
{
    struct stat file {};
    struct stat out {};
    char dir[PATH_MAX];
    const char *where = path;
    unsigned long long givenBack = 0;
    if (stat(path, &file) == 0) {
        bool isStandardOutput = fstat(STDOUT_FILENO, &out) == 0 && out.st_dev == file.st_dev &&
                                out.st_ino == file.st_ino;
        if (!S_ISREG(file.st_mode) || isStandardOutput) {
            return false;
        }
        givenBack = static_cast<unsigned long long>(file.st_blocks) * 512;  // st_blocks' unit
    } else if (parentDirectory(path, dir, sizeof dir)) {
        where = dir;
    } else {
        return false;
    }
    struct statvfs system {};
    if (statvfs(where, &system) != 0 || system.f_frsize == 0) {
        return false;
    }
    block = system.f_frsize;
    bytes = static_cast<unsigned long long>(system.f_bavail) * block + givenBack;
    return true;
}

// A file takes whole blocks.
static bool fits(int sampleCount, unsigned long long room, unsigned long long block)
{
    auto bound = static_cast<unsigned long long>(csvBytesBound(sampleCount));
    return (bound + block - 1) / block * block <= room;
}

bool checkSaveSpace(const RunSettings &settings)
{
    unsigned long long room = 0;
    unsigned long long block = 1;
    if (!roomForFile(settings.savePath, room, block) || fits(settings.sampleCount, room, block)) {
        return true;
    }
    // The need grows with the duration.
    int longest = 0;
    int tooLong = durationMax + 1;
    while (tooLong - longest > 1) {
        int middle = longest + (tooLong - longest) / 2;
        RunSettings trial = settings;
        trial.durationSec = middle;
        deriveCounts(trial);  // within 0..durationMax: never refused
        if (fits(trial.sampleCount, room, block)) {
            longest = middle;
        } else {
            tooLong = middle;
        }
    }
    std::printf("Not enough disk space for a capture of %.0f seconds to %s! The free space holds "
                "a capture of at most %d seconds.\n",
                settings.durationSec, settings.savePath, longest);
    std::fflush(stdout);
    return false;
}
