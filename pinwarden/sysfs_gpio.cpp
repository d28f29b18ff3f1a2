#include "sysfs_gpio.h"

#include "exit_status.h"

#include <cerrno>
#include <cstdio>
#include <error.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

inline constexpr mode_t owner_read_write = 0600;

// Like fopen(path, "w") but never creates a file: the control files belong
// to the kernel, and a program running as root has no business creating
// root-owned files where they are missing.
FILE* open_control_file(const char* path)
{
    const int fd = open(path, O_WRONLY | O_TRUNC | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    FILE* stream = fdopen(fd, "w");
    if (stream == nullptr) {
        const int saved = errno;
        close(fd);
        errno = saved;
    }
    return stream;
}

}  // namespace

void write_pin_to_path(const char* path, uint32_t pin)
{
    FILE* stream = open_control_file(path);
    if (stream == nullptr) {
        error(exit_open_failed, errno, "could not open %s", path);
        return;
    }
    if (fprintf(stream, "%u\n", pin) < 0) {
        error(exit_write_failed, errno, "could not write GPIO pin number to %s", path);
        return;
    }
    if (fclose(stream) != 0)
        error(exit_write_failed, errno, "could not flush data to %s", path);
}

bool format_attribute_path(char* buffer, size_t size, pin_directory directory, uint32_t pin,
                           const char* attribute)
{
    const char* format = directory == pin_directory::class_link ? class_attribute_path_format
                                                                : virtual_attribute_path_format;
    const int length = snprintf(buffer, size, format, pin, attribute);
    return length >= 0 && static_cast<size_t>(length) < size;
}

pin_directory find_pin_directory(uint32_t pin)
{
    char path[attribute_path_size];
    struct stat st {};
    snprintf(path, sizeof path, virtual_pin_directory_format, pin);
    if (stat(path, &st) == 0)
        return pin_directory::virtual_device;
    snprintf(path, sizeof path, class_pin_directory_format, pin);
    if (stat(path, &st) == 0)
        return pin_directory::class_link;
    return pin_directory::virtual_device;
}

void allow_access_by_user(pin_directory directory, uint32_t pin, const char* attribute)
{
    char path[attribute_path_size];
    if (!format_attribute_path(path, sizeof path, directory, pin, attribute)) {
        error(exit_path_too_long, 0, "path of GPIO pin is too long!");
        return;
    }
    if (chown(path, getuid(), getgid()) != 0) {
        error(exit_chown_failed, errno, "failed to change group ownership of %s", path);
        return;
    }
    if (chmod(path, owner_read_write) != 0)
        error(exit_chmod_failed, errno, "failed to set permissions of %s", path);
}

pin_directory export_pin(uint32_t pin)
{
    write_pin_to_path(export_path, pin);
    const pin_directory directory = find_pin_directory(pin);
    for (const char* attribute : pin_attributes)
        allow_access_by_user(directory, pin, attribute);
    return directory;
}
