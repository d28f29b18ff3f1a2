// pinwarden: export or unexport one GPIO pin through sysfs, hand the pin's
// control files to the user who runs it and optionally latch its pull
// resistor.  Installed set-user-ID root; everything it touches is named by
// the program itself, never by its caller.

#include "command_line.h"
#include "exit_status.h"
#include "pull_resistor.h"
#include "sysfs_gpio.h"

#include <cerrno>
#include <cstdlib>
#include <error.h>
#include <fcntl.h>

namespace {

inline constexpr char null_device[] = "/dev/null";
inline constexpr int standard_descriptor_count = 3;

// Run by root, glibc leaves closed standard descriptors closed; the next
// file opened would then become standard error and receive our messages,
// and that file may be /dev/mem.  Each closed one gets /dev/null, which
// takes the lowest free number, that is the closed one.
void open_standard_descriptors()
{
    for (int fd = 0; fd < standard_descriptor_count; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        if (open(null_device, O_RDWR | O_NOCTTY) != fd)
            abort();
    }
}

}  // namespace

int main(int argc, char* argv[])
{
    open_standard_descriptors();

    // error() prefixes its messages with program_invocation_name, which is
    // empty or unset when the caller passed no argv[0].
    char* name = program_name(argc, argv);
    program_invocation_name = name;

    const command_line line = parse_command_line(argc, argv);
    if (line.status == parse_status::usage)
        usage_error(name);
    if (line.status == parse_status::empty_pin)
        error(exit_bad_pin, 0, "empty string given for GPIO pin number");
    if (line.status == parse_status::invalid_pin)
        error(exit_bad_pin, 0, "%s is not a valid GPIO pin number", argv[pin_argument]);

    if (line.command == command_kind::unexport_pin) {
        write_pin_to_path(unexport_path, line.pin);
        return exit_success;
    }
    const pin_directory directory = export_pin(line.pin);
    if (line.pull_code != pull_code_none)
        set_pull_resistor(line.pin, line.pull_code, directory);
    return exit_success;
}
