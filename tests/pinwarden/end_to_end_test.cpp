// The real set-user-ID binary, run as an unprivileged user against emulated
// sysfs GPIO files and a /dev/mem stand-in at the program's own paths, in a
// private mount namespace per test.

#include "gpio_sandbox.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

inline constexpr char usage_line[] =
    "usage: pinwarden {export|unexport} <gpio-pin> [pullup|pulldown]\n";
inline constexpr int tty_null_discipline = 27;  // N_NULL: every write fails

class PinwardenEndToEnd : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string why_not;
        if (!enter_sandbox(&session, &why_not))
            GTEST_SKIP() << "no mount namespace for the emulated GPIO files: " << why_not;
        ASSERT_EQ("", lay_out_gpio_sysfs());
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

void expect_handed_over(unsigned pin, const std::string& name)
{
    struct stat st {};
    ASSERT_EQ(0, stat(attribute_path(pin, name).c_str(), &st)) << name;
    EXPECT_EQ(sandbox_uid, st.st_uid) << name;
    EXPECT_EQ(sandbox_gid, st.st_gid) << name;
    EXPECT_EQ(0600u, st.st_mode & 07777) << name;
}

void expect_untouched(unsigned pin, const std::string& name)
{
    struct stat st {};
    ASSERT_EQ(0, stat(attribute_path(pin, name).c_str(), &st)) << name;
    EXPECT_EQ(0u, st.st_uid) << name;
    EXPECT_EQ(0u, st.st_gid) << name;
    EXPECT_EQ(0644u, st.st_mode & 07777) << name;
}

// The GPIO page holds its fill pattern except for the words given as 0.
void expect_gpio_page_cleared_only(const std::vector<unsigned>& cleared)
{
    uint32_t words[gpio_page_words];
    ASSERT_EQ("", read_gpio_page(words));
    for (unsigned i = 0; i < gpio_page_words; ++i) {
        bool zero = false;
        for (unsigned word : cleared)
            zero = zero || word == i;
        ASSERT_EQ(zero ? 0 : gpio_page_pattern(i), words[i]) << "word " << i;
    }
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

TEST_F(PinwardenEndToEnd, PullUpOnPin17LeavesControlAndFirstClockWordAtZero)
{
    ASSERT_EQ("", add_pin_attributes(17, all_attributes));
    ASSERT_EQ("", replace_dev(dev_mem_kind::image));
    const run_result run = pinwarden({"export", "17", "pullup"});
    EXPECT_EQ(0, run.exit_status);
    EXPECT_EQ("", run.standard_error);
    EXPECT_EQ("17\n", read_file(sandbox_export));
    for (const std::string& name : all_attributes)
        expect_handed_over(17, name);
    expect_gpio_page_cleared_only({37, 38});
}

TEST_F(PinwardenEndToEnd, PullDownOnPin40LeavesControlAndSecondClockWordAtZero)
{
    ASSERT_EQ("", add_pin_attributes(40, all_attributes));
    ASSERT_EQ("", replace_dev(dev_mem_kind::image));
    const run_result run = pinwarden({"export", "40", "pulldown"});
    EXPECT_EQ(0, run.exit_status);
    EXPECT_EQ("", run.standard_error);
    EXPECT_EQ("40\n", read_file(sandbox_export));
    expect_gpio_page_cleared_only({37, 39});
}

TEST_F(PinwardenEndToEnd, MissingDevMemLeavesThePinExportedAndHandedOver)
{
    ASSERT_EQ("", add_pin_attributes(17, all_attributes));
    ASSERT_EQ("", replace_dev(dev_mem_kind::missing));
    const run_result run = pinwarden({"export", "17", "pullup"});
    EXPECT_EQ(255, run.exit_status);
    EXPECT_EQ("could not open /dev/mem: No such file or directory\n", run.standard_error);
    EXPECT_EQ("17\n", read_file(sandbox_export));
    for (const std::string& name : all_attributes)
        expect_handed_over(17, name);
}

TEST_F(PinwardenEndToEnd, UnmappableDevMemIsReportedAfterTheHandover)
{
    ASSERT_EQ("", add_pin_attributes(17, all_attributes));
    ASSERT_EQ("", replace_dev(dev_mem_kind::fifo));
    const run_result run = pinwarden({"export", "17", "pulldown"});
    EXPECT_EQ(255, run.exit_status);
    EXPECT_EQ("could not map GPIO region: No such device\n", run.standard_error);
    for (const std::string& name : all_attributes)
        expect_handed_over(17, name);
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
    EXPECT_EQ("pinwarden: could not write GPIO pin number to /sys/class/gpio/export: "
              "Operation not supported\n",
              run.standard_error);
}

TEST_F(PinwardenEndToEnd, MissingAttributeFilesStopTheHandover)
{
    const run_result run = pinwarden({"export", "17"});
    EXPECT_EQ(5, run.exit_status);
    EXPECT_EQ("pinwarden: failed to change group ownership of "
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
    EXPECT_EQ("pinwarden: failed to change group ownership of "
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
    EXPECT_EQ("pinwarden: failed to set permissions of "
              "/sys/devices/virtual/gpio/gpio17/direction: Operation not permitted\n",
              run.standard_error);
    expect_untouched(17, "value");
}

// With standard error closed by the caller, the next file opened would take
// descriptor 2 and receive the error messages; here that file is /dev/mem.
TEST_F(PinwardenEndToEnd, ClosedStandardErrorDoesNotRedirectMessages)
{
    ASSERT_EQ("", add_pin_attributes(17, all_attributes));
    ASSERT_EQ("", replace_dev(dev_mem_kind::fifo));
    const int reader = open("/dev/mem", O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0) << strerror(errno);
    run_options options;
    options.close_standard_error = true;
    const run_result run = run_as_user({"pinwarden", "export", "17", "pullup"}, options);
    char leaked[256];
    const ssize_t count = read(reader, leaked, sizeof leaked);
    close(reader);
    EXPECT_EQ(255, run.exit_status);
    EXPECT_GE(0, count) << "written into /dev/mem: " << std::string(leaked, count > 0 ? count : 0);
    EXPECT_EQ("17\n", read_file(sandbox_export));
}

}  // namespace
