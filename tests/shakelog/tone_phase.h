// How far rows that carry a tone are off the times they claim: the phase of
// the tone they hold against the tone at those times.
#ifndef TESTS_SHAKELOG_TONE_PHASE_H
#define TESTS_SHAKELOG_TONE_PHASE_H

#include <cstddef>

// The time error, in seconds, of the count rows from t[0] and x[0] on, a
// tone of hz on x whose phase is 0 at time -zeroSec: the least-squares fit
// of a sine and a cosine, exact for any number of cycles.
double toneTimeError(const double *t, const double *x, size_t count, double hz, double zeroSec);

#endif
