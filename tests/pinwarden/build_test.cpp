// How pinwarden is built and installed.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <grp.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

std::string command_output(const std::string& command)
{
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return output;
    char buffer[4096];
    size_t count;
    while ((count = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        output.append(buffer, count);
    pclose(pipe);
    return output;
}

// CMake wraps long messages; compare them with runs of white space as one.
std::string collapse_space(const std::string& text)
{
    std::string collapsed;
    for (char c : text) {
        const bool space = c == ' ' || c == '\n' || c == '\t';
        if (!space)
            collapsed += c;
        else if (!collapsed.empty() && collapsed.back() != ' ')
            collapsed += ' ';
    }
    return collapsed;
}

// The text between the first '[' and the last ']' of a readelf line.
std::string bracketed(const std::string& line)
{
    const size_t open = line.find('[');
    const size_t close = line.rfind(']');
    if (open == std::string::npos || close == std::string::npos || close < open)
        return "";
    return line.substr(open + 1, close - open - 1);
}

// The file names of the shared libraries in readelf's dynamic section.
std::vector<std::string> needed_libraries(const std::string& dynamic_section)
{
    std::vector<std::string> names;
    std::istringstream lines(dynamic_section);
    for (std::string line; std::getline(lines, line);) {
        if (line.find("(NEEDED)") != std::string::npos)
            names.push_back(bracketed(line));
    }
    return names;
}

// Nothing but the C library may be loaded into the set-user-ID process.
TEST(PinwardenBuild, NeedsTheCLibraryOnly)
{
#ifdef PINWARDEN_SANITIZED
    GTEST_SKIP() << "sanitizer runtimes are linked in this build";
#endif
    const std::string binary = std::string("'") + PINWARDEN_BINARY + "'";
    const std::string dynamic = command_output("readelf -d " + binary);
#ifdef PINWARDEN_STATIC
    // Statically linked, it loads nothing at all: no loader, no library.
    EXPECT_EQ("", command_output("readelf -l " + binary + " | grep 'program interpreter'"));
    EXPECT_TRUE(needed_libraries(dynamic).empty()) << dynamic;
    return;
#endif
    // "Requesting program interpreter: /lib/ld-linux-armhf.so.3"
    const std::string interpreter =
        bracketed(command_output("readelf -l " + binary + " | grep 'program interpreter'"));
    ASSERT_NE(std::string::npos, interpreter.rfind('/')) << interpreter;
    const std::string loader = interpreter.substr(interpreter.rfind('/') + 1);
    // On ARM the stack protector's guard lives in the dynamic loader, which
    // is then recorded too; it is loaded into every process anyway.
    std::vector<std::string> needed = needed_libraries(dynamic);
    needed.erase(std::remove(needed.begin(), needed.end(), loader), needed.end());
    EXPECT_EQ(std::vector<std::string>{"libc.so.6"}, needed) << dynamic;
}

TEST(PinwardenBuild, InstallsSetUserIdRootForTheGroupOnly)
{
    char staging[] = "/tmp/pinwarden-install-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(staging));
    const std::string output =
        command_output(std::string("DESTDIR='") + staging + "' '" + CMAKE_COMMAND + "' --install '" +
                       BUILD_DIR + "' --prefix /usr/local 2>&1");
    const std::string installed = std::string(staging) + "/usr/local/bin/pinwarden";
    struct stat st {};
    const int stat_result = stat(installed.c_str(), &st);
    command_output(std::string("rm -rf '") + staging + "'");

    ASSERT_EQ(0, stat_result) << output;
    const std::string needed = "must set owner root, group " PINWARDEN_GROUP " and mode 4750";
    if (geteuid() != 0) {
        // Into a staging tree without root: nothing privileged is tried,
        // and the install says what is left to do.
        EXPECT_EQ(0755u, st.st_mode & 07777) << output;
        EXPECT_NE(std::string::npos, collapse_space(output).find("set-user-ID step skipped")) << output;
        EXPECT_NE(std::string::npos, collapse_space(output).find(needed)) << output;
        return;
    }
    EXPECT_EQ(04750u, st.st_mode & 07777) << output;
    EXPECT_EQ(0u, st.st_uid);
    const group* wanted = getgrnam(PINWARDEN_GROUP);
    if (wanted != nullptr) {
        EXPECT_EQ(wanted->gr_gid, st.st_gid);
        EXPECT_EQ(std::string::npos, output.find("could not give")) << output;
    } else {
        // No such group here: the install still succeeds and says what the
        // packager must do.
        EXPECT_NE(std::string::npos, collapse_space(output).find(needed)) << output;
    }
}

}  // namespace
