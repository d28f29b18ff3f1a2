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

// The /dev/mem stand-in is a sparse file holding, at the original GPIO
// address and at the board's own, a page filled with a pattern so that a
// test sees which words were written; everything else is a hole.
inline constexpr off_t original_gpio_address = 0x20200000;
inline constexpr unsigned gpio_page_words = 1024;
uint32_t gpio_page_pattern(unsigned word);

// Which device the board's kernel offers for its GPIO block alone.
enum class gpio_device_kind : uint8_t {
    none,      // Debian's own kernels: /dev/mem only
    gpiomem,   // the Pi's own kernels, Pi 1 to 4: the 4 KiB block
    gpiomem0,  // the Pi 5's kernel: the RP1's GPIO blocks
};

// A GPIO chip as sysfs shows it: its device, the legacy entry
// DEVICE/gpio/gpiochipB (base, ngpio, label) with its /sys/class/gpio link,
// the device-tree node the device's of_node leads to, and where the
// kernel makes an exported line's directory.  On a kernel with only the
// per-chip interface, the entry is DEVICE/gpio/chipX instead (label,
// ngpio, export, unexport and a device link), with its /sys/class/gpio
// link, and the exported lines' directories are in it.
struct emulated_chip {
    std::string device;      // "": no chip entries at all
    std::string pin_parent;  // gpioN directories are made in here
    unsigned base = 0;
    unsigned ngpio = 0;
    std::string label;
    std::string node;             // under /sys/firmware/devicetree/base; "": no of_node
    std::string node_compatible;  // NUL-separated entries
    unsigned id = 0;              // X of chipX, the chip's device number
};

// A board as pinwarden meets it: the device tree the firmware gives the
// kernel, the SoC's GPIO chip (the RP1's on a Pi 5) and the firmware's
// expander where the kernel shows one, and the devices it offers.
struct emulated_board {
    const char* name;
    std::vector<std::string> compatible;  // board first, SoC last; none: no device tree
    std::vector<uint32_t> soc_ranges;     // cells, written big-endian
    emulated_chip chip;
    emulated_chip expander;  // device "": none
    off_t gpio_address;      // physical address of its GPIO block, 0: none we use
    bool gpio_signature;     // its block's word 60 reads "gpio" (BCM2835 to 2837)
    gpio_device_kind gpio_device;
    bool per_chip = false;  // the kernel has only the per-chip interface
    // Chips that are neither, laid out after the SoC's (the expander is laid
    // out before it), so that a search meets a foreign chip first whichever
    // order the kernel lists a directory in.
    std::vector<emulated_chip> other_chips = {};
};

// The first Pi on a kernel without device tree, pins under
// /sys/devices/virtual; then Pis 1 to 5 on the Pi's own kernels and on
// Debian's, with the bases those kernels give the SoC's chip; then a Pi 4
// and a Pi 5 on kernels built without the global interface.
inline constexpr int emulated_board_count = 10;
extern const emulated_board emulated_boards[emulated_board_count];
inline const emulated_board& original_board = emulated_boards[0];

struct sandbox_session {
    int original_namespace = -1;
    int original_cwd = -1;
};

// Enters a private mount namespace; on false, `why_not` says why the
// machine cannot host the sandbox (not root, no namespaces, ...).
bool enter_sandbox(sandbox_session* session, std::string* why_not);
void leave_sandbox(sandbox_session* session);

// The functions below return "" on success, else what failed.

// tmpfs over /sys with empty export and unexport files (the chips' own on
// a per-chip board), /sys/sandbox, the board's device tree and its chips.
std::string lay_out_gpio_sysfs(const emulated_board& board = original_board);

// The export or unexport file a command on this board writes to: the
// global one, or on a per-chip board that of the SoC's chip.
std::string export_file(const emulated_board& board);
std::string unexport_file(const emulated_board& board);

// Attribute files of pin `pin` as the kernel creates them on export, owned
// by root with mode 0644, in `pin_parent` (made where missing), and the
// /sys/class/gpio/gpioN link to them.
std::string add_pin_attributes_in(unsigned pin, const std::vector<std::string>& names,
                                  const std::string& pin_parent);
// In the board's own chip's directory; on a per-chip board, the line's
// directory in the chip's entry, with no /sys/class/gpio/gpioN link.
std::string add_pin_attributes(unsigned pin, const std::vector<std::string>& names,
                               const emulated_board& board = original_board);
// Through the /sys/class/gpio link, so the same on every global board.
std::string attribute_path(unsigned pin, const std::string& name);
// Through the chip's entry on a per-chip board.
std::string attribute_path(const emulated_board& board, unsigned pin, const std::string& name);
inline const std::vector<std::string> all_attributes = {"direction", "value", "active_low", "edge"};
inline const std::vector<std::string> per_chip_attributes = {"direction", "value"};
// What the kernel makes for a line of the board's chip.
const std::vector<std::string>& line_attributes(const emulated_board& board);

// Copies the built binary to sandbox_binary, root:root mode 4755.
std::string install_setuid_copy(const std::string& built_binary);

enum class dev_mem_kind {
    image,    // sparse file with the patterned GPIO pages at the real offsets
    missing,  // no /dev/mem at all
    fifo,     // opens, but cannot be mapped
    strict,   // opens, but its mapping is refused (EPERM), as on a strict kernel
};

// Replaces /dev by a tmpfs with null, full, the chosen /dev/mem and the
// board's own GPIO device: /dev/gpiomem, the page of the block as laid out
// in the /dev/mem image, or /dev/gpiomem0, the RP1's blocks patterned.
inline constexpr char sandbox_gpiomem[] = "/dev/gpiomem";
inline constexpr char sandbox_gpiomem0[] = "/dev/gpiomem0";
inline constexpr unsigned rp1_image_words = 0x30000 / 4;
std::string replace_dev(dev_mem_kind kind, const emulated_board& board = original_board);

// Lays the /dev/mem image and the board's GPIO device out afresh.
std::string write_mem_image(const emulated_board& board);

// The path and first word of the image a pull on this board goes to.
struct pull_image {
    const char* path;
    off_t offset;
    unsigned words;
};
// /dev/gpiomem0, /dev/gpiomem or /dev/mem, in that order, as the board has.
pull_image board_pull_image(const emulated_board& board);

// `count` words at `offset` of the file at `path`.
std::string read_image_words(const char* path, off_t offset, uint32_t* words, unsigned count);

// A word of the image as laid out: the fill pattern, and in the board's own
// GPIO block the "gpio" word where the block has one.
uint32_t mem_image_word(const emulated_board& board, off_t page, unsigned word);

// Reads the page at `address` of the /dev/mem image.
std::string read_gpio_page(uint32_t words[gpio_page_words], off_t address = original_gpio_address);

// "" when the image holds data only in the board's patterned pages (a
// store anywhere else would have filled a hole), else where it does.
std::string image_data_outside_gpio_pages(const emulated_board& board);

// Bind-mounts `source` over the existing file `target`.
std::string bind_over(const std::string& source, const std::string& target);

std::string read_file(const std::string& path);
std::string write_file(const std::string& path, const std::string& content);

struct run_options {
    bool empty_argument_vector = false;  // execve with argv = { NULL }
    unsigned closed_descriptors = 0;     // bit n: descriptor n closed
    bool as_root = false;                // keep root's IDs: no secure mode
};

struct run_result {
    int exit_status = -1;  // -1 when killed by a signal or not started
    int signal = 0;
    std::string standard_error;
    std::string standard_output;
};

// Runs sandbox_binary as sandbox_uid/sandbox_gid with no supplementary
// groups (or as root); `args` are argv[0] onwards.
run_result run_as_user(const std::vector<std::string>& args, const run_options& options = {});
