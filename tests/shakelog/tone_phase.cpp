#include "tone_phase.h"

#include <cmath>

double toneTimeError(const double *t, const double *x, size_t count, double hz, double zeroSec)
{
    constexpr double pi = 3.14159265358979323846;
    double ss = 0, sc = 0, cc = 0, xs = 0, xc = 0;
    for (size_t i = 0; i < count; ++i) {
        double phase = 2 * pi * hz * (zeroSec + t[i]);
        double sine = std::sin(phase), cosine = std::cos(phase);
        ss += sine * sine;
        sc += sine * cosine;
        cc += cosine * cosine;
        xs += x[i] * sine;
        xc += x[i] * cosine;
    }
    return std::atan2(xc * ss - xs * sc, xs * cc - xc * sc) / (2 * pi * hz);
}
