#pragma once

#include <cstddef>
#include <cstdint>

// Fixed at build time: nothing the invoking user controls may point these
// elsewhere.
inline constexpr char export_path[] = "/sys/class/gpio/export";
inline constexpr char unexport_path[] = "/sys/class/gpio/unexport";
inline constexpr size_t attribute_path_size = 4096;

// Where an exported pin's files are reached: the original kernels' virtual
// device directory where it exists, otherwise the link the kernel makes in
// /sys/class/gpio to wherever the directory really is (chown and chmod
// follow it).  Where neither exists the virtual path is reported.
enum class pin_directory { virtual_device, class_link };
inline constexpr char virtual_pin_directory_format[] = "/sys/devices/virtual/gpio/gpio%u";
inline constexpr char class_pin_directory_format[] = "/sys/class/gpio/gpio%u";
inline constexpr char virtual_attribute_path_format[] = "/sys/devices/virtual/gpio/gpio%u/%s";
inline constexpr char class_attribute_path_format[] = "/sys/class/gpio/gpio%u/%s";

// The control files of an exported pin, in the order they are handed over.
// The kernel makes value and active_low for every line, direction only
// where the line's direction may change and edge only where the line can
// raise an interrupt (not on the firmware's GPIO expander, for one).
struct pin_attribute {
    const char* name;
    bool always_made;
};
inline constexpr int attribute_count = 4;
inline constexpr pin_attribute pin_attributes[attribute_count] = {
    {"direction", false}, {"value", true}, {"active_low", true}, {"edge", false}};

// Writes "<pin>\n"; the kernel answers when the stream is flushed at close.
// An export it refuses as invalid, of a number below the first number of
// the header's chip, is followed by the number the pin has on this kernel.
void write_pin_to_path(const char* path, uint32_t pin);

// False when the path would not fit in `size` bytes with its terminator.
bool format_attribute_path(char* buffer, size_t size, pin_directory directory, uint32_t pin,
                           const char* attribute);

// Gives one attribute file to the real user and group, owner-only access.
void allow_access_by_user(pin_directory directory, uint32_t pin, const char* attribute);

// Exports the pin and hands over the files the kernel made for it; returns
// where they were found.
pin_directory export_pin(uint32_t pin);
