#pragma once

// Which GPIO chip an exported pin belongs to, which line of it the pin is,
// and whether that chip is the controller whose registers pinwarden writes.
// Read from sysfs, where only the kernel makes entries; a pin is taken to
// be on the controller only where that is shown, never by default.

#include "device_tree.h"
#include "sysfs_paths.h"

#include <cstddef>
#include <cstdint>

inline constexpr char chip_entry_prefix[] = "gpiochip";
// A per-chip kernel's entry of a chip: chipX, X the chip's device number.
inline constexpr char numbered_chip_prefix[] = "chip";
inline constexpr char sysfs_devices_prefix[] = "/sys/devices/";
inline constexpr char sysfs_virtual_prefix[] = "/sys/devices/virtual/";
inline constexpr char device_tree_node_prefix[] = "/sys/firmware/devicetree/base/";
inline constexpr char device_tree_bus_prefix[] = "/sys/firmware/devicetree/base/soc/";
// Where a kernel gives a device no device-tree node, the SoC's controller
// is the platform device named after its block's address.
inline constexpr char controller_device_format[] = "/sys/devices/platform/soc/%llx.gpio";

// A node's compatible list, as long as any a Pi's tree has.
inline constexpr size_t node_compatible_max_size = 256;
// "4294967295\n" and a little room.
inline constexpr size_t chip_number_max_size = 16;

// The lines of one chip, from its legacy entry gpiochipB: base and ngpio.
struct chip_lines {
    uint32_t base;
    uint32_t count;
};

enum class line_verdict {
    found,              // `line` is the pin's line on the controller's chip
    not_on_controller,  // another chip, a virtual directory, an unreadable device
    no_chip,            // the controller's device has no readable chip entry
    outside_chip,       // no chip of the controller's device holds the number
};

struct controller_line {
    line_verdict verdict;
    uint32_t line;
};

// The pin's line, where its directory and its chip entry lead to the device
// proved to be `model`'s GPIO controller.
controller_line find_controller_line(uint32_t pin, pin_directory directory, const soc_model& model);

// True when `device` (a resolved path under /sys/devices) is `model`'s GPIO
// controller: its device-tree node is the controller's node, or, where the
// kernel gives it none, its path is the controller's exact path.
bool is_gpio_controller(const char* device, const soc_model& model);

// The chip of the SoC's GPIO controller, found among /sys/class/gpio's
// chip entries; false where none is proved to be it.
bool find_controller_chip(const soc_model& model, chip_lines* chip);

// A per-chip entry chipX: X and the chip's ngpio.
struct numbered_chip {
    uint32_t id;
    uint32_t count;
};

// True where /sys/class/gpio has at least one chipX entry.
bool has_numbered_chips();

// The chipX entry whose device is proved to be `model`'s GPIO controller,
// with at least one line; false where there is none.
bool find_numbered_controller_chip(const soc_model& model, numbered_chip* chip);
