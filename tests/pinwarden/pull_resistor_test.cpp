#include "pull_resistor.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

void expect_step(const register_step& step, unsigned word, uint32_t value, unsigned delay)
{
    EXPECT_EQ(word, step.word);
    EXPECT_EQ(value, step.value);
    EXPECT_EQ(delay, step.delay_after_us);
}

TEST(PullSteps, PullUpOnPin17UsesTheFirstClockWord)
{
    register_step steps[pull_step_count];
    pull_resistor_steps(17, 2, steps);
    expect_step(steps[0], 37, 2, 100);
    expect_step(steps[1], 38, 0x00020000, 100);
    expect_step(steps[2], 37, 0, 0);
    expect_step(steps[3], 38, 0, 0);
}

TEST(PullSteps, PullDownOnPin40UsesTheSecondClockWord)
{
    register_step steps[pull_step_count];
    pull_resistor_steps(40, 1, steps);
    expect_step(steps[0], 37, 1, 100);
    expect_step(steps[1], 39, 0x00000100, 100);
    expect_step(steps[2], 37, 0, 0);
    expect_step(steps[3], 39, 0, 0);
}

TEST(PullSteps, ClockWordAndBitAtTheBoundaries)
{
    const struct {
        uint32_t pin;
        unsigned word;
        uint32_t bit;
    } cases[] = {
        {0, 38, 0x00000001},  {31, 38, 0x80000000}, {32, 39, 0x00000001},
        {53, 39, 0x00200000}, {63, 39, 0x80000000},
        // Only bit 5 picks the word: higher pins fold back, never past 39.
        {64, 38, 0x00000001}, {UINT32_MAX, 39, 0x80000000},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.word, pull_clock_word(c.pin)) << c.pin;
        EXPECT_EQ(c.bit, pull_clock_bit(c.pin)) << c.pin;
    }
}

// The executor on an ordinary memory block: running ever longer prefixes
// of the sequence shows each store landing in order, and nothing else
// touched.
TEST(RegisterExecutor, StoresEachStepInOrderAndNothingElse)
{
    constexpr unsigned words = gpio_block_size / sizeof(uint32_t);
    constexpr uint32_t fill = 0xDEADBEEF;
    register_step steps[pull_step_count];
    pull_resistor_steps(17, 2, steps);

    const uint32_t expected[pull_step_count + 1][2] = {
        {fill, fill}, {2, fill}, {2, 0x00020000}, {0, 0x00020000}, {0, 0}};
    for (int count = 0; count <= pull_step_count; ++count) {
        uint32_t block[words];
        for (uint32_t& word : block)
            word = fill;
        run_register_steps(block, steps, count);
        EXPECT_EQ(expected[count][0], block[gppud_word]) << count << " steps";
        EXPECT_EQ(expected[count][1], block[gppudclk0_word]) << count << " steps";
        for (unsigned i = 0; i < words; ++i) {
            if (i != gppud_word && i != gppudclk0_word) {
                ASSERT_EQ(fill, block[i]) << "word " << i << " after " << count << " steps";
            }
        }
    }
}

// GPIO_PUP_PDN_CNTRL: two bits per line, 01 up and 10 down, the other
// 30 bits kept; the line is the pin modulo 64.
TEST(Bcm2711Pull, ReadModifyWriteOfTheLinesTwoBits)
{
    const struct {
        uint32_t pin;
        int pull_code;
        uint32_t old;
        unsigned word;
        uint32_t value;
    } cases[] = {
        {0, 2, 0x00000000, 57, 0x00000001},  {0, 1, 0xFFFFFFFF, 57, 0xFFFFFFFE},
        {15, 2, 0xFFFFFFFF, 57, 0x7FFFFFFF}, {16, 1, 0x00000000, 58, 0x00000002},
        {17, 2, 0x0000000C, 58, 0x00000004}, {529, 2, 0x0000000C, 58, 0x00000004},
        {47, 1, 0x40000000, 59, 0x80000000}, {63, 2, 0xAAAAAAAA, 60, 0x6AAAAAAA},
        {64, 1, 0x55555555, 57, 0x55555556}, {UINT32_MAX, 2, 0, 60, 0x40000000},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.word, bcm2711_pull_word(c.pin)) << c.pin;
        EXPECT_EQ(c.value, bcm2711_pull_value(c.old, c.pin, c.pull_code)) << c.pin;
    }
}

TEST(Bcm2711Pull, StoresOnlyThePinsWord)
{
    constexpr unsigned words = gpio_block_size / sizeof(uint32_t);
    uint32_t block[words];
    for (unsigned i = 0; i < words; ++i)
        block[i] = 0xC0DE0000 | i;
    set_bcm2711_pull(block, 34, 1);  // bits 5..4 of word 59: 11 becomes 10
    for (unsigned i = 0; i < words; ++i)
        ASSERT_EQ(i == 59 ? 0xC0DE002Bu : 0xC0DE0000 | i, block[i]) << "word " << i;
}

// The controller is told by the device name in the link's target, whole:
// another chip, another SoC's block or a longer address that ends alike is
// not it.
TEST(PinController, OnlyTheBlocksOwnDeviceHoldsItsLines)
{
    char directory[] = "/tmp/pin-controller-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(directory));
    const std::string link = std::string(directory) + "/gpio529";
    const struct {
        const char* target;  // nullptr: no link
        off_t address;
        bool on_controller;
    } cases[] = {
        {"../../devices/platform/soc/fe200000.gpio/gpiochip0/gpio/gpio529", 0xFE200000, true},
        {"../../devices/platform/soc/3f200000.gpio/gpiochip0/gpio/gpio529", 0x3F200000, true},
        {"../../devices/platform/soc/3f200000.gpio/gpiochip0/gpio/gpio529", 0xFE200000, false},
        {"../../devices/platform/soc/soc:firmware/soc:firmware:gpio/gpiochip570/gpio/gpio529",
         0xFE200000, false},
        {"../../devices/platform/soc/1fe200000.gpio/gpiochip0/gpio/gpio529", 0xFE200000, false},
        {"../../devices/platform/soc/fe200000.gpiox/gpio529", 0xFE200000, false},
        {nullptr, 0xFE200000, false},
    };
    for (const auto& c : cases) {
        unlink(link.c_str());
        if (c.target != nullptr) {
            ASSERT_EQ(0, symlink(c.target, link.c_str()));
        }
        EXPECT_EQ(c.on_controller, pin_on_controller(link.c_str(), c.address))
            << (c.target != nullptr ? c.target : "no link");
    }
    unlink(link.c_str());
    rmdir(directory);
}

}  // namespace
