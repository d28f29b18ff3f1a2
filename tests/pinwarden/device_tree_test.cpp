#include "device_tree.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

std::vector<uint8_t> cells(std::initializer_list<uint32_t> values)
{
    std::vector<uint8_t> bytes;
    for (uint32_t value : values)
        for (int shift = 24; shift >= 0; shift -= 8)
            bytes.push_back(static_cast<uint8_t>(value >> shift));
    return bytes;
}

TEST(Compatible, TheSocIsTheLastWellFormedString)
{
    const std::string long_name(soc_name_max_length, 'x');
    const struct {
        std::string bytes;
        const char* soc;  // nullptr: refused
    } cases[] = {
        {std::string("raspberrypi,3-model-b\0brcm,bcm2837\0", 35), "brcm,bcm2837"},
        {std::string("brcm,bcm2711\0", 13), "brcm,bcm2711"},
        {std::string("a\0", 2) + long_name + '\0', long_name.c_str()},
        {std::string("a\0", 2) + long_name + "x" + '\0', nullptr},          // too long to print
        {std::string("raspberrypi,4-model-b\0brcm,bcm2711", 34), nullptr},  // cut short
        {std::string("raspberrypi,4-model-b\0\0", 23), nullptr},            // empty last
        {std::string("\0", 1), nullptr},
        {"", nullptr},
        {std::string("brcm,bcm\n2711\0", 14), nullptr},
        {std::string("brcm,bcm\xC3\xA9"
                     "2711\0",
                     15),
         nullptr},
    };
    for (const auto& c : cases) {
        const char* soc = last_compatible(c.bytes.data(), c.bytes.size());
        if (c.soc == nullptr)
            EXPECT_EQ(nullptr, soc) << c.bytes;
        else
            EXPECT_STREQ(c.soc, soc);
    }
    EXPECT_EQ(nullptr, last_compatible(nullptr, 0));
}

TEST(Ranges, BaseIsTheSecondCellOrTheThirdWhereTheSecondIsZero)
{
    const struct {
        std::vector<uint8_t> bytes;
        bool found;
        uint32_t base;
    } cases[] = {
        {cells({0x7E000000, 0x3F000000, 0x01000000}), true, 0x3F000000},
        {cells({0x7E000000, 0x20000000}), true, 0x20000000},
        {cells({0x7E000000, 0, 0xFE000000, 0x01800000}), true, 0xFE000000},
        {cells({0x7E000000, 0}), false, 0},
        {cells({0x7E000000}), false, 0},
        {{0x7E, 0, 0, 0, 0x3F, 0, 0}, false, 0},
        {{}, false, 0},
    };
    for (const auto& c : cases) {
        uint32_t base = 12345;
        EXPECT_EQ(c.found, ranges_peripheral_base(c.bytes.data(), c.bytes.size(), &base))
            << c.bytes.size() << " bytes";
        EXPECT_EQ(c.found ? c.base : 12345u, base);
    }
}

TEST(Soc, OnlyAKnownSocAtItsKnownBaseIsAccepted)
{
    const struct {
        std::string compatible;
        std::vector<uint8_t> ranges;
        soc_verdict verdict;
        const char* name;
        uint32_t base;  // of the model found
    } cases[] = {
        {std::string("raspberrypi,model-b\0brcm,bcm2835\0", 33),
         cells({0x7E000000, 0x20000000, 0x01000000}), soc_verdict::known, "brcm,bcm2835", 0x20000000},
        {std::string("brcm,bcm2836\0", 13), cells({0x7E000000, 0x3F000000}), soc_verdict::known,
         "brcm,bcm2836", 0x3F000000},
        {std::string("brcm,bcm2837\0", 13), cells({0x7E000000, 0x3F000000}), soc_verdict::known,
         "brcm,bcm2837", 0x3F000000},
        {std::string("brcm,bcm2711\0", 13), cells({0x7E000000, 0, 0xFE000000}), soc_verdict::known,
         "brcm,bcm2711", 0xFE000000},
        // A known SoC whose tree points elsewhere is not trusted.
        {std::string("brcm,bcm2837\0", 13), cells({0x7E000000, 0x20000000}), soc_verdict::bad_ranges,
         "brcm,bcm2837", 0},
        {std::string("brcm,bcm2711\0", 13), cells({0x7E000000, 0}), soc_verdict::bad_ranges,
         "brcm,bcm2711", 0},
        {std::string("brcm,bcm2711\0", 13), {}, soc_verdict::bad_ranges, "brcm,bcm2711", 0},
        // The Pi 4's first name; the Pi 5, whose pulls map no physical
        // address, whatever its ranges say.
        {std::string("brcm,bcm2838\0", 13), cells({0x7E000000, 0, 0xFE000000}), soc_verdict::known,
         "brcm,bcm2838", 0xFE000000},
        {std::string("raspberrypi,5-model-b\0brcm,bcm2712\0", 35), cells({0x7C000000, 0x10}),
         soc_verdict::known, "brcm,bcm2712", 0},
        {std::string("brcm,bcm2710\0", 13), cells({0x7E000000, 0x3F000000}), soc_verdict::unsupported,
         "brcm,bcm2710", 0},
        // The SoC is the last entry, not any entry.
        {std::string("brcm,bcm2835\0acme,widget\0", 25), cells({0x7E000000, 0x20000000}),
         soc_verdict::unsupported, "acme,widget", 0},
        {std::string("brcm,bcm2835", 12), cells({0x7E000000, 0x20000000}), soc_verdict::unreadable, "",
         0},
    };
    for (const auto& c : cases) {
        const soc_identity soc =
            identify_soc(c.compatible.data(), c.compatible.size(), c.ranges.data(), c.ranges.size());
        EXPECT_EQ(c.verdict, soc.verdict) << c.compatible;
        EXPECT_STREQ(c.name, soc.name) << c.compatible;
        if (c.verdict == soc_verdict::known) {
            ASSERT_NE(nullptr, soc.model) << c.compatible;
            EXPECT_EQ(c.base, soc.model->peripheral_base) << c.compatible;
        } else {
            EXPECT_EQ(nullptr, soc.model) << c.compatible;
        }
    }
    EXPECT_EQ(soc_verdict::unreadable, identify_soc(nullptr, 0, nullptr, 0).verdict);
}

}  // namespace
