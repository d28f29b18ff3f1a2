#include "gpio_sandbox.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <sched.h>
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

std::string create_file(const std::string& path, mode_t mode)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0)
        return failure("create " + path);
    close(fd);
    return "";
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

std::string write_mem_image(const std::string& path)
{
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return failure("create " + path);
    uint32_t page[gpio_page_words];
    for (unsigned i = 0; i < gpio_page_words; ++i)
        page[i] = gpio_page_pattern(i);
    const bool ok = ftruncate(fd, gpio_page_offset + sizeof page) == 0 &&
                    pwrite(fd, page, sizeof page, gpio_page_offset) == sizeof page;
    std::string result = ok ? "" : failure("fill " + path);
    close(fd);
    return result;
}

std::string populate_dev(dev_mem_kind kind)
{
    for (const char* name : {"null", "full"}) {
        const std::string target = std::string(dev_staging) + "/" + name;
        std::string result = create_file(target, 0666);
        if (result.empty())
            result = bind_over(std::string("/dev/") + name, target);
        if (!result.empty())
            return result;
    }
    const std::string mem = std::string(dev_staging) + "/mem";
    switch (kind) {
    case dev_mem_kind::image:
        return write_mem_image(mem);
    case dev_mem_kind::missing:
        return "";
    case dev_mem_kind::fifo:
        if (mkfifo(mem.c_str(), 0600) != 0)
            return failure("mkfifo " + mem);
        return "";
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
    if (options.close_standard_error)
        close(2);
    if (setgroups(0, nullptr) != 0 || setresgid(sandbox_gid, sandbox_gid, sandbox_gid) != 0 ||
        setresuid(sandbox_uid, sandbox_uid, sandbox_uid) != 0)
        _exit(exec_failed_status);
    execve(sandbox_binary, argv, environ);
    _exit(exec_failed_status);
}

}  // namespace

uint32_t gpio_page_pattern(unsigned word)
{
    return UINT32_C(0x5A5A0000) | word;
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

std::string lay_out_gpio_sysfs()
{
    std::string result = mount_tmpfs("/sys");
    for (const char* dir : {"/sys/class", "/sys/class/gpio", "/sys/devices", "/sys/devices/virtual",
                            "/sys/devices/virtual/gpio", sandbox_dir})
        if (result.empty())
            result = make_directory(dir, 0755);
    // The kernel's control files are write-only, for root.
    if (result.empty())
        result = create_file(sandbox_export, 0200);
    if (result.empty())
        result = create_file(sandbox_unexport, 0200);
    if (result.empty())
        result = create_file(stdin_path, 0644);
    return result;
}

std::string attribute_path(unsigned pin, const std::string& name)
{
    return "/sys/devices/virtual/gpio/gpio" + std::to_string(pin) + "/" + name;
}

std::string add_pin_attributes(unsigned pin, const std::vector<std::string>& names)
{
    std::string result =
        make_directory("/sys/devices/virtual/gpio/gpio" + std::to_string(pin), 0755);
    for (const std::string& name : names)
        if (result.empty())
            result = create_file(attribute_path(pin, name), 0644);
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

std::string replace_dev(dev_mem_kind kind)
{
    std::string result = make_directory(dev_staging, 0755);
    if (result.empty())
        result = mount_tmpfs(dev_staging);
    if (result.empty())
        result = populate_dev(kind);
    if (result.empty() && mount(dev_staging, "/dev", nullptr, MS_MOVE, nullptr) != 0)
        result = failure("move the new /dev into place");
    return result;
}

std::string read_gpio_page(uint32_t words[gpio_page_words])
{
    const int fd = open(dev_mem_path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return failure("open /dev/mem image");
    const ssize_t size = gpio_page_words * sizeof(uint32_t);
    const bool ok = pread(fd, words, size, gpio_page_offset) == size;
    close(fd);
    return ok ? "" : failure("read the GPIO page");
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
    const bool ok = write(fd, content.data(), content.size()) ==
                    static_cast<ssize_t>(content.size());
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
