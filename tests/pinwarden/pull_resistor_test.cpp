#include "gpio_chip.h"
#include "pull_registers.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>
#include <string>
#include <unistd.h>

namespace {

constexpr unsigned block_words = bcm2835_pull.block_size / sizeof(uint32_t);
constexpr uint32_t fill = 0xDEADBEEF;

// What the block held at each pause of the sequence, and how long each
// pause was: the pauses are the only points between stores the sequence
// offers to look at.
struct pause {
    useconds_t length;
    uint32_t block[block_words];
};
uint32_t* watched_block = nullptr;
pause pauses[4];
int pause_count = 0;

}  // namespace

// Stands in for the C library's usleep in this test program, so that the
// pull sequence's pauses take snapshots instead of time.
extern "C" int usleep(useconds_t length)
{
    if (watched_block != nullptr && pause_count < 4) {
        pauses[pause_count].length = length;
        memcpy(pauses[pause_count].block, watched_block, sizeof pauses[pause_count].block);
    }
    ++pause_count;
    return 0;
}

namespace {

// Only `changed` differs from the fill.
void expect_block(const uint32_t* block, const std::vector<std::pair<unsigned, uint32_t>>& changed,
                  const std::string& when)
{
    for (unsigned i = 0; i < block_words; ++i) {
        uint32_t expected = fill;
        for (const auto& change : changed)
            if (change.first == i)
                expected = change.second;
        ASSERT_EQ(expected, block[i]) << "word " << i << " " << when;
    }
}

// GPPUD gets the code, a pause, the line's clock bit, a pause, then GPPUD
// and the clock word end at 0; nothing else is stored.  Only bit 5 of the
// line picks the clock word.
TEST(GppudSequence, EachStoreInOrderWithItsPausesAndNothingElse)
{
    const struct {
        uint32_t line;
        int pull_code;
        unsigned clock_word;
        uint32_t bit;
    } cases[] = {
        {17, 2, 38, 0x00020000}, {40, 1, 39, 0x00000100}, {0, 2, 38, 0x00000001},
        {31, 1, 38, 0x80000000}, {32, 2, 39, 0x00000001}, {53, 1, 39, 0x00200000},
    };
    for (const auto& c : cases) {
        const std::string line = "line " + std::to_string(c.line);
        uint32_t block[block_words];
        for (uint32_t& word : block)
            word = fill;
        watched_block = block;
        pause_count = 0;
        latch_gppud_pull(block, c.line, c.pull_code);
        watched_block = nullptr;
        ASSERT_EQ(2, pause_count) << line;
        for (const pause& p : {pauses[0], pauses[1]})
            EXPECT_LE(100u, p.length) << line;
        const uint32_t code = static_cast<uint32_t>(c.pull_code);
        expect_block(pauses[0].block, {{37, code}}, line + " at the first pause");
        expect_block(pauses[1].block, {{37, code}, {c.clock_word, c.bit}},
                     line + " at the second pause");
        expect_block(block, {{37, 0}, {c.clock_word, 0}}, line + " at the end");
    }
}

TEST(GppudSequence, ClockWordAndBitFoldBeyondTheLastLine)
{
    const struct {
        uint32_t line;
        unsigned word;
        uint32_t bit;
    } cases[] = {
        {63, 39, 0x80000000},
        {64, 38, 0x00000001},
        {UINT32_MAX, 39, 0x80000000},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.word, pull_clock_word(c.line)) << c.line;
        EXPECT_EQ(c.bit, pull_clock_bit(c.line)) << c.line;
    }
}

// GPIO_PUP_PDN_CNTRL: two bits per line, 01 up and 10 down, the other
// 30 bits kept.
TEST(Bcm2711Pull, ReadModifyWriteOfTheLinesTwoBits)
{
    const struct {
        uint32_t line;
        int pull_code;
        uint32_t old;
        unsigned word;
        uint32_t value;
    } cases[] = {
        {0, 2, 0x00000000, 57, 0x00000001},  {0, 1, 0xFFFFFFFF, 57, 0xFFFFFFFE},
        {15, 2, 0xFFFFFFFF, 57, 0x7FFFFFFF}, {16, 1, 0x00000000, 58, 0x00000002},
        {17, 2, 0x0000000C, 58, 0x00000004}, {57, 1, 0x00000000, 60, 0x00080000},
        {47, 1, 0x40000000, 59, 0x80000000}, {63, 2, 0xAAAAAAAA, 60, 0x6AAAAAAA},
        {64, 1, 0x55555555, 57, 0x55555556}, {UINT32_MAX, 2, 0, 60, 0x40000000},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.word, bcm2711_pull_word(c.line)) << c.line;
        EXPECT_EQ(c.value, bcm2711_pull_value(c.old, c.line, c.pull_code)) << c.line;
    }
}

TEST(Bcm2711Pull, StoresOnlyTheLinesWord)
{
    constexpr unsigned words = bcm2711_pull.block_size / sizeof(uint32_t);
    uint32_t block[words];
    for (unsigned i = 0; i < words; ++i)
        block[i] = 0xC0DE0000 | i;
    set_bcm2711_pull(block, 34, 1);  // bits 5..4 of word 59: 11 becomes 10
    for (unsigned i = 0; i < words; ++i)
        ASSERT_EQ(i == 59 ? 0xC0DE002Bu : 0xC0DE0000 | i, block[i]) << "word " << i;
}

// PUE (bit 3) or PDE (bit 2), the other cleared, drive strength, slew and
// the rest kept; only the line's pad register is stored.
TEST(Rp1Pad, ReadModifyWriteOfPueAndPde)
{
    const struct {
        uint32_t old;
        int pull_code;
        uint32_t value;
    } cases[] = {
        {0x00000056, 2, 0x0000005A}, {0x00000056, 1, 0x00000056}, {0xFFFFFFFF, 2, 0xFFFFFFFB},
        {0xFFFFFFFF, 1, 0xFFFFFFF7}, {0x00000000, 1, 0x00000004},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.value, rp1_pad_value(c.old, c.pull_code)) << std::hex << c.old;

    std::vector<uint32_t> block(rp1_pull.block_size / sizeof(uint32_t));
    for (unsigned i = 0; i < block.size(); ++i)
        block[i] = 0xC0DE0000 | i;
    set_rp1_pull(block.data(), 27, 1);  // pad of line 27, word 0x801C: PUE goes, PDE stays
    for (unsigned i = 0; i < block.size(); ++i)
        ASSERT_EQ(i == 0x801C ? 0xC0DE8014u : 0xC0DE0000 | i, block[i]) << "word " << i;
}

// Where the kernel gives the device no device-tree node, only the exact
// path of the controller's device counts: not another SoC's block, not a
// longer address that ends alike, not another chip.
TEST(PinController, WithoutANodeOnlyTheControllersExactPath)
{
    const soc_model& bcm2711 = known_socs[3];
    const soc_model& bcm2712 = known_socs[5];
    ASSERT_STREQ("brcm,bcm2711", bcm2711.compatible);
    const struct {
        const char* device;
        const soc_model& model;
        bool controller;
    } cases[] = {
        {"/sys/devices/platform/soc/fe200000.gpio", bcm2711, true},
        {"/sys/devices/platform/soc/3f200000.gpio", bcm2711, false},
        {"/sys/devices/platform/soc/1fe200000.gpio", bcm2711, false},
        {"/sys/devices/platform/soc/fe200000.gpiox", bcm2711, false},
        {"/sys/devices/platform/soc/soc:firmware/soc:firmware:gpio", bcm2711, false},
        {"/sys/devices/virtual/gpio", bcm2711, false},
        // The RP1 is proved by its node alone.
        {"/sys/devices/platform/axi/1000120000.pcie/1f000d0000.gpio", bcm2712, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.controller, is_gpio_controller(c.device, c.model)) << c.device;
}

}  // namespace
