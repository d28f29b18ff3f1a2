#include "pull_resistor.h"

#include "command_line.h"
#include "exit_status.h"
#include "gpio_chip.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

static_assert(sizeof(off_t) >= 8, "/dev/mem offsets above 2 GB need a 64-bit off_t");

unsigned pull_clock_word(uint32_t line)
{
    return gppudclk0_word + ((line >> 5) & 1);
}

uint32_t pull_clock_bit(uint32_t line)
{
    return UINT32_C(1) << (line & 31);
}

void latch_gppud_pull(volatile uint32_t* block, uint32_t line, int pull_code)
{
    const unsigned clock_word = pull_clock_word(line);
    block[gppud_word] = static_cast<uint32_t>(pull_code);
    usleep(pull_settle_us);
    block[clock_word] = pull_clock_bit(line);
    usleep(pull_settle_us);
    block[gppud_word] = gppud_off;
    block[clock_word] = 0;
}

unsigned bcm2711_pull_word(uint32_t line)
{
    return bcm2711_pull_word0 + (line % bcm2711_line_count) / bcm2711_lines_per_word;
}

uint32_t bcm2711_pull_value(uint32_t old, uint32_t line, int pull_code)
{
    const unsigned shift = 2 * (line % bcm2711_lines_per_word);
    const uint32_t code = pull_code == pull_code_up ? bcm2711_pull_up : bcm2711_pull_down;
    return (old & ~(bcm2711_pull_mask << shift)) | code << shift;
}

void set_bcm2711_pull(volatile uint32_t* block, uint32_t line, int pull_code)
{
    const unsigned word = bcm2711_pull_word(line);
    block[word] = bcm2711_pull_value(block[word], line, pull_code);
}

uint32_t rp1_pad_value(uint32_t old, int pull_code)
{
    const uint32_t pull = pull_code == pull_code_up ? rp1_pad_pull_up : rp1_pad_pull_down;
    return (old & ~(rp1_pad_pull_up | rp1_pad_pull_down)) | pull;
}

void set_rp1_pull(volatile uint32_t* block, uint32_t line, int pull_code)
{
    const unsigned word = rp1_first_pad_word + line % rp1_header_line_count;
    block[word] = rp1_pad_value(block[word], pull_code);
}

namespace {

// Physical address of the GPIO block and how to latch a pull there.
struct gpio_target {
    off_t address;
    pull_method method;
    const soc_model* model;  // nullptr without a device tree
};

// False, with a one-line message on standard error, when the device tree
// names no SoC we can program.
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
        *target = {static_cast<off_t>(soc.model->peripheral_base) + gpio_block_offset, soc.model->method,
                   soc.model};
        return true;
    case soc_verdict::unsupported:
        fprintf(stderr, "pull resistors are not supported on SoC %s\n", soc.name);
        return false;
    case soc_verdict::unreadable:
        fprintf(stderr, "could not identify the SoC from %s\n", compatible_path);
        return false;
    case soc_verdict::bad_ranges:
        fprintf(stderr, "unexpected peripheral address for SoC %s in %s\n", soc.name, soc_ranges_path);
        return false;
    }
    return false;
}

// The line whose registers are written: under a device tree, the pin's
// line on the controller's own chip, proved; without one, the pin number
// as given, as on the original board.
bool find_line(uint32_t pin, pin_directory directory, const gpio_target& target, uint32_t* line)
{
    if (target.model == nullptr) {
        *line = pin;
        return true;
    }
    const controller_line found = find_controller_line(pin, directory, *target.model);
    switch (found.verdict) {
    case line_verdict::found:
        break;
    case line_verdict::not_on_controller:
        fprintf(stderr, "pin %u is not on the GPIO controller of SoC %s\n", pin,
                target.model->compatible);
        return false;
    case line_verdict::no_chip:
        fprintf(stderr, "could not read the GPIO chip of pin %u\n", pin);
        return false;
    case line_verdict::outside_chip:
        fprintf(stderr, "pin %u is outside its GPIO chip\n", pin);
        return false;
    }
    if (target.method == pull_method::rp1_pads && found.line >= rp1_header_line_count) {
        fprintf(stderr, "pin %u is not a header pin (RP1 bank 0, lines 0 to 27)\n", pin);
        return false;
    }
    if (found.line >= gppud_line_count) {
        fprintf(stderr, "pin %u is outside its GPIO chip\n", pin);
        return false;
    }
    *line = found.line;
    return true;
}

struct mapped_block {
    void* address;
    size_t size;
    int fd;
    const char* device;
};

int open_device(const char* path)
{
    return open(path, O_RDWR | O_SYNC | O_CLOEXEC);
}

// The Pi 5 through /dev/gpiomem0 only; the others through /dev/gpiomem
// where the kernel has it, else /dev/mem at the block's physical address.
// Without a device tree, /dev/mem as on the original board.
bool map_gpio_block(const gpio_target& target, mapped_block* block)
{
    off_t offset = 0;
    if (target.method == pull_method::rp1_pads) {
        *block = {MAP_FAILED, rp1_block_size, open_device(dev_gpiomem0_path), dev_gpiomem0_path};
    } else {
        *block = {MAP_FAILED, gpio_block_size, -1, dev_gpiomem_path};
        if (target.model != nullptr)
            block->fd = open_device(dev_gpiomem_path);
        if (target.model == nullptr || (block->fd < 0 && errno == ENOENT)) {
            block->device = dev_mem_path;
            block->fd = open_device(dev_mem_path);
            offset = target.address;
        }
    }
    if (block->fd < 0) {
        fprintf(stderr, "could not open %s: %s\n", block->device, strerror(errno));
        return false;
    }
    block->address = mmap(nullptr, block->size, PROT_READ | PROT_WRITE, MAP_SHARED, block->fd, offset);
    if (block->address != MAP_FAILED)
        return true;
    const int refusal = errno;
    fprintf(stderr, "could not map GPIO region: %s\n", strerror(refusal));
    if (refusal == EPERM && block->device == dev_mem_path)
        fprintf(stderr,
                "%s refused the mapping: the kernel's strict /dev/mem setting is the "
                "likely cause (booting with iomem=relaxed lifts it)\n",
                block->device);
    close(block->fd);
    return false;
}

// False, with nothing stored, when a block for the pull sequence does not
// read as a GPIO block.
bool latch_pull(const mapped_block& block, const gpio_target& target, uint32_t line, int pull_code)
{
    volatile uint32_t* registers = static_cast<volatile uint32_t*>(block.address);
    switch (target.method) {
    case pull_method::rp1_pads:
        set_rp1_pull(registers, line, pull_code);
        return true;
    case pull_method::bcm2711_registers:
        set_bcm2711_pull(registers, line, pull_code);
        return true;
    case pull_method::gppud_sequence:
        break;
    }
    if (registers[gpio_signature_word] != gpio_signature) {
        if (block.device == dev_mem_path)
            fprintf(stderr, "no GPIO block at physical address 0x%llx\n",
                    static_cast<unsigned long long>(target.address));
        else
            fprintf(stderr, "no GPIO block in %s\n", block.device);
        return false;
    }
    latch_gppud_pull(registers, line, pull_code);
    return true;
}

}  // namespace

void set_pull_resistor(uint32_t pin, int pull_code, pin_directory directory)
{
    gpio_target target{};
    uint32_t line = 0;
    mapped_block block{};
    if (!choose_gpio_target(&target) || !find_line(pin, directory, target, &line) ||
        !map_gpio_block(target, &block))
        exit(exit_pull_failed);
    const bool latched = latch_pull(block, target, line, pull_code);
    munmap(block.address, block.size);
    close(block.fd);
    if (!latched)
        exit(exit_pull_failed);
}
