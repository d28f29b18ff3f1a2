#include "gpio_sandbox.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

inline constexpr char dev_staging[] = "/sys/sandbox/dev";
inline constexpr char stdin_path[] = "/sys/sandbox/stdin";
inline constexpr char stdout_path[] = "/sys/sandbox/stdout";
inline constexpr char stderr_path[] = "/sys/sandbox/stderr";
inline constexpr char dev_mem_path[] = "/dev/mem";
inline constexpr char device_tree_dir[] = "/sys/firmware/devicetree/base";
inline constexpr char class_gpio_dir[] = "/sys/class/gpio";
inline constexpr int exec_failed_status = 127;

std::string failure(const std::string& what)
{
    return what + ": " + strerror(errno);
}

std::string make_directory(const std::string& path, mode_t mode)
{
    if (mkdir(path.c_str(), mode) != 0 && errno != EEXIST)
        return failure("mkdir " + path);
    return "";
}

// Each missing directory along the path, as mkdir -p.
std::string make_directories(const std::string& path, mode_t mode)
{
    for (size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        std::string result = make_directory(path.substr(0, slash), mode);
        if (!result.empty())
            return result;
    }
    return make_directory(path, mode);
}

// Empty, owned by root with `mode`, as if new even when it was not.
std::string create_file(const std::string& path, mode_t mode)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0)
        return failure("create " + path);
    const bool ok = fchown(fd, 0, 0) == 0 && fchmod(fd, mode) == 0;
    close(fd);
    return ok ? "" : failure("reset owner and mode of " + path);
}

std::string create_file_with(const std::string& path, const std::string& content, mode_t mode)
{
    std::string result = create_file(path, 0600);
    if (result.empty())
        result = write_file(path, content);
    if (result.empty() && chmod(path.c_str(), mode) != 0)
        result = failure("chmod " + path);
    return result;
}

std::string mount_tmpfs(const char* target)
{
    if (mount("gpio-sandbox", target, "tmpfs", 0, "mode=0755") != 0)
        return failure(std::string("mount tmpfs on ") + target);
    return "";
}

bool no_new_privileges()
{
    FILE* status = fopen("/proc/self/status", "r");
    if (status == nullptr)
        return false;
    char line[256];
    bool set = false;
    while (fgets(line, sizeof line, status) != nullptr)
        if (strncmp(line, "NoNewPrivs:", 11) == 0)
            set = strtol(line + 11, nullptr, 10) != 0;
    fclose(status);
    return set;
}

// The original GPIO page, and the board's own where it has another.
std::vector<off_t> patterned_pages(const emulated_board& board)
{
    std::vector<off_t> pages = {original_gpio_address};
    if (board.gpio_address != 0 && board.gpio_address != original_gpio_address)
        pages.push_back(board.gpio_address);
    return pages;
}

inline constexpr off_t gpio_page_size = gpio_page_words * sizeof(uint32_t);

std::string write_mem_image_at(const std::string& path, const emulated_board& board)
{
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return failure("create " + path);
    off_t end = 0;
    for (off_t address : patterned_pages(board))
        end = std::max(end, address + gpio_page_size);
    bool ok = ftruncate(fd, end) == 0;
    uint32_t page[gpio_page_words];
    for (off_t address : patterned_pages(board)) {
        for (unsigned i = 0; i < gpio_page_words; ++i)
            page[i] = mem_image_word(board, address, i);
        ok = ok && pwrite(fd, page, sizeof page, address) == sizeof page;
    }
    std::string result = ok ? "" : failure("fill " + path);
    close(fd);
    return result;
}

// A file that opens for writing but whose writable shared mapping the
// kernel refuses with EPERM: a memfd sealed against writes, reached through
// a link to this process's descriptor (a memfd cannot be bind-mounted).  It
// stays open until the next one replaces it.
std::string refusing_mapping_at(const std::string& path)
{
    static int sealed = -1;
    if (sealed >= 0)
        close(sealed);
    sealed = memfd_create("strict-dev-mem", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (sealed < 0)
        return failure("memfd_create");
    if (ftruncate(sealed, gpio_page_size) != 0 || fcntl(sealed, F_ADD_SEALS, F_SEAL_WRITE) != 0)
        return failure("seal the strict /dev/mem");
    const std::string target = "/proc/" + std::to_string(getpid()) + "/fd/" + std::to_string(sealed);
    if (symlink(target.c_str(), path.c_str()) != 0)
        return failure("symlink " + path);
    return "";
}

// The board's GPIO device in `dir`, filled as the block it maps.
std::string write_gpio_device_at(const std::string& dir, const emulated_board& board)
{
    const bool rp1 = board.gpio_device == gpio_device_kind::gpiomem0;
    if (board.gpio_device == gpio_device_kind::none)
        return "";
    const std::string path = dir + (rp1 ? "/gpiomem0" : "/gpiomem");
    std::vector<uint32_t> words(rp1 ? rp1_image_words : gpio_page_words);
    for (unsigned i = 0; i < words.size(); ++i)
        words[i] = rp1 ? gpio_page_pattern(i) : mem_image_word(board, board.gpio_address, i);
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return failure("create " + path);
    const ssize_t size = static_cast<ssize_t>(words.size() * sizeof(uint32_t));
    const bool ok = write(fd, words.data(), size) == size;
    close(fd);
    return ok ? "" : failure("fill " + path);
}

std::string write_device_tree(const emulated_board& board)
{
    if (board.compatible.empty())
        return "";
    std::string compatible;
    for (const std::string& entry : board.compatible)
        compatible += entry + '\0';
    std::string ranges;
    for (uint32_t cell : board.soc_ranges)
        for (int shift = 24; shift >= 0; shift -= 8)
            ranges += static_cast<char>(cell >> shift & 0xFF);
    std::string result = make_directories(std::string(device_tree_dir) + "/soc", 0755);
    if (result.empty())
        result = create_file_with(std::string(device_tree_dir) + "/compatible", compatible, 0444);
    if (result.empty())
        result = create_file_with(std::string(device_tree_dir) + "/soc/ranges", ranges, 0444);
    return result;
}

std::string make_link(const std::string& target, const std::string& link)
{
    if (symlink(target.c_str(), link.c_str()) != 0)
        return failure("symlink " + link);
    return "";
}

std::string chip_entry_name(const emulated_chip& chip, bool per_chip)
{
    return per_chip ? "chip" + std::to_string(chip.id) : "gpiochip" + std::to_string(chip.base);
}

// The per-chip entry's own files: the kernel's control files are
// write-only, for root, and its device link leads to the chip's device.
std::string write_per_chip_files(const std::string& entry)
{
    std::string result = create_file(entry + "/export", 0200);
    if (result.empty())
        result = create_file(entry + "/unexport", 0200);
    if (result.empty())
        result = make_link("../..", entry + "/device");
    return result;
}

// The chip's entry and its link, its device's of_node where it has one,
// and the directory the kernel makes exported lines in.
std::string write_chip(const emulated_chip& chip, bool per_chip)
{
    if (chip.device.empty())
        return make_directories(chip.pin_parent, 0755);
    const std::string name = chip_entry_name(chip, per_chip);
    const std::string entry = chip.device + "/gpio/" + name;
    std::string result = make_directories(entry, 0755);
    if (result.empty())
        result = make_directories(chip.pin_parent, 0755);
    const struct {
        const char* file;
        std::string content;
    } files[] = {{"base", std::to_string(chip.base) + "\n"},
                 {"ngpio", std::to_string(chip.ngpio) + "\n"},
                 {"label", chip.label + "\n"}};
    for (const auto& file : files)
        if (result.empty() && !(per_chip && strcmp(file.file, "base") == 0))
            result = create_file_with(entry + "/" + file.file, file.content, 0444);
    if (result.empty() && per_chip)
        result = write_per_chip_files(entry);
    if (result.empty())
        result =
            make_link("../.." + entry.substr(strlen("/sys")), std::string(class_gpio_dir) + "/" + name);
    if (chip.node.empty())
        return result;
    const std::string node = std::string(device_tree_dir) + "/" + chip.node;
    if (result.empty())
        result = make_directories(node, 0755);
    if (result.empty())
        result = create_file_with(node + "/compatible", chip.node_compatible + '\0', 0444);
    if (result.empty())
        result = make_link(node, chip.device + "/of_node");
    return result;
}

std::string populate_dev(dev_mem_kind kind, const emulated_board& board)
{
    for (const char* name : {"null", "full"}) {
        const std::string target = std::string(dev_staging) + "/" + name;
        std::string result = create_file(target, 0666);
        if (result.empty())
            result = bind_over(std::string("/dev/") + name, target);
        if (!result.empty())
            return result;
    }
    std::string result = write_gpio_device_at(dev_staging, board);
    if (!result.empty())
        return result;
    const std::string mem = std::string(dev_staging) + "/mem";
    switch (kind) {
    case dev_mem_kind::image:
        return write_mem_image_at(mem, board);
    case dev_mem_kind::missing:
        return "";
    case dev_mem_kind::fifo:
        if (mkfifo(mem.c_str(), 0600) != 0)
            return failure("mkfifo " + mem);
        return "";
    case dev_mem_kind::strict:
        return refusing_mapping_at(mem);
    }
    return "unknown /dev/mem kind";
}

// In the child between fork and exec: only plain system calls.
[[noreturn]] void exec_as_user(char* const argv[], const run_options& options)
{
    const int in = open(stdin_path, O_RDONLY);
    const int out = open(stdout_path, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = open(stderr_path, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (in < 0 || out < 0 || err < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0)
        _exit(exec_failed_status);
    close(in);
    close(out);
    close(err);
    for (int fd = 0; fd <= 2; ++fd)
        if ((options.closed_descriptors >> fd & 1) != 0)
            close(fd);
    if (!options.as_root &&
        (setgroups(0, nullptr) != 0 || setresgid(sandbox_gid, sandbox_gid, sandbox_gid) != 0 ||
         setresuid(sandbox_uid, sandbox_uid, sandbox_uid) != 0))
        _exit(exec_failed_status);
    execve(sandbox_binary, argv, environ);
    _exit(exec_failed_status);
}

// Where the kernel makes an exported line's directory: under the chip's
// own device on the kernels of recent years, directly under the
// controller's device on older ones.
emulated_chip bcm_chip(const std::string& device, const char* pin_dir, unsigned base, unsigned ngpio,
                       const char* label, const std::string& compatible)
{
    return {
        device,    device + pin_dir, base, ngpio, label, compatible.empty() ? "" : "soc/gpio@7e200000",
        compatible};
}

// The firmware's GPIO expander of a Pi 3 and 4: its lines raise no
// interrupts, so the kernel gives them no edge file.
emulated_chip firmware_expander(unsigned base)
{
    const std::string device = "/sys/devices/platform/soc/soc:firmware/soc:firmware:gpio";
    return {device,
            device + "/gpiochip1/gpio",
            base,
            8,
            "raspberrypi-exp-gpio",
            "soc/firmware/gpio",
            "raspberrypi,firmware-gpio"};
}

const std::vector<uint32_t> bcm2835_ranges = {0x7E000000, 0x20000000, 0x01000000,
                                              0x40000000, 0x40000000, 0x00001000};
const std::vector<uint32_t> bcm2836_ranges = {0x7E000000, 0x3F000000, 0x01000000,
                                              0x40000000, 0x40000000, 0x00001000};
const std::vector<uint32_t> bcm2711_ranges = {0x7E000000, 0x00000000, 0xFE000000, 0x01800000,
                                              0x7C000000, 0x00000000, 0xFC000000, 0x02000000,
                                              0x40000000, 0x00000000, 0xFF800000, 0x00800000};
const char bcm2835_gpio[] = "brcm,bcm2835-gpio";
const char bcm2711_gpio[] = "brcm,bcm2711-gpio";
const std::string pi3_gpio = "/sys/devices/platform/soc/3f200000.gpio";
const std::string pi4_gpio = "/sys/devices/platform/soc/fe200000.gpio";
const std::string rp1_gpio = "/sys/devices/platform/axi/1000120000.pcie/1f000d0000.gpio";

// The Pi 5's SoC has GPIO blocks of its own beside the RP1's.
emulated_chip brcmstb_chip(const std::string& address, unsigned ngpio)
{
    const std::string device = "/sys/devices/platform/soc/" + address + ".gpio";
    return {device,
            device,
            0,
            ngpio,
            "gpio-brcmstb@" + address,
            "soc/gpio@" + address.substr(2),
            "brcm,brcmstb-gpio"};
}

// The same chips on a kernel with only the per-chip interface: entry chipX
// in the device's gpio directory, the lines' directories in it.
emulated_chip numbered(emulated_chip chip, unsigned id)
{
    chip.id = id;
    chip.pin_parent = chip.device + "/gpio/chip" + std::to_string(id);
    return chip;
}

}  // namespace

const emulated_board emulated_boards[emulated_board_count] = {
    {"original Pi",
     {},
     {},
     {"", "/sys/devices/virtual/gpio", 0, 54, "", "", ""},
     {},
     original_gpio_address,
     true,
     gpio_device_kind::none},
    // A Pi kernel of before 4.x: pins right under the controller's device,
    // no of_node link.
    {"Pi 1",
     {"raspberrypi,model-b", "brcm,bcm2835"},
     bcm2835_ranges,
     bcm_chip("/sys/devices/platform/soc/20200000.gpio", "/gpio", 0, 54, "pinctrl-bcm2835", ""),
     {},
     0x20200000,
     true,
     gpio_device_kind::gpiomem},
    // Debian's arm64 kernel.
    {"Pi 3",
     {"raspberrypi,3-model-b", "brcm,bcm2837"},
     bcm2836_ranges,
     bcm_chip(pi3_gpio, "/gpiochip0/gpio", 458, 54, "pinctrl-bcm2835", bcm2835_gpio),
     firmware_expander(450),
     0x3F200000,
     true,
     gpio_device_kind::none},
    // Raspberry Pi OS, numbering from 512.
    {"Pi 4",
     {"raspberrypi,4-model-b", "brcm,bcm2711"},
     bcm2711_ranges,
     bcm_chip(pi4_gpio, "/gpiochip0/gpio", 512, 58, "pinctrl-bcm2711", bcm2711_gpio),
     {},
     0xFE200000,
     false,
     gpio_device_kind::gpiomem},
    {"Pi 5",
     {"raspberrypi,5-model-b", "brcm,bcm2712"},
     {0x7C000000, 0x00000010, 0x7C000000, 0x04000000},
     {rp1_gpio, rp1_gpio + "/gpiochip0/gpio", 571, 54, "pinctrl-rp1", "axi/pcie@120000/rp1/gpio@d0000",
      "raspberrypi,rp1-gpio"},
     {},
     0,
     false,
     gpio_device_kind::gpiomem0},
    // Debian's 32-bit ARM kernel, whose bases count down from the top.
    {"Pi 2",
     {"raspberrypi,2-model-b", "brcm,bcm2836"},
     bcm2836_ranges,
     bcm_chip(pi3_gpio, "/gpiochip0/gpio", 1994, 54, "pinctrl-bcm2835", bcm2835_gpio),
     {},
     0x3F200000,
     true,
     gpio_device_kind::none},
    // Debian's arm64 kernel on a Pi 4.
    {"Pi 4 Debian",
     {"raspberrypi,4-model-b", "brcm,bcm2711"},
     bcm2711_ranges,
     bcm_chip(pi4_gpio, "/gpiochip0/gpio", 454, 58, "pinctrl-bcm2711", bcm2711_gpio),
     firmware_expander(446),
     0xFE200000,
     false,
     gpio_device_kind::none},
    // The Pi's kernels of 2019 named the BCM2711 brcm,bcm2838.
    {"Pi 4 of 2019",
     {"raspberrypi,4-model-b", "brcm,bcm2838"},
     bcm2711_ranges,
     bcm_chip(pi4_gpio, "/gpiochip0/gpio", 0, 58, "pinctrl-bcm2835",
              std::string("brcm,bcm2838-gpio\0brcm,bcm2835-gpio", 35)),
     {},
     0xFE200000,
     false,
     gpio_device_kind::gpiomem},
    // Kernels built without the global interface, as its authors mean to
    // make the default: a Pi 4 with /dev/mem only, the expander as chip1,
    // and a Pi 5 whose RP1 is numbered after the SoC's own chips.
    {"Pi 4 per-chip",
     {"raspberrypi,4-model-b", "brcm,bcm2711"},
     bcm2711_ranges,
     numbered(bcm_chip(pi4_gpio, "", 0, 58, "pinctrl-bcm2711", bcm2711_gpio), 0),
     numbered(firmware_expander(0), 1),
     0xFE200000,
     false,
     gpio_device_kind::none,
     true},
    {"Pi 5 per-chip",
     {"raspberrypi,5-model-b", "brcm,bcm2712"},
     {0x7C000000, 0x00000010, 0x7C000000, 0x04000000},
     numbered(
         {rp1_gpio, "", 0, 54, "pinctrl-rp1", "axi/pcie@120000/rp1/gpio@d0000", "raspberrypi,rp1-gpio"},
         4),
     {},
     0,
     false,
     gpio_device_kind::gpiomem0,
     true,
     {numbered(brcmstb_chip("107d508500", 32), 0), numbered(brcmstb_chip("107d517c00", 15), 1)}},
};

uint32_t gpio_page_pattern(unsigned word)
{
    return UINT32_C(0x5A5A0000) | word;
}

uint32_t mem_image_word(const emulated_board& board, off_t page, unsigned word)
{
    if (board.gpio_signature && page == board.gpio_address && word == 60)
        return UINT32_C(0x6770696F);  // "gpio"
    return gpio_page_pattern(word);
}

bool enter_sandbox(sandbox_session* session, std::string* why_not)
{
    if (geteuid() != 0) {
        *why_not = "needs root to build a private mount namespace";
        return false;
    }
    if (no_new_privileges()) {
        *why_not = "no_new_privs is set, so a set-user-ID binary cannot gain root";
        return false;
    }
    session->original_namespace = open("/proc/self/ns/mnt", O_RDONLY | O_CLOEXEC);
    session->original_cwd = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (session->original_namespace < 0 || session->original_cwd < 0) {
        *why_not = failure("cannot keep hold of the original mount namespace");
        leave_sandbox(session);
        return false;
    }
    if (unshare(CLONE_NEWNS) != 0) {
        *why_not = failure("unshare(CLONE_NEWNS) refused");
        leave_sandbox(session);
        return false;
    }
    // Without this, mounts made here could propagate to the host.
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        *why_not = failure("cannot make the mount namespace private");
        leave_sandbox(session);
        return false;
    }
    return true;
}

void leave_sandbox(sandbox_session* session)
{
    if (session->original_namespace >= 0) {
        setns(session->original_namespace, CLONE_NEWNS);
        close(session->original_namespace);
        session->original_namespace = -1;
    }
    if (session->original_cwd >= 0) {
        if (fchdir(session->original_cwd) != 0)
            perror("gpio sandbox: fchdir");
        close(session->original_cwd);
        session->original_cwd = -1;
    }
}

std::string lay_out_gpio_sysfs(const emulated_board& board)
{
    std::string result = mount_tmpfs("/sys");
    for (const std::string& dir : {std::string(class_gpio_dir), std::string(sandbox_dir)})
        if (result.empty())
            result = make_directories(dir, 0755);
    if (result.empty())
        result = write_device_tree(board);
    if (result.empty() && !board.expander.device.empty())
        result = write_chip(board.expander, board.per_chip);
    if (result.empty())
        result = write_chip(board.chip, board.per_chip);
    for (const emulated_chip& chip : board.other_chips)
        if (result.empty())
            result = write_chip(chip, board.per_chip);
    // The kernel's control files are write-only, for root.
    if (result.empty() && !board.per_chip)
        result = create_file(sandbox_export, 0200);
    if (result.empty() && !board.per_chip)
        result = create_file(sandbox_unexport, 0200);
    if (result.empty())
        result = create_file(stdin_path, 0644);
    return result;
}

std::string export_file(const emulated_board& board)
{
    if (!board.per_chip)
        return sandbox_export;
    return std::string(class_gpio_dir) + "/" + chip_entry_name(board.chip, true) + "/export";
}

std::string unexport_file(const emulated_board& board)
{
    if (!board.per_chip)
        return sandbox_unexport;
    return std::string(class_gpio_dir) + "/" + chip_entry_name(board.chip, true) + "/unexport";
}

std::string attribute_path(unsigned pin, const std::string& name)
{
    return std::string(class_gpio_dir) + "/gpio" + std::to_string(pin) + "/" + name;
}

std::string attribute_path(const emulated_board& board, unsigned pin, const std::string& name)
{
    if (!board.per_chip)
        return attribute_path(pin, name);
    return std::string(class_gpio_dir) + "/" + chip_entry_name(board.chip, true) + "/gpio" +
           std::to_string(pin) + "/" + name;
}

const std::vector<std::string>& line_attributes(const emulated_board& board)
{
    return board.per_chip ? per_chip_attributes : all_attributes;
}

std::string add_pin_attributes(unsigned pin, const std::vector<std::string>& names,
                               const emulated_board& board)
{
    if (!board.per_chip)
        return add_pin_attributes_in(pin, names, board.chip.pin_parent);
    const std::string prefix = board.chip.pin_parent + "/gpio" + std::to_string(pin) + "/";
    std::string result = make_directories(prefix.substr(0, prefix.size() - 1), 0755);
    for (const std::string& name : names)
        if (result.empty())
            result = create_file(prefix + name, 0644);
    return result;
}

std::string add_pin_attributes_in(unsigned pin, const std::vector<std::string>& names,
                                  const std::string& pin_parent)
{
    const std::string pin_name = "gpio" + std::to_string(pin);
    const std::string directory = pin_parent + "/" + pin_name;
    const std::string prefix = directory + "/";
    std::string result = make_directories(directory, 0755);
    for (const std::string& name : names)
        if (result.empty())
            result = create_file(prefix + name, 0644);
    // The kernel's link is relative: ../../devices/... from /sys/class/gpio.
    const std::string link = std::string(class_gpio_dir) + "/" + pin_name;
    const std::string target = "../.." + directory.substr(strlen("/sys"));
    if (result.empty() && unlink(link.c_str()) != 0 && errno != ENOENT)
        result = failure("unlink " + link);
    if (result.empty() && symlink(target.c_str(), link.c_str()) != 0)
        result = failure("symlink " + link);
    return result;
}

std::string install_setuid_copy(const std::string& built_binary)
{
    const std::string image = read_file(built_binary);
    if (image.empty())
        return failure("read " + built_binary);
    const int fd = open(sandbox_binary, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0700);
    if (fd < 0)
        return failure(std::string("create ") + sandbox_binary);
    const bool ok = write(fd, image.data(), image.size()) == static_cast<ssize_t>(image.size()) &&
                    fchown(fd, 0, 0) == 0 && fchmod(fd, 04755) == 0;
    std::string result = ok ? "" : failure(std::string("install ") + sandbox_binary);
    close(fd);
    return result;
}

std::string replace_dev(dev_mem_kind kind, const emulated_board& board)
{
    std::string result = make_directory(dev_staging, 0755);
    if (result.empty())
        result = mount_tmpfs(dev_staging);
    if (result.empty())
        result = populate_dev(kind, board);
    if (result.empty() && mount(dev_staging, "/dev", nullptr, MS_MOVE, nullptr) != 0)
        result = failure("move the new /dev into place");
    return result;
}

std::string write_mem_image(const emulated_board& board)
{
    std::string result = write_mem_image_at(dev_mem_path, board);
    if (result.empty())
        result = write_gpio_device_at("/dev", board);
    return result;
}

pull_image board_pull_image(const emulated_board& board)
{
    switch (board.gpio_device) {
    case gpio_device_kind::gpiomem0:
        return {sandbox_gpiomem0, 0, rp1_image_words};
    case gpio_device_kind::gpiomem:
        return {sandbox_gpiomem, 0, gpio_page_words};
    case gpio_device_kind::none:
        break;
    }
    return {dev_mem_path, board.gpio_address, gpio_page_words};
}

std::string read_image_words(const char* path, off_t offset, uint32_t* words, unsigned count)
{
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return failure(std::string("open ") + path);
    const ssize_t size = static_cast<ssize_t>(count * sizeof(uint32_t));
    const bool ok = pread(fd, words, size, offset) == size;
    close(fd);
    return ok ? "" : failure(std::string("read ") + path);
}

std::string read_gpio_page(uint32_t words[gpio_page_words], off_t address)
{
    return read_image_words(dev_mem_path, address, words, gpio_page_words);
}

// tmpfs keeps holes at the granularity of the machine's pages, so each
// patterned page may show as data with the rest of its memory page.
std::string image_data_outside_gpio_pages(const emulated_board& board)
{
    const int fd = open(dev_mem_path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return failure("open /dev/mem image");
    const off_t memory_page = sysconf(_SC_PAGESIZE);
    std::string stray;
    off_t data = 0;
    while (stray.empty() && (data = lseek(fd, data, SEEK_DATA)) >= 0) {
        const off_t hole = lseek(fd, data, SEEK_HOLE);
        bool inside = false;
        for (off_t page : patterned_pages(board)) {
            const off_t first = page / memory_page * memory_page;
            const off_t last = (page + gpio_page_size + memory_page - 1) / memory_page * memory_page;
            inside = inside || (data >= first && hole <= last);
        }
        if (!inside)
            stray = "data at " + std::to_string(data) + ".." + std::to_string(hole);
        data = hole;
    }
    if (stray.empty() && errno != ENXIO)
        stray = failure("seek through the /dev/mem image");
    close(fd);
    return stray;
}

std::string bind_over(const std::string& source, const std::string& target)
{
    if (mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0)
        return failure("bind " + source + " over " + target);
    return "";
}

std::string read_file(const std::string& path)
{
    std::string content;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return content;
    char buffer[65536];
    ssize_t count;
    while ((count = read(fd, buffer, sizeof buffer)) > 0)
        content.append(buffer, static_cast<size_t>(count));
    close(fd);
    return content;
}

std::string write_file(const std::string& path, const std::string& content)
{
    const int fd = open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd < 0)
        return failure("open " + path);
    const bool ok = write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size());
    close(fd);
    return ok ? "" : failure("write " + path);
}

run_result run_as_user(const std::vector<std::string>& args, const run_options& options)
{
    run_result result;
    std::vector<char*> argv;
    if (!options.empty_argument_vector)
        for (const std::string& arg : args)
            argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    fflush(nullptr);
    const pid_t child = fork();
    if (child < 0)
        return result;
    if (child == 0)
        exec_as_user(argv.data(), options);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status))
        result.exit_status = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        result.signal = WTERMSIG(status);
    result.standard_error = read_file(stderr_path);
    result.standard_output = read_file(stdout_path);
    return result;
}
