#include "gpio_chip.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>

namespace {

// The controllers' own nodes.  brcm,bcm2838-gpio is the BCM2711's node on
// the Pi 4's first kernels, which list brcm,bcm2835-gpio after it as well.
inline constexpr const char* broadcom_controllers[] = {"brcm,bcm2835-gpio", "brcm,bcm2711-gpio",
                                                       "brcm,bcm2838-gpio"};
inline constexpr const char* rp1_controllers[] = {"raspberrypi,rp1-gpio"};

bool starts_with(const char* text, const char* prefix)
{
    return strncmp(text, prefix, strlen(prefix)) == 0;
}

bool is_number_text(const char* text)
{
    if (*text == '\0')
        return false;
    for (; *text != '\0'; ++text)
        if (*text < '0' || *text > '9')
            return false;
    return true;
}

// Cuts the last component off `path`; false where it is not `name`, or
// where `name` is null, not "gpiochip" and digits.
bool strip_component(char* path, const char* name)
{
    char* slash = strrchr(path, '/');
    if (slash == nullptr || slash == path)
        return false;
    const char* last = slash + 1;
    if (name != nullptr ? strcmp(last, name) != 0
                        : !(starts_with(last, chip_entry_prefix) &&
                            is_number_text(last + strlen(chip_entry_prefix))))
        return false;
    *slash = '\0';
    return true;
}

// A decimal number and a newline, as the kernel writes base and ngpio.
bool read_chip_number(const char* entry, const char* name, uint32_t* value)
{
    char path[attribute_path_size];
    char text[chip_number_max_size];
    if (snprintf(path, sizeof path, "%s/%s", entry, name) >= static_cast<int>(sizeof path))
        return false;
    const ssize_t size = read_small_file(path, text, sizeof text - 1);
    if (size < 2 || text[size - 1] != '\n')
        return false;
    text[size - 1] = '\0';
    if (!is_number_text(text))
        return false;
    errno = 0;
    const unsigned long number = strtoul(text, nullptr, 10);
    if (errno != 0 || number > UINT32_MAX)
        return false;
    *value = static_cast<uint32_t>(number);
    return true;
}

bool read_chip_lines(const char* entry, chip_lines* chip)
{
    return read_chip_number(entry, "base", &chip->base) &&
           read_chip_number(entry, "ngpio", &chip->count);
}

bool has_compatible(const char* node, const char* const* names, size_t count)
{
    char path[attribute_path_size];
    char list[node_compatible_max_size];
    if (snprintf(path, sizeof path, "%s/compatible", node) >= static_cast<int>(sizeof path))
        return false;
    const ssize_t size = read_small_file(path, list, sizeof list);
    if (size <= 0 || list[size - 1] != '\0')
        return false;
    for (const char* entry = list; entry < list + size; entry += strlen(entry) + 1)
        for (size_t i = 0; i < count; ++i)
            if (strcmp(entry, names[i]) == 0)
                return true;
    return false;
}

// The SoC's controller is a node right on the SoC's bus; the RP1 sits
// behind PCIe, deeper in the tree.
bool is_controller_node(const char* node, const soc_model& model)
{
    if (model.method == pull_method::rp1_pads)
        return starts_with(node, device_tree_node_prefix) &&
               has_compatible(node, rp1_controllers, sizeof rp1_controllers / sizeof *rp1_controllers);
    const char* name = node + strlen(device_tree_bus_prefix);
    return starts_with(node, device_tree_bus_prefix) && *name != '\0' && strchr(name, '/') == nullptr &&
           has_compatible(node, broadcom_controllers,
                          sizeof broadcom_controllers / sizeof *broadcom_controllers);
}

// The device that owns the pin's directory: .../DEVICE/gpio/gpioN, or
// .../DEVICE/gpiochipK/gpio/gpioN on kernels that put it under the chip.
bool pin_device(uint32_t pin, char device[PATH_MAX])
{
    char link[attribute_path_size];
    char name[chip_number_max_size + 8];
    snprintf(link, sizeof link, class_pin_directory_format, pin);
    snprintf(name, sizeof name, "gpio%u", pin);
    if (realpath(link, device) == nullptr || !strip_component(device, name) ||
        !strip_component(device, "gpio"))
        return false;
    strip_component(device, nullptr);
    return starts_with(device, sysfs_devices_prefix) && !starts_with(device, sysfs_virtual_prefix);
}

// The X of a chipX entry; false for any other name, and for digits that
// would not name the entry again (a leading zero, more than 32 bits).
bool numbered_chip_id(const char* name, uint32_t* id)
{
    if (!starts_with(name, numbered_chip_prefix))
        return false;
    const char* digits = name + strlen(numbered_chip_prefix);
    if (!is_number_text(digits) || (digits[0] == '0' && digits[1] != '\0'))
        return false;
    errno = 0;
    const unsigned long value = strtoul(digits, nullptr, 10);
    if (errno != 0 || value > UINT32_MAX)
        return false;
    *id = static_cast<uint32_t>(value);
    return true;
}

// The chip's device is where its entry's device link leads.
bool is_controller_entry(const char* name, const soc_model& model, numbered_chip* chip)
{
    char entry[attribute_path_size];
    char link[attribute_path_size];
    char device[PATH_MAX];
    if (snprintf(entry, sizeof entry, "%s/%s", class_gpio_path, name) >=
            static_cast<int>(sizeof entry) ||
        snprintf(link, sizeof link, "%s/device", entry) >= static_cast<int>(sizeof link) ||
        realpath(link, device) == nullptr)
        return false;
    return is_gpio_controller(device, model) && read_chip_number(entry, "ngpio", &chip->count) &&
           chip->count > 0;
}

}  // namespace

bool is_gpio_controller(const char* device, const soc_model& model)
{
    char link[attribute_path_size];
    if (snprintf(link, sizeof link, "%s/of_node", device) >= static_cast<int>(sizeof link))
        return false;
    struct stat st {};
    if (lstat(link, &st) == 0) {
        char node[PATH_MAX];
        return realpath(link, node) != nullptr && is_controller_node(node, model);
    }
    if (errno != ENOENT || model.peripheral_base == 0)
        return false;
    char expected[attribute_path_size];
    snprintf(expected, sizeof expected, controller_device_format,
             static_cast<unsigned long long>(model.peripheral_base) + gpio_block_offset);
    return strcmp(device, expected) == 0;
}

controller_line find_controller_line(uint32_t pin, pin_directory directory, const soc_model& model)
{
    char device[PATH_MAX];
    if (directory != pin_directory::class_link || !pin_device(pin, device) ||
        !is_gpio_controller(device, model))
        return {line_verdict::not_on_controller, 0};
    char chips[attribute_path_size];
    if (snprintf(chips, sizeof chips, "%s/gpio", device) >= static_cast<int>(sizeof chips))
        return {line_verdict::no_chip, 0};
    DIR* entries = opendir(chips);
    if (entries == nullptr)
        return {line_verdict::no_chip, 0};
    controller_line result{line_verdict::no_chip, 0};
    while (const dirent* entry = readdir(entries)) {
        if (!starts_with(entry->d_name, chip_entry_prefix) ||
            !is_number_text(entry->d_name + strlen(chip_entry_prefix)))
            continue;
        char path[attribute_path_size];
        chip_lines chip{};
        if (snprintf(path, sizeof path, "%s/%s", chips, entry->d_name) >=
                static_cast<int>(sizeof path) ||
            !read_chip_lines(path, &chip))
            continue;
        if (pin >= chip.base && pin - chip.base < chip.count) {
            result = {line_verdict::found, pin - chip.base};
            break;
        }
        result.verdict = line_verdict::outside_chip;
    }
    closedir(entries);
    return result;
}

bool find_controller_chip(const soc_model& model, chip_lines* chip)
{
    DIR* entries = opendir(class_gpio_path);
    if (entries == nullptr)
        return false;
    bool found = false;
    while (!found) {
        const dirent* entry = readdir(entries);
        if (entry == nullptr)
            break;
        if (!starts_with(entry->d_name, chip_entry_prefix) ||
            !is_number_text(entry->d_name + strlen(chip_entry_prefix)))
            continue;
        char link[attribute_path_size];
        char device[PATH_MAX];
        snprintf(link, sizeof link, "%s/%s", class_gpio_path, entry->d_name);
        if (realpath(link, device) == nullptr)
            continue;
        char entry_path[PATH_MAX];
        memcpy(entry_path, device, sizeof entry_path);
        // The legacy entry lies in DEVICE/gpio/gpiochipB.
        found = strip_component(device, entry->d_name) && strip_component(device, "gpio") &&
                is_gpio_controller(device, model) && read_chip_lines(entry_path, chip);
    }
    closedir(entries);
    return found;
}

bool has_numbered_chips()
{
    DIR* entries = opendir(class_gpio_path);
    if (entries == nullptr)
        return false;
    bool found = false;
    uint32_t id = 0;
    for (const dirent* entry = readdir(entries); entry != nullptr && !found; entry = readdir(entries))
        found = numbered_chip_id(entry->d_name, &id);
    closedir(entries);
    return found;
}

bool find_numbered_controller_chip(const soc_model& model, numbered_chip* chip)
{
    DIR* entries = opendir(class_gpio_path);
    if (entries == nullptr)
        return false;
    bool found = false;
    for (const dirent* entry = readdir(entries); entry != nullptr && !found; entry = readdir(entries))
        found = numbered_chip_id(entry->d_name, &chip->id) &&
                is_controller_entry(entry->d_name, model, chip);
    closedir(entries);
    return found;
}
