#include "device_tree.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

inline constexpr char first_printable = 0x20;
inline constexpr char last_printable = 0x7E;

uint32_t big_endian_cell(const uint8_t* bytes)
{
    return static_cast<uint32_t>(bytes[0]) << 24 | static_cast<uint32_t>(bytes[1]) << 16 |
           static_cast<uint32_t>(bytes[2]) << 8 | static_cast<uint32_t>(bytes[3]);
}

bool is_printable(char c)
{
    return c >= first_printable && c <= last_printable;
}

const soc_model* find_soc_model(const char* compatible)
{
    for (const soc_model& model : known_socs)
        if (strcmp(model.compatible, compatible) == 0)
            return &model;
    return nullptr;
}

}  // namespace

ssize_t read_small_file(const char* path, void* buffer, size_t capacity)
{
    const int fd = open(path, O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return -1;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return -1;
    }
    char* bytes = static_cast<char*>(buffer);
    size_t total = 0;
    bool failed = false;
    for (;;) {
        char extra = 0;
        // One byte beyond the capacity tells an overlong file from a full one.
        char* into = total < capacity ? bytes + total : &extra;
        const size_t want = total < capacity ? capacity - total : 1;
        const ssize_t count = read(fd, into, want);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0) {
            failed = count < 0;
            break;
        }
        if (total == capacity) {
            failed = true;
            break;
        }
        total += static_cast<size_t>(count);
    }
    close(fd);
    return failed ? -1 : static_cast<ssize_t>(total);
}

const char* last_compatible(const char* bytes, size_t size)
{
    if (bytes == nullptr || size == 0 || bytes[size - 1] != '\0')
        return nullptr;
    size_t start = size - 1;
    while (start > 0 && bytes[start - 1] != '\0')
        --start;
    const size_t length = size - 1 - start;
    if (length == 0 || length > soc_name_max_length)
        return nullptr;
    for (size_t i = start; i < size - 1; ++i)
        if (!is_printable(bytes[i]))
            return nullptr;
    return bytes + start;
}

bool ranges_peripheral_base(const uint8_t* bytes, size_t size, uint32_t* base)
{
    if (bytes == nullptr || size < ranges_base_offset + ranges_cell_size)
        return false;
    uint32_t value = big_endian_cell(bytes + ranges_base_offset);
    if (value == 0) {
        if (size < ranges_wide_base_offset + ranges_cell_size)
            return false;
        value = big_endian_cell(bytes + ranges_wide_base_offset);
    }
    *base = value;
    return true;
}

soc_identity identify_soc(const char* compatible, size_t compatible_size, const uint8_t* ranges,
                          size_t ranges_size)
{
    soc_identity identity{soc_verdict::unreadable, nullptr, ""};
    const char* name = last_compatible(compatible, compatible_size);
    if (name == nullptr)
        return identity;
    // Fits: last_compatible bounds the length.
    strncpy(identity.name, name, soc_name_max_length);
    identity.name[soc_name_max_length] = '\0';
    const soc_model* model = find_soc_model(name);
    if (model == nullptr) {
        identity.verdict = soc_verdict::unsupported;
        return identity;
    }
    uint32_t base = 0;
    if (model->peripheral_base != 0 &&
        (!ranges_peripheral_base(ranges, ranges_size, &base) || base != model->peripheral_base)) {
        identity.verdict = soc_verdict::bad_ranges;
        return identity;
    }
    identity.verdict = soc_verdict::known;
    identity.model = model;
    return identity;
}

soc_identity detect_soc()
{
    struct stat st {};
    if (stat(device_tree_path, &st) != 0 && errno == ENOENT)
        return soc_identity{soc_verdict::no_device_tree, nullptr, ""};
    char compatible[compatible_max_size];
    uint8_t ranges[soc_ranges_max_size];
    const ssize_t compatible_size = read_small_file(compatible_path, compatible, sizeof compatible);
    const ssize_t ranges_size = read_small_file(soc_ranges_path, ranges, sizeof ranges);
    return identify_soc(compatible_size < 0 ? nullptr : compatible,
                        compatible_size < 0 ? 0 : static_cast<size_t>(compatible_size),
                        ranges_size < 0 ? nullptr : ranges,
                        ranges_size < 0 ? 0 : static_cast<size_t>(ranges_size));
}
