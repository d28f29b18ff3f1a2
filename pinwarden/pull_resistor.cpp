#include "pull_resistor.h"

#include "command_line.h"
#include "exit_status.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

static_assert(sizeof(off_t) >= 8, "/dev/mem offsets above 2 GB need a 64-bit off_t");

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

unsigned bcm2711_pull_word(uint32_t pin)
{
    return bcm2711_pull_word0 + (pin % bcm2711_line_count) / bcm2711_lines_per_word;
}

uint32_t bcm2711_pull_value(uint32_t old, uint32_t pin, int pull_code)
{
    const unsigned shift = 2 * (pin % bcm2711_lines_per_word);
    const uint32_t code = pull_code == pull_code_up ? bcm2711_pull_up : bcm2711_pull_down;
    return (old & ~(bcm2711_pull_mask << shift)) | code << shift;
}

void set_bcm2711_pull(volatile uint32_t* block, uint32_t pin, int pull_code)
{
    const unsigned word = bcm2711_pull_word(pin);
    block[word] = bcm2711_pull_value(block[word], pin, pull_code);
}

bool choose_gpio_target(gpio_target* target)
{
    const soc_identity soc = detect_soc();
    switch (soc.verdict) {
    case soc_verdict::no_device_tree:
        *target = {gpio_base_address, pull_method::gppud_sequence, nullptr};
        return true;
    case soc_verdict::known:
        // The address comes from our own table; the device tree only
        // confirmed it.
        *target = {static_cast<off_t>(soc.model->peripheral_base) + gpio_block_offset,
                   soc.model->method, soc.model};
        return true;
    case soc_verdict::unsupported:
        fprintf(stderr, "pull resistors are not supported on SoC %s\n", soc.name);
        return false;
    case soc_verdict::unreadable:
        fprintf(stderr, "could not identify the SoC from %s\n", compatible_path);
        return false;
    case soc_verdict::bad_ranges:
        fprintf(stderr, "unexpected peripheral address for SoC %s in %s\n", soc.name,
                soc_ranges_path);
        return false;
    }
    return false;
}

bool pin_on_controller(const char* link, off_t address)
{
    char target[attribute_path_size];
    const ssize_t length = readlink(link, target, sizeof target - 1);
    if (length < 0)
        return false;
    target[length] = '\0';
    char device[controller_name_size];
    snprintf(device, sizeof device, "/%llx.gpio/", static_cast<unsigned long long>(address));
    return strstr(target, device) != nullptr;
}

namespace {

// Only where the kernel keeps the pin under its chip's device can the chip
// be told; the original kernels' virtual directories number the SoC's
// lines alone.
bool check_pin_controller(uint32_t pin, pin_directory directory, const gpio_target& target)
{
    if (target.model == nullptr || directory != pin_directory::class_link)
        return true;
    char link[attribute_path_size];
    snprintf(link, sizeof link, class_pin_directory_format, pin);
    if (pin_on_controller(link, target.address))
        return true;
    fprintf(stderr, "pin %u is not on the GPIO controller of SoC %s\n", pin,
            target.model->compatible);
    return false;
}

// False, with nothing stored, when a block for the pull sequence does not
// read as a GPIO block.
bool latch_pull(volatile uint32_t* registers, const gpio_target& target, uint32_t pin,
                int pull_code)
{
    if (target.method == pull_method::bcm2711_registers) {
        set_bcm2711_pull(registers, pin, pull_code);
        return true;
    }
    if (registers[gpio_signature_word] != gpio_signature) {
        fprintf(stderr, "no GPIO block at physical address 0x%llx\n",
                static_cast<unsigned long long>(target.address));
        return false;
    }
    register_step steps[pull_step_count];
    pull_resistor_steps(pin, pull_code, steps);
    run_register_steps(registers, steps, pull_step_count);
    return true;
}

}  // namespace

void set_pull_resistor(uint32_t pin, int pull_code, pin_directory directory)
{
    gpio_target target{};
    if (!choose_gpio_target(&target) || !check_pin_controller(pin, directory, target))
        exit(exit_pull_failed);
    const int fd = open(dev_mem_path, O_RDWR | O_SYNC | O_CLOEXEC);
    if (fd < 0) {
        fprintf(stderr, "could not open /dev/mem: %s\n", strerror(errno));
        exit(exit_pull_failed);
    }
    void* block = mmap(nullptr, gpio_block_size, PROT_READ | PROT_WRITE, MAP_SHARED, fd,
                       target.address);
    if (block == MAP_FAILED) {
        fprintf(stderr, "could not map GPIO region: %s\n", strerror(errno));
        close(fd);
        exit(exit_pull_failed);
    }
    const bool latched =
        latch_pull(static_cast<volatile uint32_t*>(block), target, pin, pull_code);
    munmap(block, gpio_block_size);
    close(fd);
    if (!latched)
        exit(exit_pull_failed);
}
