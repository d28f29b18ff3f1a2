#include "sysfs_gpio.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

TEST(AttributePath, NamesThePinDirectoryInDecimal)
{
    const struct {
        pin_location where;
        const char* attribute;
        const char* path;
    } cases[] = {
        {{pin_directory::virtual_device, 0, 17},
         "direction",
         "/sys/devices/virtual/gpio/gpio17/direction"},
        {{pin_directory::virtual_device, 0, UINT32_MAX},
         "active_low",
         "/sys/devices/virtual/gpio/gpio4294967295/active_low"},
        {{pin_directory::class_link, 0, 529}, "value", "/sys/class/gpio/gpio529/value"},
        {{pin_directory::class_link, 0, UINT32_MAX}, "edge", "/sys/class/gpio/gpio4294967295/edge"},
        // The line on its chip, not a global number.
        {{pin_directory::chip_line, 4, 17}, "value", "/sys/class/gpio/chip4/gpio17/value"},
        {{pin_directory::chip_line, UINT32_MAX, UINT32_MAX},
         "direction",
         "/sys/class/gpio/chip4294967295/gpio4294967295/direction"},
    };
    for (const auto& c : cases) {
        char path[attribute_path_size];
        ASSERT_TRUE(format_attribute_path(path, sizeof path, c.where, c.attribute));
        EXPECT_STREQ(c.path, path);
    }
}

// A pin number has at most ten digits, so the real 4096-byte buffer never
// overflows; the check itself is exercised with buffers cut to size.
TEST(AttributePath, RefusesAPathThatDoesNotFitWithItsTerminator)
{
    const struct {
        pin_directory directory;
        const char* expected;
    } cases[] = {
        {pin_directory::virtual_device, "/sys/devices/virtual/gpio/gpio17/edge"},
        {pin_directory::class_link, "/sys/class/gpio/gpio17/edge"},
        {pin_directory::chip_line, "/sys/class/gpio/chip0/gpio17/edge"},
    };
    for (const auto& c : cases) {
        const pin_location where{c.directory, 0, 17};
        const size_t length = strlen(c.expected);
        char path[attribute_path_size];
        EXPECT_TRUE(format_attribute_path(path, length + 1, where, "edge"));
        EXPECT_STREQ(c.expected, path);
        EXPECT_FALSE(format_attribute_path(path, length, where, "edge")) << c.expected;
        EXPECT_FALSE(format_attribute_path(path, 1, where, "edge")) << c.expected;
    }
}

}  // namespace
