#pragma once

// Where the kernel's sysfs GPIO files are.  Fixed at build time: nothing
// the invoking user controls may point these elsewhere.

#include <cstddef>
#include <cstdint>

inline constexpr char class_gpio_path[] = "/sys/class/gpio";
inline constexpr size_t attribute_path_size = 4096;

// The global interface: one number space for every chip.  Kernels built
// without it have only the per-chip entries chipX, whose export and
// unexport take the line on that chip.
inline constexpr char export_path[] = "/sys/class/gpio/export";
inline constexpr char unexport_path[] = "/sys/class/gpio/unexport";
inline constexpr char chip_control_format[] = "/sys/class/gpio/chip%u/%s";

// Where an exported pin's files are reached: the original kernels' virtual
// device directory where it exists, otherwise the link the kernel makes in
// /sys/class/gpio to wherever the directory really is; on a per-chip
// kernel, the line's directory in its chip's entry.
enum class pin_directory { virtual_device, class_link, chip_line };
inline constexpr char virtual_pin_directory_format[] = "/sys/devices/virtual/gpio/gpio%u";
inline constexpr char class_pin_directory_format[] = "/sys/class/gpio/gpio%u";
inline constexpr char chip_pin_directory_format[] = "/sys/class/gpio/chip%u/gpio%u";

struct pin_location {
    pin_directory directory;
    uint32_t chip;    // X of chipX, for chip_line only
    uint32_t number;  // as written to the export file: global, or the line on chipX
};
