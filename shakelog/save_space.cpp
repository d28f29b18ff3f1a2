// Whether the output file of a capture fits the disk, told before the
// capture starts rather than by a write that fails near its end.
#include "save_space.h"

#include <algorithm>
#include <climits>
#include <cstdio>

#include <sys/stat.h>
#include <sys/statvfs.h>

#include "csv_format.h"
#include "file_capture.h"
#include "save_destination.h"

// "-16.00000": the widest value of the sensor's range.
static constexpr long long widestValueChars = 1 + 2 + 1 + csvDecimals;

long long csvBytesBound(int sampleCount, int longestSec)
{
    // Rates are whole hertz, so row k's time is at most k seconds, and no
    // time passes the longest duration.
    int timeDigits = 1;
    for (int seconds = std::min(sampleCount, longestSec); seconds >= 10; seconds /= 10) {
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
    char dir[PATH_MAX];
    const char *where = path;
    unsigned long long givenBack = 0;
    if (stat(path, &file) == 0) {
        if (!S_ISREG(file.st_mode) || isStandardOutput(file)) {
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

// The room a file may take: free bytes and the block size.
struct Room {
    unsigned long long bytes;
    unsigned long long block;
    int longestSec;
};

// A file takes whole blocks.
static bool fitsRoom(const RunSettings &trial, const void *resource)
{
    const Room &room = *static_cast<const Room *>(resource);
    auto bound = static_cast<unsigned long long>(csvBytesBound(trial.sampleCount, room.longestSec));
    return (bound + room.block - 1) / room.block * room.block <= room.bytes;
}

bool checkSaveSpace(const RunSettings &settings)
{
    Room room{0, 1, settings.fifoCapture ? fifoDurationMax : durationMax};
    if (!roomForFile(settings.savePath, room.bytes, room.block) || fitsRoom(settings, &room)) {
        return true;
    }
    std::printf(
        "Not enough disk space for a capture of %.0f seconds to %s! The free space holds "
        "a capture of at most %d seconds.\n",
        settings.durationSec, settings.savePath,
        longestFitting(settings, room.longestSec, fitsRoom, &room));
    std::fflush(stdout);
    return false;
}
