#pragma once

// Emulated GPIO side for end-to-end tests of the real pinwarden binary.
//
// The program's paths are fixed, so the emulation is put at those very
// paths inside a private mount namespace of the test process: a tmpfs over
// /sys holds the sysfs GPIO control and attribute files (plain files, so a
// test pre-creates the attribute files the kernel would create on export),
// a set-user-ID root copy of the binary and its captured output; a tmpfs
// over /dev holds /dev/null, /dev/full and a stand-in for /dev/mem.
// Nothing of it is visible outside the namespace, and leaving it tears it
// all down.

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

// The invoking user: unprivileged, with distinct user and group IDs so that
// a swapped pair shows.
inline constexpr uid_t sandbox_uid = 40123;
inline constexpr gid_t sandbox_gid = 40456;

inline constexpr char sandbox_dir[] = "/sys/sandbox";
inline constexpr char sandbox_binary[] = "/sys/sandbox/pinwarden";
inline constexpr char sandbox_export[] = "/sys/class/gpio/export";
inline constexpr char sandbox_unexport[] = "/sys/class/gpio/unexport";

// The GPIO page of the /dev/mem stand-in, filled with a pattern so that a
// test sees which words were written.
inline constexpr off_t gpio_page_offset = 0x20200000;
inline constexpr unsigned gpio_page_words = 1024;
uint32_t gpio_page_pattern(unsigned word);

struct sandbox_session {
    int original_namespace = -1;
    int original_cwd = -1;
};

// Enters a private mount namespace; on false, `why_not` says why the
// machine cannot host the sandbox (not root, no namespaces, ...).
bool enter_sandbox(sandbox_session* session, std::string* why_not);
void leave_sandbox(sandbox_session* session);

// The functions below return "" on success, else what failed.

// tmpfs over /sys with empty export and unexport files and /sys/sandbox.
std::string lay_out_gpio_sysfs();

// Attribute files of pin `pin` as the kernel creates them on export.
std::string add_pin_attributes(unsigned pin, const std::vector<std::string>& names);
std::string attribute_path(unsigned pin, const std::string& name);
inline const std::vector<std::string> all_attributes = {"direction", "value", "active_low",
                                                        "edge"};

// Copies the built binary to sandbox_binary, root:root mode 4755.
std::string install_setuid_copy(const std::string& built_binary);

enum class dev_mem_kind {
    image,    // sparse file with the patterned GPIO page at the real offset
    missing,  // no /dev/mem at all
    fifo,     // opens, but cannot be mapped
};

// Replaces /dev by a tmpfs with null, full and the chosen /dev/mem.
std::string replace_dev(dev_mem_kind kind);

// Reads the GPIO page of the /dev/mem image.
std::string read_gpio_page(uint32_t words[gpio_page_words]);

// Bind-mounts `source` over the existing file `target`.
std::string bind_over(const std::string& source, const std::string& target);

std::string read_file(const std::string& path);
std::string write_file(const std::string& path, const std::string& content);

struct run_options {
    bool empty_argument_vector = false;  // execve with argv = { NULL }
    bool close_standard_error = false;
};

struct run_result {
    int exit_status = -1;  // -1 when killed by a signal or not started
    int signal = 0;
    std::string standard_error;
    std::string standard_output;
};

// Runs sandbox_binary as sandbox_uid/sandbox_gid with no supplementary
// groups; `args` are argv[0] onwards.
run_result run_as_user(const std::vector<std::string>& args, const run_options& options = {});
