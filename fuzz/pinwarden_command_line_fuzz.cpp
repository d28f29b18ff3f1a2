// pinwarden's argument handling on arbitrary argument vectors, up to the
// point where it would touch the system: the parsed command line, the
// attribute paths it would hand over and the register words it would store;
// and its reading of device-tree bytes, the same input taken as the
// compatible list and as soc/ranges.  Nothing here writes a file or maps
// memory.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "command_line.h"
#include "device_tree.h"
#include "fuzz_input.h"
#include "pull_registers.h"
#include "sysfs_gpio.h"

namespace {

void require(bool condition, const char* what)
{
    if (!condition) {
        fprintf(stderr, "invariant broken: %s\n", what);
        abort();
    }
}

// Whether strtoul in base 0 reads the whole word as a number that fits 32
// bits without a minus sign (a minus is harmless on zero only) and without
// a binary prefix (which newer glibc reads and older glibc does not).
bool is_pin_number(const char* word, uint32_t* pin)
{
    const char* digits = word;
    while (*digits == ' ' || (*digits >= '\t' && *digits <= '\r'))
        ++digits;
    if (*digits == '+' || *digits == '-')
        ++digits;
    if (digits[0] == '0' && (digits[1] == 'b' || digits[1] == 'B'))
        return false;
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = strtoull(word, &end, 0);
    if (end == word || *end != '\0' || errno == ERANGE || value > UINT32_MAX)
        return false;
    if (value != 0 && strchr(word, '-') != nullptr)
        return false;
    *pin = static_cast<uint32_t>(value);
    return true;
}

void check_parse(int argc, char* argv[], const command_line& line)
{
    const bool right_count = argc == 3 || argc == 4;
    require(line.pull_code == pull_code_none || line.pull_code == pull_code_down ||
                line.pull_code == pull_code_up,
            "pull code is 0, 1 or 2");
    if (!right_count) {
        require(line.status == parse_status::usage, "a wrong count is a usage error");
        return;
    }
    const char* pin_word = argv[pin_argument];
    if (pin_word[0] == '\0') {
        require(line.status == parse_status::empty_pin, "an empty pin is reported first");
        return;
    }
    uint32_t pin = 0;
    if (!is_pin_number(pin_word, &pin)) {
        require(line.status == parse_status::invalid_pin, "a bad pin is refused");
        return;
    }
    require(line.status == parse_status::ok || line.status == parse_status::usage,
            "a good pin is never refused");
    const int pull_code = argc == 4 ? pull_code_of(argv[pull_argument]) : pull_code_none;
    const bool known_command = strcmp(argv[1], "export") == 0 || strcmp(argv[1], "unexport") == 0;
    const bool accepted = known_command && (argc == 3 || pull_code != pull_code_none);
    require((line.status == parse_status::ok) == accepted,
            "accepted exactly with a known command and a known pull word");
    if (!accepted)
        return;
    require(line.pin == pin, "the pin is strtoul's reading of the word");
    require(line.pull_code == pull_code, "the pull code is that of the fourth word");
    require((line.command == command_kind::export_pin) == (strcmp(argv[1], "export") == 0),
            "the command is the first word's");
}

// The paths handed over, in any directory: never longer than the buffer,
// cut exactly where snprintf says.  On a per-chip kernel the pin is the
// line, and the chip's number is taken from the pin too.
void check_attribute_paths(uint32_t pin, size_t buffer_size)
{
    const uint32_t chip = pin >> 16;
    const struct {
        pin_directory directory;
        const char* format;
    } directories[] = {
        {pin_directory::virtual_device, "/sys/devices/virtual/gpio/gpio%u/%s"},
        {pin_directory::class_link, "/sys/class/gpio/gpio%u/%s"},
        {pin_directory::chip_line, "/sys/class/gpio/chip%u/gpio%u/%s"},
    };
    for (const auto& d : directories) {
        const pin_location where{d.directory, chip, pin};
        for (const pin_attribute& file : pin_attributes) {
            const char* attribute = file.name;
            char expected[attribute_path_size];
            const int length = d.directory == pin_directory::chip_line
                                   ? snprintf(expected, sizeof expected, d.format, chip, pin, attribute)
                                   : snprintf(expected, sizeof expected, d.format, pin, attribute);
            // Exactly buffer_size bytes, so that ASan sees any write past them.
            char* buffer = static_cast<char*>(malloc(buffer_size > 0 ? buffer_size : 1));
            const bool fits = format_attribute_path(buffer, buffer_size, where, attribute);
            require(fits == (length >= 0 && static_cast<size_t>(length) < buffer_size),
                    "a path fits exactly when it is shorter than the buffer");
            if (fits)
                require(strcmp(buffer, expected) == 0, "the path names the pin and attribute");
            free(buffer);
        }
    }
}

// The GPPUD clock store: GPPUDCLK0 or GPPUDCLK1 by bit 5 of the line, one
// bit, that of the line, never a word past the block's clock words.
void check_clock_store(uint32_t line)
{
    const unsigned clock_word = pull_clock_word(line);
    const unsigned clock0 = bcm2835_pull.clock_word0;
    require(clock_word == clock0 || clock_word == clock0 + 1, "the clock word is GPPUDCLK0 or GPPUDCLK1");
    require(clock_word == (line % 64 < 32 ? clock0 : clock0 + 1), "bit 5 of the line picks the clock word");
    require(pull_clock_bit(line) == UINT32_C(1) << (line % 32), "one clock bit, that of the line");
}

// The BCM2711 update touches the pin's two bits of one of the four pull
// words, whatever the old value (taken from the pin itself here).
void check_bcm2711_pull(uint32_t pin, int pull_code)
{
    const unsigned word = bcm2711_pull_word(pin);
    require(word >= bcm2711_pull.first_word && word < bcm2711_pull.first_word + 4,
            "the pull word is one of REG0..REG3");
    const uint32_t old = pin * UINT32_C(2654435761);
    const uint32_t value = bcm2711_pull_value(old, pin, pull_code);
    const unsigned shift = 2 * (pin % bcm2711_pull.lines_per_word);
    require(((value ^ old) & ~(bcm2711_pull.line_mask << shift)) == 0, "other lines' bits are kept");
    require((value >> shift & bcm2711_pull.line_mask) == (pull_code == pull_code_up ? 1u : 2u),
            "the line gets 01 for up, 10 for down");
}

// Copies into a buffer of exactly `size` bytes, so that ASan sees any read
// past what the file held.
void check_device_tree(const uint8_t* data, size_t size)
{
    char* compatible = static_cast<char*>(malloc(size > 0 ? size : 1));
    uint8_t* ranges = static_cast<uint8_t*>(malloc(size > 0 ? size : 1));
    memcpy(compatible, data, size);
    memcpy(ranges, data, size);
    const soc_identity soc = identify_soc(compatible, size, ranges, size);
    const size_t name_length = strnlen(soc.name, sizeof soc.name);
    require(name_length <= soc_name_max_length, "the SoC name is terminated and bounded");
    for (size_t i = 0; i < name_length; ++i)
        require(soc.name[i] >= ' ' && soc.name[i] <= '~', "the SoC name is printable");
    require((soc.verdict == soc_verdict::unreadable) == (name_length == 0),
            "only an unreadable list has no name");
    require((soc.model != nullptr) == (soc.verdict == soc_verdict::known),
            "a model exactly for a known SoC");
    if (soc.model != nullptr) {
        uint32_t base = 0;
        require(soc.model >= known_socs && soc.model < known_socs + known_soc_count,
                "the model is one of ours");
        require(strcmp(soc.model->compatible, soc.name) == 0, "the model is the named SoC");
        require(soc.model->peripheral_base == 0 ||
                    (ranges_peripheral_base(ranges, size, &base) &&
                     base == soc.model->peripheral_base),
                "a known SoC mapped from /dev/mem only at its own base");
    }
    free(ranges);
    free(compatible);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // The first byte sizes the attribute path buffer; the rest is the whole
    // argument vector, program name included.
    const size_t buffer_size = size > 0 ? data[0] : attribute_path_size;
    FuzzArguments arguments;
    splitArguments(size > 0 ? data + 1 : data, size > 0 ? size - 1 : 0, nullptr, arguments);

    const char* name = program_name(arguments.argc, arguments.argv);
    require(name != nullptr && name[0] != '\0', "there is always a program name to print");

    const command_line line = parse_command_line(arguments.argc, arguments.argv);
    check_parse(arguments.argc, arguments.argv, line);
    if (line.status == parse_status::ok) {
        check_attribute_paths(line.pin, buffer_size);
        if (line.pull_code != pull_code_none) {
            check_clock_store(line.pin);
            check_bcm2711_pull(line.pin, line.pull_code);
        }
    }
    freeArguments(arguments);
    check_device_tree(data, size);
    return 0;
}
