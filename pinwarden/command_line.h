#pragma once

#include <cstdint>

enum class command_kind { export_pin, unexport_pin };

// The first check that failed, in the order the checks are made.
enum class parse_status { ok, usage, empty_pin, invalid_pin };

struct command_line {
    parse_status status;
    command_kind command;
    uint32_t pin;
    int pull_code;  // 0 when no pull word was given
};

inline constexpr int pull_code_none = 0;
inline constexpr int pull_code_down = 1;
inline constexpr int pull_code_up = 2;

inline constexpr int pin_argument = 2;
inline constexpr int pull_argument = 3;

// argv[0], or a fixed name when the vector is empty or its first word is
// empty: a set-user-ID program must not trust that argv[0] exists.
char* program_name(int argc, char* const argv[]);

// strtoul in base 0 (0x/0X hexadecimal, leading 0 octal), refusing trailing
// characters, a 0b/0B binary prefix and any value that would not survive
// the trip to 32 bits.
bool parse_pin_number(const char* text, uint32_t* pin);

// 2 for "pullup", 1 for "pulldown", 0 for anything else.
int pull_code_of(const char* word);

command_line parse_command_line(int argc, char* const argv[]);

// Writes the usage line naming the program as invoked; returns its status.
int usage_error(const char* name);
