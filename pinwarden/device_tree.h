#pragma once

// Which SoC the board has, from the device tree the firmware hands the
// kernel, and whether its GPIO block is where we expect it.  Every byte
// read here is treated as hostile: the program runs as root.

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

inline constexpr char device_tree_path[] = "/sys/firmware/devicetree/base";
inline constexpr char compatible_path[] = "/sys/firmware/devicetree/base/compatible";
inline constexpr char soc_ranges_path[] = "/sys/firmware/devicetree/base/soc/ranges";

// Larger files than these are not a Raspberry Pi's and are refused.
inline constexpr size_t compatible_max_size = 256;
inline constexpr size_t soc_ranges_max_size = 256;
// Longest SoC name we print; longer names are refused as unreadable.
inline constexpr size_t soc_name_max_length = 63;

// soc/ranges: big-endian 32-bit cells.  The peripherals' ARM physical base
// is the cell at byte 4, or at byte 8 where the parent address has two
// cells (the one at byte 4 is then 0).
inline constexpr size_t ranges_base_offset = 4;
inline constexpr size_t ranges_wide_base_offset = 8;
inline constexpr size_t ranges_cell_size = 4;

// The GPIO block lies this far into the peripherals on every known SoC.
inline constexpr uint32_t gpio_block_offset = 0x200000;

enum class pull_method {
    gppud_sequence,     // GPPUD and GPPUDCLK0/1 (BCM2835, BCM2836, BCM2837)
    bcm2711_registers,  // GPIO_PUP_PDN_CNTRL_REG0..3
    rp1_pads,           // the RP1's pad registers, through /dev/gpiomem0 (Pi 5)
};

struct soc_model {
    const char* compatible;
    uint32_t peripheral_base;  // 0: nothing is mapped from /dev/mem, nothing to confirm
    pull_method method;
};

// brcm,bcm2838 is what the Pi 4's first kernels (2019) called the BCM2711.
inline constexpr int known_soc_count = 6;
inline constexpr soc_model known_socs[known_soc_count] = {
    {"brcm,bcm2835", 0x20000000, pull_method::gppud_sequence},
    {"brcm,bcm2836", 0x3F000000, pull_method::gppud_sequence},
    {"brcm,bcm2837", 0x3F000000, pull_method::gppud_sequence},
    {"brcm,bcm2711", 0xFE000000, pull_method::bcm2711_registers},
    {"brcm,bcm2838", 0xFE000000, pull_method::bcm2711_registers},
    {"brcm,bcm2712", 0, pull_method::rp1_pads},
};

enum class soc_verdict {
    no_device_tree,  // nothing to learn: the original board's fixed address
    known,           // `model` is set, its base confirmed by soc/ranges
    unsupported,     // `name` is a SoC we have no pull support for
    unreadable,      // no usable SoC name in the compatible list
    bad_ranges,      // `name` is known, but soc/ranges does not confirm it
};

struct soc_identity {
    soc_verdict verdict;
    const soc_model* model;              // set when known
    char name[soc_name_max_length + 1];  // "" when unreadable
};

// The last string of a compatible list (the SoC), or nullptr unless the
// list ends in a NUL and that string is 1 to soc_name_max_length printable
// ASCII characters.
const char* last_compatible(const char* bytes, size_t size);

// The peripheral base from soc/ranges; false when the cells are missing.
bool ranges_peripheral_base(const uint8_t* bytes, size_t size, uint32_t* base);

// From the two files' contents; a file that could not be read is passed
// with a null pointer.
soc_identity identify_soc(const char* compatible, size_t compatible_size, const uint8_t* ranges,
                          size_t ranges_size);

// Reads the device tree of this machine.
soc_identity detect_soc();

// Reads at most `capacity` bytes of a regular file.  -1 when it cannot be
// opened or read, is not a regular file, or holds more than `capacity`.
ssize_t read_small_file(const char* path, void* buffer, size_t capacity);
