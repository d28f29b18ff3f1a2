#include "capture_memory.h"

#include <cstdint>
#include <sys/mman.h>

static double *mapDoubles(size_t count, int extraFlags)
{
    if (count > SIZE_MAX / sizeof(double)) {
        return nullptr;
    }
    size_t bytes = (count > 0 ? count : 1) * sizeof(double);
    void *memory = mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS | extraFlags, -1, 0);
    return memory == MAP_FAILED ? nullptr : static_cast<double *>(memory);
}

double *reserveDoubles(size_t count)
{
    // An anonymous private mapping reads as zeros and takes physical pages
    // only when written; MAP_NORESERVE keeps the kernel's overcommit
    // heuristic from refusing a reservation larger than the memory.
    return mapDoubles(count, MAP_NORESERVE);
}

double *allocateDoubles(size_t count)
{
    return mapDoubles(count, 0);
}
