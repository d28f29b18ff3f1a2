// pinwarden: export or unexport one GPIO pin through sysfs, hand the pin's
// control files to the user who runs it and optionally latch its pull
// resistor.  Installed set-user-ID root; everything it touches is named by
// the program itself, never by its caller.

#include "command_line.h"
#include "exit_status.h"
#include "messages.h"
#include "pull_resistor.h"
#include "sysfs_gpio.h"

#include <cerrno>
#include <cstdlib>
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

    // Messages start with the name the caller gave, or the fixed one where
    // the caller gave none.
    const char* name = program_name(argc, argv);
    set_program_name(name);

    const command_line line = parse_command_line(argc, argv);
    switch (line.status) {
    case parse_status::ok:
        break;
    case parse_status::usage:
        return usage_error(name);
    case parse_status::empty_pin:
        print_message(message_prefix::program_name, 0, "empty string given for GPIO pin number");
        return exit_bad_pin;
    case parse_status::invalid_pin:
        print_message(message_prefix::program_name, 0, "%s is not a valid GPIO pin number",
                      argv[pin_argument]);
        return exit_bad_pin;
    }

    if (line.command == command_kind::unexport_pin)
        return unexport_pin(line.pin, argv[pin_argument]);
    pin_location where{};
    const int status = export_pin(line.pin, argv[pin_argument], &where);
    if (status != exit_success || line.pull_code == pull_code_none)
        return status;
    return set_pull_resistor(line.pin, line.pull_code, where);
}
