#include "pull_registers.h"

#include "command_line.h"

#include <unistd.h>

uint32_t register_code(const pull_codes& codes, int pull_code)
{
    return pull_code == pull_code_up ? codes.up : codes.down;
}

unsigned pull_clock_word(uint32_t line)
{
    return bcm2835_pull.clock_word0 + ((line >> 5) & 1);
}

uint32_t pull_clock_bit(uint32_t line)
{
    return UINT32_C(1) << (line & 31);
}

void latch_gppud_pull(volatile uint32_t* block, uint32_t line, int pull_code)
{
    const unsigned clock_word = pull_clock_word(line);
    block[bcm2835_pull.control_word] = register_code(bcm2835_pull.codes, pull_code);
    usleep(bcm2835_pull.settle_us);
    block[clock_word] = pull_clock_bit(line);
    usleep(bcm2835_pull.settle_us);
    block[bcm2835_pull.control_word] = bcm2835_pull.off;
    block[clock_word] = 0;
}

unsigned bcm2711_pull_word(uint32_t line)
{
    return bcm2711_pull.first_word + (line % bcm2711_pull.line_count) / bcm2711_pull.lines_per_word;
}

uint32_t bcm2711_pull_value(uint32_t old, uint32_t line, int pull_code)
{
    const unsigned shift = 2 * (line % bcm2711_pull.lines_per_word);
    const uint32_t code = register_code(bcm2711_pull.codes, pull_code);
    return (old & ~(bcm2711_pull.line_mask << shift)) | code << shift;
}

void set_bcm2711_pull(volatile uint32_t* block, uint32_t line, int pull_code)
{
    const unsigned word = bcm2711_pull_word(line);
    block[word] = bcm2711_pull_value(block[word], line, pull_code);
}

uint32_t rp1_pad_value(uint32_t old, int pull_code)
{
    const uint32_t both = rp1_pull.codes.up | rp1_pull.codes.down;
    return (old & ~both) | register_code(rp1_pull.codes, pull_code);
}

void set_rp1_pull(volatile uint32_t* block, uint32_t line, int pull_code)
{
    const unsigned word = rp1_pull.first_pad_word + line % rp1_pull.line_count;
    block[word] = rp1_pad_value(block[word], pull_code);
}
