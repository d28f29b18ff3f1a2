#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

inline constexpr char dev_mem_path[] = "/dev/mem";

// BCM2835 GPIO block: physical address and the size mapped.
inline constexpr off_t gpio_base_address = 0x20200000;
inline constexpr size_t gpio_block_size = 4096;

// 32-bit word indices within the block.
inline constexpr unsigned gppud_word = 37;      // pull-up/down control, 0x94
inline constexpr unsigned gppudclk0_word = 38;  // pull clock, pins 0-31, 0x98
inline constexpr unsigned gppudclk1_word = 39;  // pull clock, pins 32-63, 0x9C

inline constexpr uint32_t gppud_off = 0;

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

// Maps the GPIO block from /dev/mem and latches the pin's pull resistor;
// failures end the program with status 255.
void set_pull_resistor(uint32_t pin, int pull_code);
