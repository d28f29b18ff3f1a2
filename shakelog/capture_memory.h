// Memory for the arrays of file mode.
#ifndef SHAKELOG_CAPTURE_MEMORY_H
#define SHAKELOG_CAPTURE_MEMORY_H

#include <cstddef>

// Reserves room for count doubles without committing memory to it: pages
// cost nothing until a reading is stored in them, so a long capture is not
// refused for room that a real bus never fills.  Returns nullptr when even
// the reservation is refused.
double *reserveDoubles(size_t count);

#endif
