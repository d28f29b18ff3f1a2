#pragma once

// Every message pinwarden writes, in one shape: the program's name and ": "
// where asked for, the text, ": " and the system's text for `errnum` where
// it is not 0, and a newline, on standard error.

enum class message_prefix { program_name, none };

// The name messages start with: argv[0], or the fallback for an empty one.
void set_program_name(const char* name);

void print_message(message_prefix prefix, int errnum, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
