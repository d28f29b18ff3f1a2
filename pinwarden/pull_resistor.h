#pragma once

#include "device_tree.h"
#include "sysfs_gpio.h"

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

inline constexpr char dev_mem_path[] = "/dev/mem";

// BCM2835 GPIO block: the physical address used where there is no device
// tree to say which SoC this is, and the size mapped.
inline constexpr off_t gpio_base_address = 0x20200000;
inline constexpr size_t gpio_block_size = 4096;

// 32-bit word indices within the block.
inline constexpr unsigned gppud_word = 37;      // pull-up/down control, 0x94
inline constexpr unsigned gppudclk0_word = 38;  // pull clock, pins 0-31, 0x98
inline constexpr unsigned gppudclk1_word = 39;  // pull clock, pins 32-63, 0x9C

inline constexpr uint32_t gppud_off = 0;

// On BCM2835 to BCM2837 the word at 0xF0 reads "gpio" in ASCII; the pull
// sequence is written only to a block that does, never into a page of RAM
// at an address taken on trust.  (On BCM2711 that word is a pull register.)
inline constexpr unsigned gpio_signature_word = 60;
inline constexpr uint32_t gpio_signature = 0x6770696F;

// "/<address in hex>.gpio/" and its terminator, for any 64-bit address.
inline constexpr size_t controller_name_size = 32;

// BCM2711: GPIO_PUP_PDN_CNTRL_REG0..3 from word 57 (0xE4), 16 lines each,
// two bits per line: 01 pull-up, 10 pull-down (not GPPUD's codes).
inline constexpr unsigned bcm2711_pull_word0 = 57;
inline constexpr unsigned bcm2711_lines_per_word = 16;
inline constexpr unsigned bcm2711_line_count = 64;
inline constexpr uint32_t bcm2711_pull_mask = 3;
inline constexpr uint32_t bcm2711_pull_up = 1;
inline constexpr uint32_t bcm2711_pull_down = 2;

// The controller needs 150 cycles between steps; 100 us is ample.
inline constexpr unsigned pull_settle_us = 100;

// One 32-bit store into the block, then a pause before the next one.
struct register_step {
    unsigned word;
    uint32_t value;
    unsigned delay_after_us;
};

inline constexpr int pull_step_count = 4;

// GPPUDCLK0 or GPPUDCLK1: only bit 5 of the pin picks the word.
unsigned pull_clock_word(uint32_t pin);
uint32_t pull_clock_bit(uint32_t pin);

// The latch sequence: control word, clock bit, then both back to 0 with the
// control word first.
void pull_resistor_steps(uint32_t pin, int pull_code, register_step steps[pull_step_count]);

// Performs the steps in order, each a single volatile 32-bit store.
void run_register_steps(volatile uint32_t* block, const register_step steps[], int count);

// The line is the pin modulo 64, right for chips numbered from 0 and 512.
unsigned bcm2711_pull_word(uint32_t pin);
// `old` with the pin's two bits set for `pull_code`, every other bit kept.
uint32_t bcm2711_pull_value(uint32_t old, uint32_t pin, int pull_code);
// One volatile load and one volatile store of the pin's pull word.
void set_bcm2711_pull(volatile uint32_t* block, uint32_t pin, int pull_code);

// Physical address of the GPIO block and how to latch a pull there, or
// false with a one-line message on standard error when the device tree
// names no SoC we can program.
struct gpio_target {
    off_t address;
    pull_method method;
    const soc_model* model;  // nullptr without a device tree
};
bool choose_gpio_target(gpio_target* target);

// True when the pin's directory, reached through the /sys/class/gpio link
// `link`, lies under the GPIO controller's own device, which the kernel
// names after the block's physical address ("fe200000.gpio"): a pin of
// another chip (an expander numbered after the SoC's lines) would
// otherwise fold onto an unrelated line.
bool pin_on_controller(const char* link, off_t address);

// Finds the GPIO block, maps it from /dev/mem and latches the pin's pull
// resistor; `directory` is where the export found the pin's files.
// Failures end the program with status 255.
void set_pull_resistor(uint32_t pin, int pull_code, pin_directory directory);
