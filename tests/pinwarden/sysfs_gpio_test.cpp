#include "sysfs_gpio.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

TEST(AttributePath, NamesThePinDirectoryInDecimal)
{
    char path[attribute_path_size];
    ASSERT_TRUE(format_attribute_path(path, sizeof path, 17, "direction"));
    EXPECT_STREQ("/sys/devices/virtual/gpio/gpio17/direction", path);
    ASSERT_TRUE(format_attribute_path(path, sizeof path, UINT32_MAX, "active_low"));
    EXPECT_STREQ("/sys/devices/virtual/gpio/gpio4294967295/active_low", path);
}

// A pin number has at most ten digits, so the real 4096-byte buffer never
// overflows; the check itself is exercised with buffers cut to size.
TEST(AttributePath, RefusesAPathThatDoesNotFitWithItsTerminator)
{
    const char expected[] = "/sys/devices/virtual/gpio/gpio17/edge";
    const size_t length = strlen(expected);
    char path[sizeof expected];

    EXPECT_TRUE(format_attribute_path(path, length + 1, 17, "edge"));
    EXPECT_STREQ(expected, path);
    EXPECT_FALSE(format_attribute_path(path, length, 17, "edge"));
    EXPECT_FALSE(format_attribute_path(path, 1, 17, "edge"));
}

}  // namespace
