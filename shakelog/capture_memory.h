// Memory for the arrays of file mode.
#ifndef SHAKELOG_CAPTURE_MEMORY_H
#define SHAKELOG_CAPTURE_MEMORY_H

#include <cstddef>

// Reserves room for count doubles without committing memory to it: pages
// cost nothing until a reading is stored in them, so a long capture is not
// refused for room that a real bus never fills.  Returns nullptr when even
// the reservation is refused, or when count doubles do not fit the address
// space (on a 32-bit system).
double *reserveDoubles(size_t count);

// Room for count doubles that will all be written: the kernel may refuse it
// up front when the memory is plainly not there, rather than the process
// being killed once it fills the pages.
double *allocateDoubles(size_t count);

#endif
