#pragma once

#include "device_tree.h"
#include "sysfs_gpio.h"

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

// The GPIO block alone, from the Pi's own kernels: no window onto the rest
// of physical memory.  /dev/mem only where it is missing.
inline constexpr char dev_gpiomem_path[] = "/dev/gpiomem";
inline constexpr char dev_mem_path[] = "/dev/mem";
// The Pi 5's RP1 GPIO blocks.
inline constexpr char dev_gpiomem0_path[] = "/dev/gpiomem0";

// BCM2835 GPIO block: the physical address used where there is no device
// tree to say which SoC this is, and the size mapped.
inline constexpr off_t gpio_base_address = 0x20200000;
inline constexpr size_t gpio_block_size = 4096;

// 32-bit word indices within the block.
inline constexpr unsigned gppud_word = 37;      // pull-up/down control, 0x94
inline constexpr unsigned gppudclk0_word = 38;  // pull clock, lines 0-31, 0x98
inline constexpr unsigned gppudclk1_word = 39;  // pull clock, lines 32-63, 0x9C
inline constexpr unsigned gppud_line_count = 64;

inline constexpr uint32_t gppud_off = 0;

// On BCM2835 to BCM2837 the word at 0xF0 reads "gpio" in ASCII; the pull
// sequence is written only to a block that does, never into a page of RAM
// at an address taken on trust.  (On BCM2711 that word is a pull register.)
inline constexpr unsigned gpio_signature_word = 60;
inline constexpr uint32_t gpio_signature = 0x6770696F;

// BCM2711: GPIO_PUP_PDN_CNTRL_REG0..3 from word 57 (0xE4), 16 lines each,
// two bits per line: 01 pull-up, 10 pull-down (not GPPUD's codes).
inline constexpr unsigned bcm2711_pull_word0 = 57;
inline constexpr unsigned bcm2711_lines_per_word = 16;
inline constexpr unsigned bcm2711_line_count = 64;
inline constexpr uint32_t bcm2711_pull_mask = 3;
inline constexpr uint32_t bcm2711_pull_up = 1;
inline constexpr uint32_t bcm2711_pull_down = 2;

// RP1 (Pi 5), as /dev/gpiomem0 maps it: PADS_BANK0 at 0x20000, a voltage
// select word, then one pad register per bank-0 line.  The header's GPIO 0
// to 27 are bank 0's lines 0 to 27.
inline constexpr size_t rp1_block_size = 0x30000;
inline constexpr unsigned rp1_pads_bank0_word = 0x20000 / 4;
inline constexpr unsigned rp1_first_pad_word = rp1_pads_bank0_word + 1;
inline constexpr unsigned rp1_header_line_count = 28;
inline constexpr uint32_t rp1_pad_pull_up = UINT32_C(1) << 3;    // PUE
inline constexpr uint32_t rp1_pad_pull_down = UINT32_C(1) << 2;  // PDE

// The controller needs 150 cycles between steps; 100 us is ample.
inline constexpr unsigned pull_settle_us = 100;

// GPPUDCLK0 or GPPUDCLK1, and the line's bit in it: only bit 5 of the line
// picks the word.
unsigned pull_clock_word(uint32_t line);
uint32_t pull_clock_bit(uint32_t line);

// The datasheet's sequence, each step a volatile 32-bit store: the pull
// code into GPPUD, a pause, the line's clock bit, a pause, then GPPUD and
// the clock word back to 0, GPPUD first.
void latch_gppud_pull(volatile uint32_t* block, uint32_t line, int pull_code);

// Lines beyond the last fold back, so that no store leaves REG0..3; the
// caller passes only lines of the controller's chip.
unsigned bcm2711_pull_word(uint32_t line);
// `old` with the line's two bits set for `pull_code`, every other bit kept.
uint32_t bcm2711_pull_value(uint32_t old, uint32_t line, int pull_code);
// One volatile load and one volatile store of the line's pull word.
void set_bcm2711_pull(volatile uint32_t* block, uint32_t line, int pull_code);

// `old` with PUE or PDE set and the other cleared, every other bit kept.
uint32_t rp1_pad_value(uint32_t old, int pull_code);
// One volatile load and one volatile store of the line's pad register;
// lines beyond bank 0's header lines fold back, as above.
void set_rp1_pull(volatile uint32_t* block, uint32_t line, int pull_code);

// Finds the GPIO block, proves the pin to be a line of the controller
// whose registers it holds, maps it and sets the line's pull resistor;
// `directory` is where the export found the pin's files.  Failures end the
// program with status 255.
void set_pull_resistor(uint32_t pin, int pull_code, pin_directory directory);
