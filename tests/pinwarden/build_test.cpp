// How pinwarden is built and installed.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <grp.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

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

// Nothing but the C library may be loaded into the set-user-ID process.
TEST(PinwardenBuild, NeedsTheCLibraryOnly)
{
#ifdef PINWARDEN_SANITIZED
    GTEST_SKIP() << "sanitizer runtimes are linked in this build";
#endif
    const std::string needed =
        command_output(std::string("readelf -d '") + PINWARDEN_BINARY + "' | grep '(NEEDED)'");
    EXPECT_EQ(" 0x0000000000000001 (NEEDED)             Shared library: [libc.so.6]\n", needed);
}

TEST(PinwardenBuild, InstallsSetUserIdRootForTheGroupOnly)
{
    char staging[] = "/tmp/pinwarden-install-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(staging));
    const std::string output = command_output(std::string("DESTDIR='") + staging + "' '" +
                                              CMAKE_COMMAND + "' --install '" + BUILD_DIR +
                                              "' --prefix /usr/local 2>&1");
    const std::string installed = std::string(staging) + "/usr/local/bin/pinwarden";
    struct stat st {};
    const int stat_result = stat(installed.c_str(), &st);
    command_output(std::string("rm -rf '") + staging + "'");

    ASSERT_EQ(0, stat_result) << output;
    EXPECT_EQ(04750u, st.st_mode & 07777) << output;
    const group* wanted = getgrnam(PINWARDEN_GROUP);
    if (geteuid() == 0 && wanted != nullptr) {
        EXPECT_EQ(0u, st.st_uid);
        EXPECT_EQ(wanted->gr_gid, st.st_gid);
        EXPECT_EQ(std::string::npos, output.find("could not give")) << output;
    } else {
        // No such group here, or not root: the install still succeeds and
        // says what the packager must do.
        if (geteuid() == 0) {
            EXPECT_EQ(0u, st.st_uid);
        }
        EXPECT_NE(std::string::npos, collapse_space(output).find(
                                         "must set owner root, group " PINWARDEN_GROUP
                                         " and mode 4750"))
            << output;
    }
}

}  // namespace
