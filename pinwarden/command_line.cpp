#include "command_line.h"

#include "exit_status.h"
#include "messages.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

char fallback_program_name[] = "pinwarden";

// Where strtoul starts reading the number: past the leading white space.
const char* skip_blanks(const char* text)
{
    while (isspace(static_cast<unsigned char>(*text)))
        ++text;
    return text;
}

// strtoul negates after converting, so "-1" becomes the largest value and
// "-18446744073709551615" becomes 1; a minus sign is only harmless on zero.
bool has_minus_sign(const char* text)
{
    return *skip_blanks(text) == '-';
}

// glibc 2.38 and later read "0b101" as binary in C++ builds, older ones
// stop at the "b"; the grammar knows no binary numbers on any of them.
bool has_binary_prefix(const char* text)
{
    text = skip_blanks(text);
    if (*text == '+' || *text == '-')
        ++text;
    return text[0] == '0' && (text[1] == 'b' || text[1] == 'B');
}

}  // namespace

char* program_name(int argc, char* const argv[])
{
    if (argc < 1 || argv == nullptr || argv[0] == nullptr || argv[0][0] == '\0')
        return fallback_program_name;
    return argv[0];
}

bool parse_pin_number(const char* text, uint32_t* pin)
{
    if (has_binary_prefix(text))
        return false;
    char* end = nullptr;
    errno = 0;
    const unsigned long value = strtoul(text, &end, 0);
    if (end == text || *end != '\0')
        return false;
    if (errno == ERANGE || value > UINT32_MAX)
        return false;
    if (value != 0 && has_minus_sign(text))
        return false;
    *pin = static_cast<uint32_t>(value);
    return true;
}

int pull_code_of(const char* word)
{
    if (strcmp(word, "pullup") == 0)
        return pull_code_up;
    if (strcmp(word, "pulldown") == 0)
        return pull_code_down;
    return pull_code_none;
}

command_line parse_command_line(int argc, char* const argv[])
{
    command_line line{parse_status::usage, command_kind::export_pin, 0, pull_code_none};
    if (argc != 3 && argc != 4)
        return line;
    if (argv[pin_argument][0] == '\0') {
        line.status = parse_status::empty_pin;
        return line;
    }
    if (!parse_pin_number(argv[pin_argument], &line.pin)) {
        line.status = parse_status::invalid_pin;
        return line;
    }
    if (argc == 4) {
        line.pull_code = pull_code_of(argv[pull_argument]);
        if (line.pull_code == pull_code_none)
            return line;
    }
    if (strcmp(argv[1], "export") == 0)
        line.command = command_kind::export_pin;
    else if (strcmp(argv[1], "unexport") == 0)
        line.command = command_kind::unexport_pin;
    else
        return line;
    line.status = parse_status::ok;
    return line;
}

int usage_error(const char* name)
{
    print_message(message_prefix::none, 0, "usage: %s {export|unexport} <gpio-pin> [pullup|pulldown]",
                  name);
    return exit_usage;
}
