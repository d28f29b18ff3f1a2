#include "messages.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

const char* message_program_name = "pinwarden";

}  // namespace

void set_program_name(const char* name)
{
    message_program_name = name;
}

void print_message(message_prefix prefix, int errnum, const char* format, ...)
{
    // Whatever was printed before comes first, as it would on a terminal.
    fflush(stdout);
    if (prefix == message_prefix::program_name)
        fprintf(stderr, "%s: ", message_program_name);
    va_list arguments;
    va_start(arguments, format);
    vfprintf(stderr, format, arguments);
    va_end(arguments);
    if (errnum != 0)
        fprintf(stderr, ": %s", strerror(errnum));
    fputc('\n', stderr);
}
