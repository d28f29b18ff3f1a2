#pragma once

#include "sysfs_paths.h"

#include <cstdint>
#include <sys/types.h>

// The GPIO block alone, from the Pi's own kernels: no window onto the rest
// of physical memory.  /dev/mem only where it is missing.
inline constexpr char dev_gpiomem_path[] = "/dev/gpiomem";
inline constexpr char dev_mem_path[] = "/dev/mem";
// The Pi 5's RP1 GPIO blocks.
inline constexpr char dev_gpiomem0_path[] = "/dev/gpiomem0";

// The BCM2835's GPIO block: the physical address used where there is no
// device tree to say which SoC this is.
inline constexpr off_t gpio_base_address = 0x20200000;

// Finds the GPIO block, proves the pin to be a line of the controller
// whose registers it holds, maps it and sets the line's pull resistor;
// `where` is where the export found the pin's files.  Returns the exit
// status: 0, or 255 with the reason on standard error.
int set_pull_resistor(uint32_t pin, int pull_code, const pin_location& where);
