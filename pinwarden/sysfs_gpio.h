#pragma once

#include "sysfs_paths.h"

#include <cstddef>
#include <cstdint>

// The control files of an exported pin, in the order they are handed over.
// The kernel makes value and active_low for every line, direction only
// where the line's direction may change and edge only where the line can
// raise an interrupt (not on the firmware's GPIO expander, for one).  A
// per-chip kernel makes only direction and value.
struct pin_attribute {
    const char* name;
    bool always_made;
    bool made_per_chip;
};
inline constexpr int attribute_count = 4;
inline constexpr pin_attribute pin_attributes[attribute_count] = {{"direction", false, true},
                                                                  {"value", true, true},
                                                                  {"active_low", true, false},
                                                                  {"edge", false, false}};

// Each function below returns the exit status: 0, or that of the step that
// failed, with its message written.

// Writes "<pin>\n"; the kernel answers when the stream is flushed at close.
// An export it refuses as invalid, of a number below the first number of
// the header's chip, is followed by the number the pin has on this kernel.
int write_pin_to_path(const char* path, uint32_t pin);

// False when the path would not fit in `size` bytes with its terminator.
bool format_attribute_path(char* buffer, size_t size, const pin_location& where, const char* attribute);

// Gives one attribute file to the real user and group, owner-only access:
// opened once, without following a link, and changed through that
// descriptor only if it is a regular file.
int allow_access_by_user(const pin_location& where, const char* attribute);

// Exports the pin and hands over the files the kernel made for it; `where`
// is set to where they were found.  Where the kernel has no global export
// file but per-chip entries, the pin is the line on the chip of the SoC's
// GPIO controller.  `pin_text` is the pin as typed, for the messages.
int export_pin(uint32_t pin, const char* pin_text, pin_location* where);

// Unexports the pin, through the same interface as export_pin.
int unexport_pin(uint32_t pin, const char* pin_text);
