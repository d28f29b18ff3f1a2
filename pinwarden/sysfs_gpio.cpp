#include "sysfs_gpio.h"

#include "device_tree.h"
#include "exit_status.h"
#include "gpio_chip.h"
#include "messages.h"
#include "pull_registers.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
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
        soc.model->method == pull_method::rp1_pads ? rp1_pull.line_count : chip.count;
    if (pin < chip.base && pin < header_lines)
        print_message(message_prefix::program_name, 0, "GPIO %u is %u on this kernel", pin,
                      chip.base + pin);
}

int report_refused_write(const char* path, uint32_t pin)
{
    const int refusal = errno;
    print_message(message_prefix::program_name, refusal, "could not flush data to %s", path);
    if (refusal == EINVAL && strcmp(path, export_path) == 0)
        print_number_on_this_kernel(pin);
    return exit_write_failed;
}

bool format_pin_directory(char* buffer, size_t size, const pin_location& where)
{
    int length = -1;
    switch (where.directory) {
    case pin_directory::virtual_device:
        length = snprintf(buffer, size, virtual_pin_directory_format, where.number);
        break;
    case pin_directory::class_link:
        length = snprintf(buffer, size, class_pin_directory_format, where.number);
        break;
    case pin_directory::chip_line:
        length = snprintf(buffer, size, chip_pin_directory_format, where.chip, where.number);
        break;
    }
    return length >= 0 && static_cast<size_t>(length) < size;
}

// On the global interface, the virtual directory where it exists, else the
// class link; where neither exists the virtual path is reported.
pin_location find_pin_directory(uint32_t pin)
{
    char path[attribute_path_size];
    struct stat st {};
    snprintf(path, sizeof path, virtual_pin_directory_format, pin);
    if (stat(path, &st) == 0)
        return {pin_directory::virtual_device, 0, pin};
    snprintf(path, sizeof path, class_pin_directory_format, pin);
    if (stat(path, &st) == 0)
        return {pin_directory::class_link, 0, pin};
    return {pin_directory::virtual_device, 0, pin};
}

// True where the pin's directory exists and the kernel did not make the
// file in it; a missing directory is left for the handover to report.
bool left_out_by_kernel(const pin_location& where, const char* attribute)
{
    char path[attribute_path_size];
    struct stat st {};
    if (!format_pin_directory(path, sizeof path, where) || stat(path, &st) != 0 || !S_ISDIR(st.st_mode))
        return false;
    return format_attribute_path(path, sizeof path, where, attribute) && lstat(path, &st) != 0 &&
           errno == ENOENT;
}

int hand_over(int fd, const char* path)
{
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        print_message(message_prefix::program_name, errno, "failed to change group ownership of %s",
                      path);
        return exit_chown_failed;
    }
    if (!S_ISREG(st.st_mode)) {
        print_message(message_prefix::program_name, 0,
                      "failed to change group ownership of %s: not a regular file", path);
        return exit_chown_failed;
    }
    if (fchown(fd, getuid(), getgid()) != 0) {
        print_message(message_prefix::program_name, errno, "failed to change group ownership of %s",
                      path);
        return exit_chown_failed;
    }
    if (fchmod(fd, owner_read_write) != 0) {
        print_message(message_prefix::program_name, errno, "failed to set permissions of %s", path);
        return exit_chmod_failed;
    }
    return exit_success;
}

int hand_over_files(const pin_location& where)
{
    const bool per_chip = where.directory == pin_directory::chip_line;
    for (const pin_attribute& attribute : pin_attributes) {
        if (per_chip && !attribute.made_per_chip)
            continue;
        if (!attribute.always_made && left_out_by_kernel(where, attribute.name))
            continue;
        const int status = allow_access_by_user(where, attribute.name);
        if (status != exit_success)
            return status;
    }
    return exit_success;
}

// The global interface is used wherever its file exists, and wherever the
// per-chip one is missing too, so that a kernel without sysfs GPIO gets the
// global file's own error.
bool uses_per_chip_interface(const char* global_file)
{
    struct stat st {};
    return lstat(global_file, &st) != 0 && errno == ENOENT && has_numbered_chips();
}

// On a per-chip kernel, the chip whose line the pin is: that of the SoC's
// GPIO controller, which must have the line.  Nothing is written here.
int find_chip_of_line(uint32_t pin, const char* pin_text, numbered_chip* chip)
{
    const soc_identity soc = detect_soc();
    if (soc.verdict != soc_verdict::known || !find_numbered_controller_chip(*soc.model, chip)) {
        print_message(message_prefix::program_name, 0, "no GPIO chip in %s is the SoC's GPIO controller",
                      class_gpio_path);
        return exit_open_failed;
    }
    if (pin >= chip->count) {
        print_message(message_prefix::program_name, 0, "%s is not a valid GPIO pin number", pin_text);
        print_message(message_prefix::program_name, 0,
                      "this kernel numbers GPIO pins per chip: valid pins are 0 to %u", chip->count - 1);
        return exit_bad_pin;
    }
    return exit_success;
}

// Writes the line to chipX's export or unexport file.
int write_line_to_chip(const numbered_chip& chip, const char* control, uint32_t line)
{
    char path[attribute_path_size];
    if (snprintf(path, sizeof path, chip_control_format, chip.id, control) >=
        static_cast<int>(sizeof path)) {
        print_message(message_prefix::program_name, 0, "path of GPIO pin is too long!");
        return exit_path_too_long;
    }
    return write_pin_to_path(path, line);
}

}  // namespace

int write_pin_to_path(const char* path, uint32_t pin)
{
    FILE* stream = open_control_file(path);
    if (stream == nullptr) {
        print_message(message_prefix::program_name, errno, "could not open %s", path);
        return exit_open_failed;
    }
    if (fprintf(stream, "%u\n", pin) < 0) {
        print_message(message_prefix::program_name, errno, "could not write GPIO pin number to %s",
                      path);
        fclose(stream);
        return exit_write_failed;
    }
    if (fclose(stream) != 0)
        return report_refused_write(path, pin);
    return exit_success;
}

bool format_attribute_path(char* buffer, size_t size, const pin_location& where, const char* attribute)
{
    char directory[attribute_path_size];
    if (!format_pin_directory(directory, sizeof directory, where))
        return false;
    const int length = snprintf(buffer, size, "%s/%s", directory, attribute);
    return length >= 0 && static_cast<size_t>(length) < size;
}

int allow_access_by_user(const pin_location& where, const char* attribute)
{
    char path[attribute_path_size];
    if (!format_attribute_path(path, sizeof path, where, attribute)) {
        print_message(message_prefix::program_name, 0, "path of GPIO pin is too long!");
        return exit_path_too_long;
    }
    // Read-only and non-blocking, so that opening it has no effect of its
    // own whatever it turns out to be.
    const int fd = open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        print_message(message_prefix::program_name, errno, "failed to change group ownership of %s",
                      path);
        return exit_chown_failed;
    }
    const int status = hand_over(fd, path);
    close(fd);
    return status;
}

int export_pin(uint32_t pin, const char* pin_text, pin_location* where)
{
    if (!uses_per_chip_interface(export_path)) {
        const int status = write_pin_to_path(export_path, pin);
        if (status != exit_success)
            return status;
        *where = find_pin_directory(pin);
        return hand_over_files(*where);
    }
    numbered_chip chip{};
    int status = find_chip_of_line(pin, pin_text, &chip);
    if (status == exit_success)
        status = write_line_to_chip(chip, "export", pin);
    if (status != exit_success)
        return status;
    *where = {pin_directory::chip_line, chip.id, pin};
    return hand_over_files(*where);
}

int unexport_pin(uint32_t pin, const char* pin_text)
{
    if (!uses_per_chip_interface(unexport_path))
        return write_pin_to_path(unexport_path, pin);
    numbered_chip chip{};
    const int status = find_chip_of_line(pin, pin_text, &chip);
    return status != exit_success ? status : write_line_to_chip(chip, "unexport", pin);
}
