#include "pull_resistor.h"

#include "device_tree.h"
#include "exit_status.h"
#include "gpio_chip.h"
#include "messages.h"
#include "pull_registers.h"

#include <cerrno>
#include <cstddef>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <unistd.h>

static_assert(sizeof(off_t) >= 8, "/dev/mem offsets above 2 GB need a 64-bit off_t");

namespace {

// Physical address of the GPIO block and how to latch a pull there.
struct gpio_target {
    off_t address;
    pull_method method;
    const soc_model* model;  // nullptr without a device tree
};

// False, with a one-line message, when the device tree names no SoC we
// can program.
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
        print_message(message_prefix::none, 0, "pull resistors are not supported on SoC %s", soc.name);
        return false;
    case soc_verdict::unreadable:
        print_message(message_prefix::none, 0, "could not identify the SoC from %s", compatible_path);
        return false;
    case soc_verdict::bad_ranges:
        print_message(message_prefix::none, 0, "unexpected peripheral address for SoC %s in %s",
                      soc.name, soc_ranges_path);
        return false;
    }
    return false;
}

// Under a device tree, the pin's line on the controller's own chip, proved
// here from the pin's directory, or by the export itself on a per-chip
// kernel, which wrote the line to the controller's chip.
bool find_controller_line_of(uint32_t pin, const pin_location& where, const soc_model& model,
                             uint32_t* line)
{
    if (where.directory == pin_directory::chip_line) {
        *line = where.number;
        return true;
    }
    const controller_line found = find_controller_line(pin, where.directory, model);
    switch (found.verdict) {
    case line_verdict::found:
        *line = found.line;
        return true;
    case line_verdict::not_on_controller:
        print_message(message_prefix::none, 0, "pin %u is not on the GPIO controller of SoC %s", pin,
                      model.compatible);
        return false;
    case line_verdict::no_chip:
        print_message(message_prefix::none, 0, "could not read the GPIO chip of pin %u", pin);
        return false;
    case line_verdict::outside_chip:
        print_message(message_prefix::none, 0, "pin %u is outside its GPIO chip", pin);
        return false;
    }
    return false;
}

// The line whose registers are written; without a device tree, the pin
// number as given, as on the original board.  A line past the registers'
// would wrap onto another pin's bits.
bool find_line(uint32_t pin, const pin_location& where, const gpio_target& target, uint32_t* line)
{
    if (target.model == nullptr)
        *line = pin;
    else if (!find_controller_line_of(pin, where, *target.model, line))
        return false;
    if (target.method == pull_method::rp1_pads && *line >= rp1_pull.line_count) {
        print_message(message_prefix::none, 0, "pin %u is not a header pin (RP1 bank 0, lines 0 to %u)",
                      pin, rp1_pull.line_count - 1);
        return false;
    }
    if (*line >= bcm2835_pull.line_count) {
        print_message(message_prefix::none, 0, "pin %u is outside its GPIO chip", pin);
        return false;
    }
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

size_t block_size_of(pull_method method)
{
    switch (method) {
    case pull_method::gppud_sequence:
        return bcm2835_pull.block_size;
    case pull_method::bcm2711_registers:
        return bcm2711_pull.block_size;
    case pull_method::rp1_pads:
        return rp1_pull.block_size;
    }
    return 0;
}

// The Pi 5 through /dev/gpiomem0 only; the others through /dev/gpiomem
// where the kernel has it, else /dev/mem at the block's physical address.
// Without a device tree, /dev/mem as on the original board.
bool map_gpio_block(const gpio_target& target, mapped_block* block)
{
    off_t offset = 0;
    const size_t size = block_size_of(target.method);
    if (target.method == pull_method::rp1_pads) {
        *block = {MAP_FAILED, size, open_device(dev_gpiomem0_path), dev_gpiomem0_path};
    } else {
        *block = {MAP_FAILED, size, -1, dev_gpiomem_path};
        if (target.model != nullptr)
            block->fd = open_device(dev_gpiomem_path);
        if (target.model == nullptr || (block->fd < 0 && errno == ENOENT)) {
            block->device = dev_mem_path;
            block->fd = open_device(dev_mem_path);
            offset = target.address;
        }
    }
    if (block->fd < 0) {
        print_message(message_prefix::none, errno, "could not open %s", block->device);
        return false;
    }
    block->address = mmap(nullptr, block->size, PROT_READ | PROT_WRITE, MAP_SHARED, block->fd, offset);
    if (block->address != MAP_FAILED)
        return true;
    const int refusal = errno;
    print_message(message_prefix::none, refusal, "could not map GPIO region");
    if (refusal == EPERM && block->device == dev_mem_path)
        print_message(message_prefix::none, 0,
                      "%s refused the mapping: the kernel's strict /dev/mem setting is the "
                      "likely cause (booting with iomem=relaxed lifts it)",
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
    if (registers[bcm2835_pull.signature_word] != bcm2835_pull.signature) {
        if (block.device == dev_mem_path)
            print_message(message_prefix::none, 0, "no GPIO block at physical address 0x%llx",
                          static_cast<unsigned long long>(target.address));
        else
            print_message(message_prefix::none, 0, "no GPIO block in %s", block.device);
        return false;
    }
    latch_gppud_pull(registers, line, pull_code);
    return true;
}

}  // namespace

int set_pull_resistor(uint32_t pin, int pull_code, const pin_location& where)
{
    gpio_target target{};
    uint32_t line = 0;
    mapped_block block{};
    if (!choose_gpio_target(&target) || !find_line(pin, where, target, &line) ||
        !map_gpio_block(target, &block))
        return exit_pull_failed;
    // Two runs at once would each read, change and write back the same
    // words: one at a time.  The lock goes with the descriptor; where the
    // device takes none, the pull goes on without it.
    (void)flock(block.fd, LOCK_EX);
    const bool latched = latch_pull(block, target, line, pull_code);
    munmap(block.address, block.size);
    close(block.fd);
    return latched ? exit_success : exit_pull_failed;
}
