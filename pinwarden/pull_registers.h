#pragma once

// The three ways of setting a pull resistor, each with one table of its
// registers and of the codes the command line's pull-up and pull-down
// become in them.  Every store is one volatile 32-bit access.

#include <cstddef>
#include <cstdint>

// A register's codes for a pull-up and a pull-down.
struct pull_codes {
    uint32_t up;
    uint32_t down;
};

// The code `codes` has for the command line's pull_code_up or
// pull_code_down.
uint32_t register_code(const pull_codes& codes, int pull_code);

// BCM2835, BCM2836, BCM2837: the code into GPPUD, then a clock bit per line
// in GPPUDCLK0 (lines 0-31) or GPPUDCLK1 (32-63) latches it.  Their block
// reads "gpio" in ASCII at the signature word, which the BCM2711's does not.
struct clocked_pull_table {
    size_t block_size;
    unsigned control_word;  // GPPUD, 0x94
    unsigned clock_word0;   // GPPUDCLK0, 0x98; GPPUDCLK1 follows it
    unsigned line_count;
    uint32_t off;
    pull_codes codes;
    unsigned settle_us;  // 150 cycles are needed between steps; ample
    unsigned signature_word;
    uint32_t signature;
};
inline constexpr clocked_pull_table bcm2835_pull = {4096, 37, 38, 64, 0, {2, 1}, 100, 60, 0x6770696F};

// BCM2711: GPIO_PUP_PDN_CNTRL_REG0..3 from 0xE4, 16 lines a word, two bits
// a line (bits 2n+1..2n); a read-modify-write of those bits sets the pull.
struct two_bit_pull_table {
    size_t block_size;
    unsigned first_word;
    unsigned lines_per_word;
    unsigned line_count;
    uint32_t line_mask;
    pull_codes codes;
};
inline constexpr two_bit_pull_table bcm2711_pull = {4096, 57, 16, 64, 3, {1, 2}};

// RP1 (Pi 5), as /dev/gpiomem0 maps it: PADS_BANK0 at 0x20000, a voltage
// select word, then one pad register per bank-0 line, PUE bit 3 and PDE
// bit 2.  The header's GPIO 0 to 27 are bank 0's lines 0 to 27.
struct pad_pull_table {
    size_t block_size;
    unsigned first_pad_word;
    unsigned line_count;
    pull_codes codes;  // the pad's bits; both are cleared before one is set
};
inline constexpr pad_pull_table rp1_pull = {
    0x30000, 0x20000 / 4 + 1, 28, {UINT32_C(1) << 3, UINT32_C(1) << 2}};

// GPPUDCLK0 or GPPUDCLK1, and the line's bit in it: only bit 5 of the line
// picks the word.
unsigned pull_clock_word(uint32_t line);
uint32_t pull_clock_bit(uint32_t line);

// The datasheet's sequence: the code into GPPUD, a pause, the line's clock
// bit, a pause, then GPPUD and the clock word back to off, GPPUD first.
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
