#include "sysfs_gpio.h"

#include "device_tree.h"
#include "exit_status.h"
#include "gpio_chip.h"
#include "pull_resistor.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

// Kernels that number the header's chip from 512 (or 1994, or 571 on a
// Pi 5) refuse "17" as no pin at all; say what 17 is called here.
void print_number_on_this_kernel(uint32_t pin)
{
    const soc_identity soc = detect_soc();
    chip_lines chip{};
    if (soc.verdict != soc_verdict::known || !find_controller_chip(*soc.model, &chip))
        return;
    const uint32_t header_lines =
        soc.model->method == pull_method::rp1_pads ? rp1_header_line_count : chip.count;
    if (pin < chip.base && pin < header_lines)
        error(0, 0, "GPIO %u is %u on this kernel", pin, chip.base + pin);
}

void report_refused_write(const char* path, uint32_t pin)
{
    const int refusal = errno;
    error(0, refusal, "could not flush data to %s", path);
    if (refusal == EINVAL && strcmp(path, export_path) == 0)
        print_number_on_this_kernel(pin);
    exit(exit_write_failed);
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

// True where the pin's directory exists and the kernel did not make the
// file in it; a missing directory is left for the handover to report.
bool left_out_by_kernel(pin_directory directory, uint32_t pin, const char* attribute)
{
    char path[attribute_path_size];
    struct stat st {};
    snprintf(path, sizeof path,
             directory == pin_directory::class_link ? class_pin_directory_format
                                                    : virtual_pin_directory_format,
             pin);
    if (stat(path, &st) != 0 || !S_ISDIR(st.st_mode))
        return false;
    return format_attribute_path(path, sizeof path, directory, pin, attribute) &&
           lstat(path, &st) != 0 && errno == ENOENT;
}

}  // namespace

void write_pin_to_path(const char* path, uint32_t pin)
{
    FILE* stream = open_control_file(path);
    if (stream == nullptr)
        error(exit_open_failed, errno, "could not open %s", path);
    else if (fprintf(stream, "%u\n", pin) < 0)
        error(exit_write_failed, errno, "could not write GPIO pin number to %s", path);
    else if (fclose(stream) != 0)
        report_refused_write(path, pin);
}

bool format_attribute_path(char* buffer, size_t size, pin_directory directory, uint32_t pin,
                           const char* attribute)
{
    const char* format = directory == pin_directory::class_link ? class_attribute_path_format
                                                                : virtual_attribute_path_format;
    const int length = snprintf(buffer, size, format, pin, attribute);
    return length >= 0 && static_cast<size_t>(length) < size;
}

void allow_access_by_user(pin_directory directory, uint32_t pin, const char* attribute)
{
    char path[attribute_path_size];
    if (!format_attribute_path(path, sizeof path, directory, pin, attribute))
        error(exit_path_too_long, 0, "path of GPIO pin is too long!");
    else if (chown(path, getuid(), getgid()) != 0)
        error(exit_chown_failed, errno, "failed to change group ownership of %s", path);
    else if (chmod(path, owner_read_write) != 0)
        error(exit_chmod_failed, errno, "failed to set permissions of %s", path);
}

pin_directory export_pin(uint32_t pin)
{
    write_pin_to_path(export_path, pin);
    const pin_directory directory = find_pin_directory(pin);
    for (const pin_attribute& attribute : pin_attributes)
        if (attribute.always_made || !left_out_by_kernel(directory, pin, attribute.name))
            allow_access_by_user(directory, pin, attribute.name);
    return directory;
}
