// The rules of the output file of file mode: how it is opened, and the look
// at it before minutes of capture are spent on one that cannot be written.
#include "save_destination.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

static constexpr mode_t newFileMode = 0666;  // narrowed by the umask, as fopen does

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

bool isStandardOutput(const struct stat &file)
{
    struct stat out {};
    return fstat(STDOUT_FILENO, &out) == 0 && out.st_dev == file.st_dev && out.st_ino == file.st_ino;
}

int openSaveDestination(const char *savePath, bool &created, bool &regular)
{
    int fd = openWithoutTruncating(savePath, created);
    if (fd < 0) {
        return -1;
    }
    struct stat status {};
    bool failed = fstat(fd, &status) != 0;
    regular = !failed && S_ISREG(status.st_mode);
    if (regular && !created && isStandardOutput(status)) {
        failed = dup3(STDOUT_FILENO, fd, O_CLOEXEC) < 0;  // the rows follow what was printed there
    } else if (regular) {
        failed = ftruncate(fd, 0) != 0;
    }
    if (failed) {
        int error = errno;
        close(fd);
        errno = error;
        return -1;
    }
    return fd;
}
