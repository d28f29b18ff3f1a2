// The real set-user-ID binary, run as an unprivileged user against emulated
// sysfs GPIO files and a /dev/mem stand-in at the program's own paths, in a
// private mount namespace per test.

#include "gpio_sandbox.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <ostream>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

inline constexpr char usage_line[] = "usage: pinwarden {export|unexport} <gpio-pin> [pullup|pulldown]\n";
inline constexpr int tty_null_discipline = 27;  // N_NULL: every write fails

class PinwardenEndToEnd : public ::testing::Test {
protected:
    void SetUp() override { set_up(original_board); }

    void set_up(const emulated_board& board)
    {
        std::string why_not;
        if (!enter_sandbox(&session, &why_not))
            GTEST_SKIP() << "no mount namespace for the emulated GPIO files: " << why_not;
        ASSERT_EQ("", lay_out_gpio_sysfs(board));
        ASSERT_EQ("", install_setuid_copy(PINWARDEN_BINARY));
    }

    void TearDown() override { leave_sandbox(&session); }

    sandbox_session session;
};

run_result pinwarden(std::vector<std::string> args)
{
    args.insert(args.begin(), "pinwarden");
    return run_as_user(args);
}

void expect_handed_over(unsigned pin, const std::string& name,
                        const emulated_board& board = original_board)
{
    struct stat st {};
    ASSERT_EQ(0, stat(attribute_path(board, pin, name).c_str(), &st)) << name;
    EXPECT_EQ(sandbox_uid, st.st_uid) << name;
    EXPECT_EQ(sandbox_gid, st.st_gid) << name;
    EXPECT_EQ(0600u, st.st_mode & 07777) << name;
}

void expect_untouched(unsigned pin, const std::string& name,
                      const emulated_board& board = original_board)
{
    struct stat st {};
    ASSERT_EQ(0, stat(attribute_path(board, pin, name).c_str(), &st)) << name;
    EXPECT_EQ(0u, st.st_uid) << name;
    EXPECT_EQ(0u, st.st_gid) << name;
    EXPECT_EQ(0644u, st.st_mode & 07777) << name;
}

struct word_value {
    unsigned word;
    uint32_t value;
};

// The page at `address` holds what the board's image was laid out with
// except for the words given.
void expect_gpio_page(const std::vector<word_value>& changed, off_t address = original_gpio_address,
                      const emulated_board& board = original_board)
{
    uint32_t words[gpio_page_words];
    ASSERT_EQ("", read_gpio_page(words, address));
    for (unsigned i = 0; i < gpio_page_words; ++i) {
        uint32_t expected = mem_image_word(board, address, i);
        for (const word_value& change : changed)
            if (change.word == i)
                expected = change.value;
        ASSERT_EQ(expected, words[i]) << "word " << i << " at " << std::hex << address;
    }
}

void expect_gpio_page_cleared_only(const std::vector<unsigned>& cleared)
{
    std::vector<word_value> changed;
    for (unsigned word : cleared)
        changed.push_back({word, 0});
    expect_gpio_page(changed);
}

TEST_F(PinwardenEndToEnd, ExportWritesThePinAndHandsOverTheFourFiles)
{
    ASSERT_EQ("", add_pin_attributes(17, all_attributes));
    const run_result run = pinwarden({"export", "17"});
    EXPECT_EQ(0, run.exit_status);
    EXPECT_EQ("", run.standard_error);
    EXPECT_EQ("", run.standard_output);
    EXPECT_EQ("17\n", read_file(sandbox_export));
    EXPECT_EQ("", read_file(sandbox_unexport));
    for (const std::string& name : all_attributes)
        expect_handed_over(17, name);
}

TEST_F(PinwardenEndToEnd, HexadecimalAndOctalPinsReachTheKernelInDecimal)
{
    ASSERT_EQ("", add_pin_attributes(17, all_attributes));
    for (const char* pin : {"0x11", "021"}) {
        ASSERT_EQ("", write_file(sandbox_export, ""));
        const run_result run = pinwarden({"export", pin});
        EXPECT_EQ(0, run.exit_status) << pin << ": " << run.standard_error;
        EXPECT_EQ("17\n", read_file(sandbox_export)) << pin;
    }
}

TEST_F(PinwardenEndToEnd, UnexportWritesThePinAndIgnoresAValidPullWord)
{
    ASSERT_EQ("", add_pin_attributes(17, all_attributes));
    ASSERT_EQ("", replace_dev(dev_mem_kind::image));
    const run_result run = pinwarden({"unexport", "17", "pullup"});
    EXPECT_EQ(0, run.exit_status);
    EXPECT_EQ("", run.standard_error);
    EXPECT_EQ("17\n", read_file(sandbox_unexport));
    EXPECT_EQ("", read_file(sandbox_export));
    for (const std::string& name : all_attributes)
        expect_untouched(17, name);
    expect_gpio_page_cleared_only({});
}

TEST_F(PinwardenEndToEnd, PullSetsItsWordsOrFailsAfterTheHandover)
{
    // A pull leaves the control word and the pin's clock word at zero, and
    // nothing else changed; a /dev/mem that cannot be opened or mapped is
    // reported with status 255 after the export and handover, which stay.
    struct Case {
        unsigned pin;
        const char* pull;
        dev_mem_kind dev_mem;
        int status;
        const char* message;
        std::vector<unsigned> cleared;  // words of the block set to zero
    };
    const Case cases[] = {
        {17, "pullup", dev_mem_kind::image, 0, "", {37, 38}},
        {40, "pulldown", dev_mem_kind::image, 0, "", {37, 39}},
        // Past GPPUDCLK1's lines: refused, not wrapped onto pin 6's bit.
        {70, "pullup", dev_mem_kind::image, 255, "pin 70 is outside its GPIO chip\n", {}},
        {17,
         "pullup",
         dev_mem_kind::missing,
         255,
         "could not open /dev/mem: No such file or directory\n",
         {}},
        {17, "pulldown", dev_mem_kind::fifo, 255, "could not map GPIO region: No such device\n", {}},
    };
    for (const Case& c : cases) {
        const std::string pin = std::to_string(c.pin);
        const std::string what = pin + " " + c.pull;
        ASSERT_EQ("", write_file(sandbox_export, ""));
        ASSERT_EQ("", add_pin_attributes(c.pin, all_attributes));
        ASSERT_EQ("", replace_dev(c.dev_mem));
        const run_result run = pinwarden({"export", pin, c.pull});
        EXPECT_EQ(c.status, run.exit_status) << what;
        EXPECT_EQ(c.message, run.standard_error) << what;
        EXPECT_EQ(pin + "\n", read_file(sandbox_export)) << what;
        for (const std::string& name : all_attributes)
            expect_handed_over(c.pin, name);
        if (c.dev_mem == dev_mem_kind::image)
            expect_gpio_page_cleared_only(c.cleared);
    }
}

// Mistakes on the command line are caught before anything is written.
TEST_F(PinwardenEndToEnd, CommandLineMistakesWriteNothing)
{
    ASSERT_EQ("", add_pin_attributes(17, all_attributes));
    ASSERT_EQ("", replace_dev(dev_mem_kind::image));
    const struct {
        std::vector<std::string> args;
        int status;
        std::string message;
    } cases[] = {
        {{}, 1, usage_line},
        {{"export"}, 1, usage_line},
        {{"export", "17", "pullup", "extra"}, 1, usage_line},
        {{"export", ""}, 2, "pinwarden: empty string given for GPIO pin number\n"},
        {{"export", "17x"}, 2, "pinwarden: 17x is not a valid GPIO pin number\n"},
        {{"export", "4294967313"}, 2, "pinwarden: 4294967313 is not a valid GPIO pin number\n"},
        {{"export", "-1"}, 2, "pinwarden: -1 is not a valid GPIO pin number\n"},
        {{"export", "0b10001"}, 2, "pinwarden: 0b10001 is not a valid GPIO pin number\n"},
        {{"export", " 0B10001"}, 2, "pinwarden:  0B10001 is not a valid GPIO pin number\n"},
        {{"export", "17", "sideways"}, 1, usage_line},
        {{"unexport", "17", "sideways"}, 1, usage_line},
        {{"toggle", "17"}, 1, usage_line},
        {{"toggle", "abc"}, 2, "pinwarden: abc is not a valid GPIO pin number\n"},
    };
    for (const auto& c : cases) {
        std::string joined;
        for (const std::string& arg : c.args)
            joined += "[" + arg + "]";
        const run_result run = pinwarden(c.args);
        EXPECT_EQ(c.status, run.exit_status) << joined;
        EXPECT_EQ(c.message, run.standard_error) << joined;
        EXPECT_EQ("", run.standard_output) << joined;
    }
    EXPECT_EQ("", read_file(sandbox_export));
    EXPECT_EQ("", read_file(sandbox_unexport));
    for (const std::string& name : all_attributes)
        expect_untouched(17, name);
    expect_gpio_page_cleared_only({});
}

TEST_F(PinwardenEndToEnd, UsageNamesTheProgramAsInvoked)
{
    const run_result run = run_as_user({"/opt/tools/pinwarden", "export"});
    EXPECT_EQ(1, run.exit_status);
    EXPECT_EQ("usage: /opt/tools/pinwarden {export|unexport} <gpio-pin> [pullup|pulldown]\n",
              run.standard_error);
}

// An empty argument vector is a classic way to confuse set-user-ID programs
// about their own name.
TEST_F(PinwardenEndToEnd, EmptyArgumentVectorGetsAFixedProgramName)
{
    run_options options;
    options.empty_argument_vector = true;
    run_result run = run_as_user({}, options);
    EXPECT_EQ(1, run.exit_status);
    EXPECT_EQ(usage_line, run.standard_error);

    run = run_as_user({"", "export", "17x"});
    EXPECT_EQ(2, run.exit_status);
    EXPECT_EQ("pinwarden: 17x is not a valid GPIO pin number\n", run.standard_error);
}

TEST_F(PinwardenEndToEnd, MissingControlFileIsReportedAndNotCreated)
{
    ASSERT_EQ(0, unlink(sandbox_export));
    ASSERT_EQ(0, unlink(sandbox_unexport));
    run_result run = pinwarden({"export", "17"});
    EXPECT_EQ(3, run.exit_status);
    EXPECT_EQ("pinwarden: could not open /sys/class/gpio/export: No such file or directory\n",
              run.standard_error);
    run = pinwarden({"unexport", "17"});
    EXPECT_EQ(3, run.exit_status);
    EXPECT_EQ("pinwarden: could not open /sys/class/gpio/unexport: No such file or directory\n",
              run.standard_error);
    EXPECT_NE(0, access(sandbox_export, F_OK));
    EXPECT_NE(0, access(sandbox_unexport, F_OK));
}

// The kernel refuses an export when the stream is flushed; /dev/full
// refuses every write the same way.
TEST_F(PinwardenEndToEnd, RefusalAtFlushIsReportedWithTheSystemText)
{
    ASSERT_EQ("", add_pin_attributes(17, all_attributes));
    ASSERT_EQ("", bind_over("/dev/full", sandbox_export));
    const run_result run = pinwarden({"export", "17"});
    EXPECT_EQ(4, run.exit_status);
    EXPECT_EQ("pinwarden: could not flush data to /sys/class/gpio/export: No space left on device\n",
              run.standard_error);
    for (const std::string& name : all_attributes)
        expect_untouched(17, name);
}

// A terminal is line-buffered, so the pin number goes out during the print
// itself; with the N_NULL line discipline that write fails.
TEST_F(PinwardenEndToEnd, WriteErrorBeforeTheFlushIsReported)
{
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master, 0) << strerror(errno);
    ASSERT_EQ(0, grantpt(master));
    ASSERT_EQ(0, unlockpt(master));
    const std::string terminal = ptsname(master);
    const int slave = open(terminal.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(slave, 0) << strerror(errno);
    const int discipline = tty_null_discipline;
    if (ioctl(slave, TIOCSETD, &discipline) != 0) {
        const int saved = errno;
        close(slave);
        close(master);
        GTEST_SKIP() << "no N_NULL line discipline here: " << strerror(saved);
    }
    ASSERT_EQ("", bind_over(terminal, sandbox_export));
    const run_result run = pinwarden({"export", "17"});
    close(slave);
    close(master);
    EXPECT_EQ(4, run.exit_status);
    EXPECT_EQ(
        "pinwarden: could not write GPIO pin number to /sys/class/gpio/export: "
        "Operation not supported\n",
        run.standard_error);
}

TEST_F(PinwardenEndToEnd, MissingAttributeFilesStopTheHandover)
{
    const run_result run = pinwarden({"export", "17"});
    EXPECT_EQ(5, run.exit_status);
    EXPECT_EQ(
        "pinwarden: failed to change group ownership of "
        "/sys/devices/virtual/gpio/gpio17/direction: No such file or directory\n",
        run.standard_error);
    EXPECT_EQ("17\n", read_file(sandbox_export));
}

// The files go over in the order direction, value, active_low, edge; the
// handover stops at the first failure and keeps what was done.
TEST_F(PinwardenEndToEnd, HandoverStopsAtTheFirstMissingFile)
{
    ASSERT_EQ("", add_pin_attributes(17, {"direction", "value", "edge"}));
    const run_result run = pinwarden({"export", "17"});
    EXPECT_EQ(5, run.exit_status);
    EXPECT_EQ(
        "pinwarden: failed to change group ownership of "
        "/sys/devices/virtual/gpio/gpio17/active_low: No such file or directory\n",
        run.standard_error);
    expect_handed_over(17, "direction");
    expect_handed_over(17, "value");
    expect_untouched(17, "edge");
}

// Files under /proc/<pid> accept a new owner but refuse a new mode, which is
// what a failing chmod after a successful chown looks like.
TEST_F(PinwardenEndToEnd, RefusedModeChangeIsReported)
{
    ASSERT_EQ("", add_pin_attributes(17, all_attributes));
    const std::string proc_file = "/proc/" + std::to_string(getpid()) + "/comm";
    ASSERT_EQ("", bind_over(proc_file, attribute_path(17, "direction")));
    const run_result run = pinwarden({"export", "17"});
    EXPECT_EQ(6, run.exit_status);
    EXPECT_EQ(
        "pinwarden: failed to set permissions of "
        "/sys/devices/virtual/gpio/gpio17/direction: Operation not permitted\n",
        run.standard_error);
    expect_untouched(17, "value");
}

// Each file is opened once, without following a link, and changed only
// when that descriptor is a regular file: a link's target and anything
// that is not a regular file keep their owner and mode.  The files before
// it are handed over, those after it are not reached.
TEST_F(PinwardenEndToEnd, HandoverRefusesLinksAndFilesThatAreNotRegular)
{
    const std::string directory = "/sys/devices/virtual/gpio/gpio17/";
    const std::string target = std::string(sandbox_dir) + "/target";
    enum class kind { link, fifo, directory };
    const struct {
        size_t file;  // in all_attributes
        kind replaced_by;
        mode_t mode;
        const char* reason;
    } cases[] = {
        {0, kind::link, 0777, "Too many levels of symbolic links"},
        {1, kind::fifo, 0644, "not a regular file"},
        {3, kind::directory, 0755, "not a regular file"},
    };
    for (const auto& c : cases) {
        const std::string& name = all_attributes[c.file];
        const std::string path = directory + name;
        std::error_code failed;
        std::filesystem::remove_all(directory, failed);
        ASSERT_EQ("", add_pin_attributes(17, all_attributes));
        ASSERT_EQ("", write_file(sandbox_export, ""));
        const int fd = open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0) << strerror(errno);
        ASSERT_EQ(0, fchown(fd, 0, 0) | fchmod(fd, 0644));
        close(fd);
        ASSERT_EQ(0, unlink(path.c_str()));
        switch (c.replaced_by) {
        case kind::link:
            ASSERT_EQ(0, symlink(target.c_str(), path.c_str()));
            break;
        case kind::fifo:
            ASSERT_EQ(0, mkfifo(path.c_str(), 0644));
            break;
        case kind::directory:
            ASSERT_EQ(0, mkdir(path.c_str(), 0755));
            break;
        }
        const run_result run = pinwarden({"export", "17"});
        EXPECT_EQ(5, run.exit_status) << name;
        EXPECT_EQ("pinwarden: failed to change group ownership of " + path + ": " + c.reason + "\n",
                  run.standard_error);
        struct stat st {};
        ASSERT_EQ(0, lstat(path.c_str(), &st)) << name;
        EXPECT_EQ(0u, st.st_uid) << name;
        EXPECT_EQ(c.mode, st.st_mode & 07777) << name;
        ASSERT_EQ(0, stat(target.c_str(), &st));
        EXPECT_EQ(0u, st.st_uid) << name;
        EXPECT_EQ(0644u, st.st_mode & 07777) << name;
        for (size_t i = 0; i < all_attributes.size(); ++i) {
            if (i < c.file)
                expect_handed_over(17, all_attributes[i]);
            else if (i > c.file)
                expect_untouched(17, all_attributes[i]);
        }
    }
}

// With a standard descriptor closed by the caller, the next file opened
// would take its number: on descriptor 2 it would receive the error
// messages, and here that file is /dev/mem.  Run set-user-ID, glibc reopens
// them itself; run by root it does not.
TEST_F(PinwardenEndToEnd, ClosedStandardDescriptorsDoNotRedirectMessages)
{
    ASSERT_EQ("", add_pin_attributes(17, all_attributes));
    ASSERT_EQ("", replace_dev(dev_mem_kind::fifo));
    const int reader = open("/dev/mem", O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0) << strerror(errno);
    const std::string message = "could not map GPIO region: No such device\n";
    for (bool as_root : {false, true}) {
        for (unsigned closed : {1u, 2u, 4u, 7u}) {
            ASSERT_EQ("", write_file(sandbox_export, ""));
            run_options options;
            options.closed_descriptors = closed;
            options.as_root = as_root;
            const run_result run = run_as_user({"pinwarden", "export", "17", "pullup"}, options);
            char leaked[256];
            const ssize_t count = read(reader, leaked, sizeof leaked);
            const std::string what =
                std::string(as_root ? "root" : "user") + ", closed mask " + std::to_string(closed);
            EXPECT_EQ(255, run.exit_status) << what;
            EXPECT_GE(0, count) << what << ": written into /dev/mem: "
                                << std::string(leaked, count > 0 ? count : 0);
            EXPECT_EQ((closed & 4) != 0 ? "" : message, run.standard_error) << what;
            EXPECT_EQ("17\n", read_file(sandbox_export)) << what;
        }
    }
    close(reader);
}

// /dev/gpiomem or /dev/gpiomem0 as laid out, except `changed`.
void expect_device_image(const emulated_board& board, const std::vector<word_value>& changed,
                         const std::string& what)
{
    const pull_image image = board_pull_image(board);
    std::vector<uint32_t> words(image.words);
    ASSERT_EQ("", read_image_words(image.path, image.offset, words.data(), image.words));
    for (unsigned i = 0; i < image.words; ++i) {
        uint32_t expected = board.gpio_device == gpio_device_kind::gpiomem0
                                ? gpio_page_pattern(i)
                                : mem_image_word(board, board.gpio_address, i);
        for (const word_value& change : changed)
            if (change.word == i)
                expected = change.value;
        ASSERT_EQ(expected, words[i]) << what << ": word " << i << " of " << image.path;
    }
}

// Every image the board has as laid out, except `changed` in the one its
// pulls go to: /dev/gpiomem0, /dev/gpiomem or the board's page of /dev/mem.
void expect_images(const emulated_board& board, const std::vector<word_value>& changed,
                   const std::string& what)
{
    const bool own_device = board.gpio_device != gpio_device_kind::none;
    if (own_device)
        expect_device_image(board, changed, what);
    if (board.gpio_address != 0)
        expect_gpio_page(own_device ? std::vector<word_value>{} : changed, board.gpio_address, board);
    if (board.gpio_address != original_gpio_address)
        expect_gpio_page({}, original_gpio_address, board);
    EXPECT_EQ("", image_data_outside_gpio_pages(board)) << what;
}

// Each board as the kernel and firmware present it: where the pin's files
// are, and what a pull request must do to the board's images.
struct pull_case {
    const char* pin;  // as typed, and as the kernel receives it
    const char* pull;
    std::vector<word_value> changed;   // in the image the board's pulls go to
    const char* refusal = nullptr;     // the 255 message, nothing written
    const char* pin_parent = nullptr;  // where the pin's directory is, when not the chip's
};

struct board_case {
    int board;
    bool virtual_directory;  // the pin's files named under /sys/devices/virtual
    std::vector<pull_case> pulls;
};

inline constexpr char expander_lines[] =
    "/sys/devices/platform/soc/soc:firmware/soc:firmware:gpio/gpiochip1/gpio";
inline constexpr char virtual_lines[] = "/sys/devices/virtual/gpio";
// A Pi 5's own SoC GPIO, not the RP1.
inline constexpr char pi5_soc_lines[] = "/sys/devices/platform/soc/107d508500.gpio/gpiochip1/gpio";
const std::vector<word_value> gppud_low = {{37, 0}, {38, 0}};
const std::vector<word_value> gppud_high = {{37, 0}, {39, 0}};

// Lines 25 and 17 are told apart from the numbers modulo 64 by the clock
// word (bases 458 and 1994 are 10 more than a multiple of 64) or by the
// pull bits within the word (base 454).
const board_case board_cases[] = {
    {0, true, {{"17", "pullup", gppud_low}}},
    {1,
     false,
     {{"17", "pullup", gppud_low},
      {"40", "pulldown", gppud_high},
      {"17",
       "pullup",
       {},
       "pin 17 is not on the GPIO controller of SoC brcm,bcm2835\n",
       virtual_lines}}},
    {2,
     false,
     {{"475", "pullup", gppud_low},
      {"483", "pulldown", gppud_low},
      {"498", "pulldown", gppud_high},
      {"512", "pullup", {}, "pin 512 is outside its GPIO chip\n"},
      {"450",
       "pullup",
       {},
       "pin 450 is not on the GPIO controller of SoC brcm,bcm2837\n",
       expander_lines}}},
    // Two bits per line from word 57; the pattern's other bits stay.
    {3,
     false,
     {{"529", "pullup", {{58, 0x5A5A0036}}},
      {"515", "pulldown", {{57, 0x5A5A00B9}}},
      {"569", "pullup", {{60, 0x5A56003C}}}}},
    // Pad registers from word 0x8001: PUE is bit 3, PDE bit 2.
    {4,
     false,
     {{"588", "pullup", {{0x8012, 0x5A5A801A}}},
      {"571", "pulldown", {{0x8001, 0x5A5A8005}}},
      {"598", "pullup", {{0x801C, 0x5A5A8018}}},
      {"599", "pullup", {}, "pin 599 is not a header pin (RP1 bank 0, lines 0 to 27)\n"},
      {"625",
       "pulldown",
       {},
       "pin 625 is not on the GPIO controller of SoC brcm,bcm2712\n",
       pi5_soc_lines}}},
    {5,
     false,
     {{"2011", "pullup", gppud_low},
      {"2019", "pulldown", gppud_low},
      {"2034", "pulldown", gppud_high},
      {"2011",
       "pullup",
       {},
       "pin 2011 is not on the GPIO controller of SoC brcm,bcm2836\n",
       virtual_lines}}},
    {6,
     false,
     {{"471", "pullup", {{58, 0x5A5A0036}}},
      {"446",
       "pulldown",
       {},
       "pin 446 is not on the GPIO controller of SoC brcm,bcm2711\n",
       expander_lines}}},
    {7, false, {{"17", "pullup", {{58, 0x5A5A0036}}}}},
    // Without the global interface the number is the line itself: the
    // same lines and words as on the Pi 4 and Pi 5 above.
    {8,
     false,
     {{"17", "pullup", {{58, 0x5A5A0036}}},
      {"3", "pulldown", {{57, 0x5A5A00B9}}},
      {"57", "pullup", {{60, 0x5A56003C}}}}},
    {9,
     false,
     {{"17", "pullup", {{0x8012, 0x5A5A801A}}},
      {"0", "pulldown", {{0x8001, 0x5A5A8005}}},
      {"28", "pullup", {}, "pin 28 is not a header pin (RP1 bank 0, lines 0 to 27)\n"}}},
};

void PrintTo(const board_case& c, std::ostream* out)
{
    *out << emulated_boards[c.board].name;
}

class PinwardenOnBoard : public PinwardenEndToEnd, public ::testing::WithParamInterface<board_case> {
protected:
    void SetUp() override { set_up(board()); }
    const emulated_board& board() const { return emulated_boards[GetParam().board]; }
};

// The expander's lines have no edge file: the kernel makes none for a line
// that cannot raise an interrupt, and the handover goes on without it.  A
// per-chip kernel makes direction and value only.
TEST_P(PinwardenOnBoard, HandoverReachesThePinsFilesWhereverTheKernelPutsThem)
{
    const std::vector<std::string>& files = line_attributes(board());
    ASSERT_EQ("", add_pin_attributes(17, files, board()));
    run_result run = pinwarden({"export", "17"});
    EXPECT_EQ(0, run.exit_status);
    EXPECT_EQ("", run.standard_error);
    for (const std::string& name : files)
        expect_handed_over(17, name, board());
    EXPECT_EQ(GetParam().virtual_directory, access("/sys/devices/virtual", F_OK) == 0);
    EXPECT_EQ(!board().per_chip, access("/sys/class/gpio/gpio17", F_OK) == 0);

    // A file every line has, missing: the handover stops there.
    const std::string missing = board().per_chip ? "value" : "active_low";
    std::vector<std::string> made = files;
    made.erase(std::find(made.begin(), made.end(), missing));
    ASSERT_EQ("", add_pin_attributes(18, made, board()));
    run = pinwarden({"export", "18"});
    const std::string path = GetParam().virtual_directory ? "/sys/devices/virtual/gpio/gpio18/" + missing
                                                          : attribute_path(board(), 18, missing);
    EXPECT_EQ(5, run.exit_status);
    EXPECT_EQ("pinwarden: failed to change group ownership of " + path + ": No such file or directory\n",
              run.standard_error);

    if (board().expander.device.empty() || board().per_chip)
        return;
    const unsigned line = board().expander.base;
    ASSERT_EQ("", add_pin_attributes_in(line, {"direction", "value", "active_low"},
                                        board().expander.pin_parent));
    run = pinwarden({"export", std::to_string(line)});
    EXPECT_EQ(0, run.exit_status);
    EXPECT_EQ("", run.standard_error);
    for (const char* name : {"direction", "value", "active_low"})
        expect_handed_over(line, name);
    EXPECT_NE(0, access(attribute_path(line, "edge").c_str(), F_OK));
}

TEST_P(PinwardenOnBoard, PullLandsOnThePinAskedForAndNowhereElse)
{
    const board_case& c = GetParam();
    ASSERT_EQ("", replace_dev(dev_mem_kind::image, board()));
    for (const pull_case& pull : c.pulls) {
        const std::string what = std::string(pull.pin) + " " + pull.pull;
        const unsigned pin = static_cast<unsigned>(std::stoul(pull.pin));
        const bool expander = pull.pin_parent == expander_lines;
        const std::vector<std::string> files =
            expander ? std::vector<std::string>{"direction", "value", "active_low"}
                     : line_attributes(board());
        ASSERT_EQ("", write_file(export_file(board()), ""));
        ASSERT_EQ("", write_mem_image(board()));
        ASSERT_EQ("", pull.pin_parent != nullptr ? add_pin_attributes_in(pin, files, pull.pin_parent)
                                                 : add_pin_attributes(pin, files, board()));
        const run_result run = pinwarden({"export", pull.pin, pull.pull});
        EXPECT_EQ(pull.refusal != nullptr ? 255 : 0, run.exit_status) << what;
        EXPECT_EQ(pull.refusal != nullptr ? pull.refusal : "", run.standard_error) << what;
        EXPECT_EQ(std::string(pull.pin) + "\n", read_file(export_file(board()))) << what;
        for (const std::string& name : files)
            expect_handed_over(pin, name, board());
        expect_images(board(), pull.changed, what);
    }
}

// An export the kernel refuses as no pin, of a number below the first of
// the header's chip, is told what the pin is called on this kernel.  A
// per-chip kernel has no such numbers, and a line past the chip's is
// refused before the kernel is asked.
TEST_P(PinwardenOnBoard, RefusedNumberIsGivenItsNumberOnThisKernel)
{
    const std::string proc_file = "/proc/" + std::to_string(getpid()) + "/clear_refs";
    ASSERT_EQ("", bind_over(proc_file, export_file(board())));
    const std::string refused =
        "pinwarden: could not flush data to " + export_file(board()) + ": Invalid argument\n";
    const emulated_chip& chip = board().chip;
    const bool renumbered = !board().compatible.empty() && chip.base > 17;
    run_result run = pinwarden({"export", "17"});
    EXPECT_EQ(4, run.exit_status);
    EXPECT_EQ(refused + (renumbered ? "pinwarden: GPIO 17 is " + std::to_string(chip.base + 17) +
                                          " on this kernel\n"
                                    : ""),
              run.standard_error);
    // Past the header's lines, there is nothing to suggest.
    run = pinwarden({"export", "60"});
    if (!board().per_chip) {
        EXPECT_EQ(4, run.exit_status);
        EXPECT_EQ(refused, run.standard_error);
        return;
    }
    EXPECT_EQ(2, run.exit_status);
    EXPECT_EQ(
        "pinwarden: 60 is not a valid GPIO pin number\npinwarden: this kernel numbers GPIO pins per "
        "chip: valid pins are 0 to " +
            std::to_string(chip.ngpio - 1) + "\n",
        run.standard_error);
}

INSTANTIATE_TEST_SUITE_P(Boards, PinwardenOnBoard, ::testing::ValuesIn(board_cases),
                         [](const ::testing::TestParamInfo<board_case>& info) {
                             std::string name = emulated_boards[info.param.board].name;
                             for (char& c : name)
                                 if (!isalnum(static_cast<unsigned char>(c)))
                                     c = '_';
                             return name;
                         });

// Which device a pull maps: the board's own GPIO device where its kernel
// has one, whatever /dev/mem would do; /dev/mem only where it has none; the
// Pi 5 never through /dev/mem.
class PinwardenDevices : public PinwardenEndToEnd {
protected:
    void SetUp() override {}
};

TEST_F(PinwardenDevices, PullMapsTheBoardsOwnDeviceFirst)
{
    const char strict[] =
        "could not map GPIO region: Operation not permitted\n/dev/mem refused the mapping: the "
        "kernel's strict /dev/mem setting is the likely cause (booting with iomem=relaxed lifts "
        "it)\n";
    const std::vector<word_value> line17 = {{58, 0x5A5A0036}};
    const struct {
        int board;
        dev_mem_kind dev_mem;
        bool own_device_missing;
        const char* pin;
        const char* message;  // "": status 0
        std::vector<word_value> changed;
    } cases[] = {
        {2, dev_mem_kind::strict, false, "475", strict, {}},
        {5, dev_mem_kind::strict, false, "2011", strict, {}},
        {3, dev_mem_kind::strict, false, "529", "", line17},
        {3, dev_mem_kind::image, true, "529", "", line17},
        {4,
         dev_mem_kind::image,
         true,
         "588",
         "could not open /dev/gpiomem0: No such file or directory\n",
         {}},
    };
    for (const auto& c : cases) {
        const emulated_board& board = emulated_boards[c.board];
        const std::string what = std::string(board.name) + " " + c.pin;
        set_up(board);
        if (IsSkipped()) {
            return;  // no mount namespace here: said by set_up
        }
        ASSERT_EQ("", replace_dev(c.dev_mem, board));
        if (c.own_device_missing) {
            ASSERT_EQ(0, unlink(board_pull_image(board).path)) << what;
        }
        const unsigned pin = static_cast<unsigned>(std::stoul(c.pin));
        ASSERT_EQ("", add_pin_attributes(pin, all_attributes, board));
        const run_result run = pinwarden({"export", c.pin, "pullup"});
        EXPECT_EQ(c.message[0] != '\0' ? 255 : 0, run.exit_status) << what;
        EXPECT_EQ(c.message, run.standard_error) << what;
        for (const std::string& name : all_attributes)
            expect_handed_over(pin, name);
        if (board.gpio_device != gpio_device_kind::none && !c.own_device_missing)
            expect_device_image(board, c.changed, what);
        if (c.dev_mem == dev_mem_kind::image) {
            if (board.gpio_address != 0)
                expect_gpio_page(c.changed, board.gpio_address, board);
            expect_gpio_page({}, original_gpio_address, board);
            EXPECT_EQ("", image_data_outside_gpio_pages(board)) << what;
        }
        leave_sandbox(&session);
    }
}

// On a kernel without the global interface each command goes to the chipX
// entry whose device is the SoC's controller; a line that chip does not
// have, and a kernel whose controller has no entry to be found, are
// refused before anything is written.
TEST_F(PinwardenDevices, PerChipCommandsGoToTheControllersChipOrWriteNothing)
{
    const std::string no_chip =
        "pinwarden: no GPIO chip in /sys/class/gpio is the SoC's GPIO controller\n";
    const auto outside = [](const std::string& pin, unsigned last) {
        return "pinwarden: " + pin +
               " is not a valid GPIO pin number\npinwarden: this kernel numbers GPIO pins per chip: "
               "valid pins are 0 to " +
               std::to_string(last) + "\n";
    };
    const struct {
        int board;
        std::vector<std::string> args;
        const char* removed;  // before the run; nullptr: nothing
        int status;
        std::string message;
        const char* unexported;  // what the chip's unexport file then holds
    } cases[] = {
        {8, {"unexport", "17", "pullup"}, nullptr, 0, "", "17\n"},
        {9, {"unexport", "0x11"}, nullptr, 0, "", "17\n"},
        {8, {"export", "58", "pullup"}, nullptr, 2, outside("58", 57), ""},
        {8, {"unexport", "0x3a"}, nullptr, 2, outside("0x3a", 57), ""},
        {9, {"export", "54"}, nullptr, 2, outside("54", 53), ""},
        {9, {"export", "4294967295", "pulldown"}, nullptr, 2, outside("4294967295", 53), ""},
        {8, {"export", "17", "pullup"}, "/sys/class/gpio/chip0", 3, no_chip, ""},
        {9, {"unexport", "17"}, "/sys/firmware/devicetree/base/compatible", 3, no_chip, ""},
    };
    for (const auto& c : cases) {
        const emulated_board& board = emulated_boards[c.board];
        std::string what = board.name;
        for (const std::string& arg : c.args)
            what += " " + arg;
        set_up(board);
        if (IsSkipped()) {
            return;  // no mount namespace here: said by set_up
        }
        ASSERT_EQ("", replace_dev(dev_mem_kind::image, board));
        ASSERT_EQ("", add_pin_attributes(17, per_chip_attributes, board));
        if (c.removed != nullptr) {
            ASSERT_EQ(0, unlink(c.removed)) << what;
        }
        const run_result run = pinwarden(c.args);
        EXPECT_EQ(c.status, run.exit_status) << what;
        EXPECT_EQ(c.message, run.standard_error) << what;
        // The entries' own files, whether or not their links are there.
        EXPECT_EQ("", read_file(board.chip.pin_parent + "/export")) << what;
        EXPECT_EQ(c.unexported, read_file(board.chip.pin_parent + "/unexport")) << what;
        std::vector<emulated_chip> foreign = board.other_chips;
        if (!board.expander.device.empty())
            foreign.push_back(board.expander);
        for (const emulated_chip& chip : foreign) {
            EXPECT_EQ("", read_file(chip.pin_parent + "/export")) << what;
            EXPECT_EQ("", read_file(chip.pin_parent + "/unexport")) << what;
        }
        EXPECT_NE(0, access(sandbox_export, F_OK)) << what;
        for (const std::string& name : per_chip_attributes) {
            struct stat st {};
            ASSERT_EQ(0, stat((board.chip.pin_parent + "/gpio17/" + name).c_str(), &st)) << what;
            EXPECT_EQ(0u, st.st_uid) << what << ": " << name;
            EXPECT_EQ(0644u, st.st_mode & 07777) << what << ": " << name;
        }
        expect_images(board, {}, what);
        leave_sandbox(&session);
    }
}

// A device tree that does not confirm a known SoC at its known address
// maps nothing: on a Pi 3 the original address is RAM.
class PinwardenOnPi3 : public PinwardenEndToEnd {
protected:
    void SetUp() override { set_up(emulated_boards[2]); }
};

TEST_F(PinwardenOnPi3, DoubtfulDeviceTreeMapsNothing)
{
    const std::string compatible = "/sys/firmware/devicetree/base/compatible";
    const std::string ranges = "/sys/firmware/devicetree/base/soc/ranges";
    const std::string unidentified =
        "could not identify the SoC from /sys/firmware/devicetree/base/compatible\n";
    const std::string unconfirmed =
        "unexpected peripheral address for SoC brcm,bcm2837 in "
        "/sys/firmware/devicetree/base/soc/ranges\n";
    const struct {
        std::string file;
        std::string content;  // "-": file removed
        std::string message;
    } cases[] = {
        {ranges, std::string("\x7E\0\0\0\x20\0\0\0", 8), unconfirmed},
        {ranges, std::string("\x7E\0\0\0\x3F\0", 6), unconfirmed},
        {ranges, "-", unconfirmed},
        {compatible, std::string("raspberrypi,3-model-b\0brcm,bcm2837", 34), unidentified},
        {compatible, std::string(300, 'x') + '\0', unidentified},
        {compatible, "-", unidentified},
    };
    ASSERT_EQ("", add_pin_attributes(17, all_attributes, emulated_boards[2]));
    ASSERT_EQ("", replace_dev(dev_mem_kind::image, emulated_boards[2]));
    for (const auto& c : cases) {
        const std::string original = read_file(c.file);
        if (c.content == "-")
            ASSERT_EQ(0, unlink(c.file.c_str()));
        else
            ASSERT_EQ("", write_file(c.file, c.content));
        const run_result run = pinwarden({"export", "17", "pullup"});
        EXPECT_EQ(255, run.exit_status) << c.message;
        EXPECT_EQ(c.message, run.standard_error);
        expect_gpio_page({}, 0x3F200000, emulated_boards[2]);
        expect_gpio_page({}, original_gpio_address, emulated_boards[2]);
        EXPECT_EQ("", image_data_outside_gpio_pages(emulated_boards[2]));
        const int fd = open(c.file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0444);
        ASSERT_GE(fd, 0);
        close(fd);
        ASSERT_EQ("", write_file(c.file, original));
        ASSERT_EQ("", write_file(sandbox_export, ""));
    }
}

// A Pi 3 whose device tree cannot be seen (a container without
// /sys/firmware) looks like the original board, but 0x20200000 is RAM
// there: nothing is stored where the block does not read as GPIO.
TEST_F(PinwardenOnPi3, WithoutItsDeviceTreeNothingIsStoredInRam)
{
    std::error_code failed;
    std::filesystem::remove_all("/sys/firmware", failed);
    ASSERT_FALSE(failed) << failed.message();
    ASSERT_EQ("", add_pin_attributes(17, all_attributes, emulated_boards[2]));
    ASSERT_EQ("", replace_dev(dev_mem_kind::image, emulated_boards[2]));
    const run_result run = pinwarden({"export", "17", "pullup"});
    EXPECT_EQ(255, run.exit_status);
    EXPECT_EQ("no GPIO block at physical address 0x20200000\n", run.standard_error);
    for (const std::string& name : all_attributes)
        expect_handed_over(17, name);
    expect_gpio_page({}, original_gpio_address, emulated_boards[2]);
    expect_gpio_page({}, 0x3F200000, emulated_boards[2]);
    EXPECT_EQ("", image_data_outside_gpio_pages(emulated_boards[2]));
}

}  // namespace
