// The C library's open, close and ioctl, replaced for the device file alone:
// an open of /dev/spidev0.0 gets a real descriptor (of /dev/null) that the
// emulated driver answers for, and everything else goes to the next
// definition, the real C library's.  Linked into a test program, or
// preloaded into the real one.
//
// These are the C library's own names, so they must be defined as the plain
// symbols, not through the 64-bit file-offset, 64-bit time or fortified
// redirections a 32-bit or hardened build would otherwise apply; the 64-bit
// variants are defined alongside.
#undef _FILE_OFFSET_BITS
#undef _TIME_BITS
#undef _FORTIFY_SOURCE

#include <cerrno>
#include <cstdarg>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "spidev_device.h"

namespace {

// What a descriptor of the device really refers to.
inline constexpr char standInFile[] = "/dev/null";

using OpenFunction = int(const char *, int, ...);
using OpenAtFunction = int(int, const char *, int, ...);
using FortifiedOpenFunction = int(const char *, int);
using CloseFunction = int(int);
using IoctlFunction = int(int, unsigned long, ...);

template <typename Function>
Function *nextDefinition(const char *name)
{
    return reinterpret_cast<Function *>(dlsym(RTLD_NEXT, name));
}

bool needsMode(int flags)
{
    return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
}

int openDevice(int flags)
{
    int refusal = spidevOpenRefusal();
    if (refusal != 0) {
        errno = refusal;
        return -1;
    }
    static OpenFunction *realOpen = nextDefinition<OpenFunction>("open");
    // cppcheck-suppress AssignmentAddressToInteger ; the call's result, not the pointer
    int fd = realOpen(standInFile, O_RDWR | (flags & O_CLOEXEC));
    if (fd >= 0)
        spidevAttachFile(fd, flags);
    return fd;
}

int openPath(const char *name, const char *path, int flags, mode_t mode)
{
    if (spidevIsDevicePath(path))
        return openDevice(flags);
    return nextDefinition<OpenFunction>(name)(path, flags, mode);
}

int openAtPath(const char *name, int dirfd, const char *path, int flags, mode_t mode)
{
    if (spidevIsDevicePath(path))
        return openDevice(flags);
    return nextDefinition<OpenAtFunction>(name)(dirfd, path, flags, mode);
}

int fortifiedOpenPath(const char *name, const char *path, int flags)
{
    if (spidevIsDevicePath(path))
        return openDevice(flags);
    return nextDefinition<FortifiedOpenFunction>(name)(path, flags);
}

int ioctlOn(const char *name, int fd, unsigned long request, void *argument)
{
    if (spidevOwnsFile(fd))
        return spidevIoctl(request, argument);
    return nextDefinition<IoctlFunction>(name)(fd, request, argument);
}

}  // namespace

// The mode argument is read only where open(2) defines it.
#define SPIDEV_OPEN_MODE(flags, last)     \
    mode_t mode = 0;                      \
    if (needsMode(flags)) {               \
        va_list arguments;                \
        va_start(arguments, last);        \
        mode = va_arg(arguments, mode_t); \
        va_end(arguments);                \
    }

extern "C" {

// NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name)
int open(const char *path, int flags, ...)
{
    SPIDEV_OPEN_MODE(flags, flags)
    return openPath("open", path, flags, mode);
}

// NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name)
int open64(const char *path, int flags, ...)
{
    SPIDEV_OPEN_MODE(flags, flags)
    return openPath("open64", path, flags, mode);
}

// NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name)
int openat(int dirfd, const char *path, int flags, ...)
{
    SPIDEV_OPEN_MODE(flags, flags)
    return openAtPath("openat", dirfd, path, flags, mode);
}

// NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name)
int openat64(int dirfd, const char *path, int flags, ...)
{
    SPIDEV_OPEN_MODE(flags, flags)
    return openAtPath("openat64", dirfd, path, flags, mode);
}

// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
int __open_2(const char *path, int flags)
{
    return fortifiedOpenPath("__open_2", path, flags);
}

// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
int __open64_2(const char *path, int flags)
{
    return fortifiedOpenPath("__open64_2", path, flags);
}

int close(int fd)
{
    spidevDetachFile(fd);
    static CloseFunction *realClose = nextDefinition<CloseFunction>("close");
    return realClose(fd);
}

int ioctl(int fd, unsigned long request, ...)
{
    va_list arguments;
    va_start(arguments, request);
    void *argument = va_arg(arguments, void *);
    va_end(arguments);
    return ioctlOn("ioctl", fd, request, argument);
}

#if __TIMESIZE == 32
// What ioctl is called in a 32-bit program built with 64-bit time.
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
int __ioctl_time64(int fd, unsigned long request, ...)
{
    va_list arguments;
    va_start(arguments, request);
    void *argument = va_arg(arguments, void *);
    va_end(arguments);
    return ioctlOn("__ioctl_time64", fd, request, argument);
}
#endif

}  // extern "C"
