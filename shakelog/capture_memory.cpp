#include "capture_memory.h"

#include <sys/mman.h>

double *reserveDoubles(size_t count)
{
    // An anonymous private mapping reads as zeros and takes physical pages
    // only when written; MAP_NORESERVE keeps the kernel's overcommit
    // heuristic from refusing a reservation larger than the memory.
    size_t bytes = (count > 0 ? count : 1) * sizeof(double);
    void *memory = mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    return memory == MAP_FAILED ? nullptr : static_cast<double *>(memory);
}
