// The monotonic clock and the name of a backend that reads real hardware.
#include "host_clock.h"

#include <ctime>

double hostMonotonicSec()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

const char *backendName()
{
    return SHAKELOG_BACKEND_NAME;
}
