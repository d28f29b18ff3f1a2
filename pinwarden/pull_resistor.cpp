#include "pull_resistor.h"

#include "exit_status.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

unsigned pull_clock_word(uint32_t pin)
{
    return gppudclk0_word + ((pin >> 5) & 1);
}

uint32_t pull_clock_bit(uint32_t pin)
{
    return UINT32_C(1) << (pin & 31);
}

void pull_resistor_steps(uint32_t pin, int pull_code, register_step steps[pull_step_count])
{
    const unsigned clock_word = pull_clock_word(pin);
    steps[0] = {gppud_word, static_cast<uint32_t>(pull_code), pull_settle_us};
    steps[1] = {clock_word, pull_clock_bit(pin), pull_settle_us};
    steps[2] = {gppud_word, gppud_off, 0};
    steps[3] = {clock_word, 0, 0};
}

void run_register_steps(volatile uint32_t* block, const register_step steps[], int count)
{
    for (int i = 0; i < count; ++i) {
        block[steps[i].word] = steps[i].value;
        if (steps[i].delay_after_us > 0)
            usleep(steps[i].delay_after_us);
    }
}

void set_pull_resistor(uint32_t pin, int pull_code)
{
    const int fd = open(dev_mem_path, O_RDWR | O_SYNC | O_CLOEXEC);
    if (fd < 0) {
        fprintf(stderr, "could not open /dev/mem: %s\n", strerror(errno));
        exit(exit_pull_failed);
    }
    void* block = mmap(nullptr, gpio_block_size, PROT_READ | PROT_WRITE, MAP_SHARED, fd,
                       gpio_base_address);
    if (block == MAP_FAILED) {
        fprintf(stderr, "could not map GPIO region: %s\n", strerror(errno));
        close(fd);
        exit(exit_pull_failed);
    }
    register_step steps[pull_step_count];
    pull_resistor_steps(pin, pull_code, steps);
    run_register_steps(static_cast<volatile uint32_t*>(block), steps, pull_step_count);
    munmap(block, gpio_block_size);
    close(fd);
}
