#include "command_line.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

command_line parse(std::vector<const char*> args)
{
    const int argc = static_cast<int>(args.size());
    args.push_back(nullptr);
    return parse_command_line(argc, const_cast<char* const*>(args.data()));
}

TEST(PinNumber, AcceptsWhatStrtoulAcceptsInBaseZero)
{
    const struct {
        const char* text;
        uint32_t pin;
    } cases[] = {
        {"17", 17},  {"0x11", 17},  {"0X11", 17},
        {"021", 17}, {" \t17", 17}, {"+17", 17},
        {"0", 0},    {"-0", 0},     {"4294967295", UINT32_MAX},
    };
    for (const auto& c : cases) {
        uint32_t pin = 12345;
        EXPECT_TRUE(parse_pin_number(c.text, &pin)) << c.text;
        EXPECT_EQ(c.pin, pin) << c.text;
    }
}

TEST(PinNumber, RefusesTrailingCharactersAndMissingDigits)
{
    // Binary is refused whether or not this glibc's strtoul reads it.
    for (const char* text : {"17x", "17 ", "17\n", "abc", " ", "", "0x", "08", "1.5", "0x1g", "0b10001",
                             "0B10001", " +0b1", "-0b0", "0b", "0b2"}) {
        uint32_t pin = 12345;
        EXPECT_FALSE(parse_pin_number(text, &pin)) << '"' << text << '"';
        EXPECT_EQ(12345u, pin) << '"' << text << '"';
    }
}

// Values strtoul would hand over but that wrap on the way to a 32-bit pin:
// 4294967313 would silently become pin 17.
TEST(PinNumber, RefusesValuesThatDoNotFitThirtyTwoBits)
{
    for (const char* text :
         {"4294967296", "4294967313", "0x100000011", "18446744073709551615", "18446744073709551617",
          "-1", "-17", " -0x11", "-18446744073709551615", "-4294967279"}) {
        uint32_t pin = 12345;
        EXPECT_FALSE(parse_pin_number(text, &pin)) << text;
    }
}

TEST(PullWord, OnlyTheExactWordsCount)
{
    EXPECT_EQ(pull_code_up, pull_code_of("pullup"));
    EXPECT_EQ(pull_code_down, pull_code_of("pulldown"));
    for (const char* word : {"sideways", "PULLUP", "pullup ", "pull", "", "pulldown\n"})
        EXPECT_EQ(pull_code_none, pull_code_of(word)) << word;
}

TEST(CommandLine, ExportUnexportAndPullWords)
{
    command_line line = parse({"pinwarden", "export", "0x11"});
    EXPECT_EQ(parse_status::ok, line.status);
    EXPECT_EQ(command_kind::export_pin, line.command);
    EXPECT_EQ(17u, line.pin);
    EXPECT_EQ(pull_code_none, line.pull_code);

    line = parse({"pinwarden", "export", "40", "pulldown"});
    EXPECT_EQ(parse_status::ok, line.status);
    EXPECT_EQ(40u, line.pin);
    EXPECT_EQ(pull_code_down, line.pull_code);

    line = parse({"pinwarden", "unexport", "021", "pullup"});
    EXPECT_EQ(parse_status::ok, line.status);
    EXPECT_EQ(command_kind::unexport_pin, line.command);
    EXPECT_EQ(17u, line.pin);
}

// The checks run in a fixed order: count, empty pin, pin syntax, pull word,
// command word; each case shows which one stops first.
TEST(CommandLine, ChecksInOrder)
{
    const struct {
        std::vector<const char*> args;
        parse_status status;
    } cases[] = {
        {{"pinwarden"}, parse_status::usage},
        {{"pinwarden", "export"}, parse_status::usage},
        {{"pinwarden", "export", "17", "pullup", "x"}, parse_status::usage},
        {{"pinwarden", "export", ""}, parse_status::empty_pin},
        {{"pinwarden", "bogus", "", "sideways"}, parse_status::empty_pin},
        {{"pinwarden", "export", "17x"}, parse_status::invalid_pin},
        {{"pinwarden", "bogus", "abc", "sideways"}, parse_status::invalid_pin},
        {{"pinwarden", "export", "17", "sideways"}, parse_status::usage},
        {{"pinwarden", "bogus", "17"}, parse_status::usage},
        {{"pinwarden", "Export", "17"}, parse_status::usage},
        {{"pinwarden", "bogus", "abc"}, parse_status::invalid_pin},
    };
    for (const auto& c : cases) {
        std::string joined;
        for (const char* arg : c.args)
            joined += std::string("[") + arg + "]";
        EXPECT_EQ(c.status, parse(c.args).status) << joined;
    }
}

TEST(ProgramName, FallsBackWhenTheCallerGaveNone)
{
    char name[] = "/usr/local/bin/pinwarden";
    char empty[] = "";
    char* invoked[] = {name, nullptr};
    char* blank[] = {empty, nullptr};
    char* none[] = {nullptr};
    EXPECT_STREQ(name, program_name(1, invoked));
    EXPECT_STREQ("pinwarden", program_name(1, blank));
    EXPECT_STREQ("pinwarden", program_name(0, none));
    EXPECT_STREQ("pinwarden", program_name(0, nullptr));
    // An empty vector is refused as a usage error without reading past it.
    EXPECT_EQ(parse_status::usage, parse_command_line(0, none).status);
}

}  // namespace
