#include "sample_clock.h"

#include <cmath>

namespace {

inline constexpr int maxDegree = 2;
inline constexpr int refinements = 16;
// Corrections below this (seconds) change no row's time.
inline constexpr double settledSec = 1e-10;
// Observations a quadratic needs before its curvature means anything.
inline constexpr int quadraticObservations = 12;

double evaluate(const double coef[maxDegree + 1], int degree, double x)
{
    double value = 0;
    for (int j = degree; j >= 0; --j) {
        value = value * x + coef[j];
    }
    return value;
}

double scaled(const ClockModel &model, double k)
{
    return (k - model.center) / model.scale;
}

// Solves the (degree + 1)-square system a * c = b by Gaussian elimination
// with partial pivoting; false when it is singular.
bool solve(double a[maxDegree + 1][maxDegree + 1], double b[maxDegree + 1], int size,
           double c[maxDegree + 1])
{
    for (int col = 0; col < size; ++col) {
        int pivot = col;
        for (int row = col + 1; row < size; ++row) {
            if (std::fabs(a[row][col]) > std::fabs(a[pivot][col])) {
                pivot = row;
            }
        }
        if (std::fabs(a[pivot][col]) < 1e-300) {
            return false;
        }
        for (int j = 0; j < size; ++j) {
            double swapped = a[col][j];
            a[col][j] = a[pivot][j];
            a[pivot][j] = swapped;
        }
        double swappedB = b[col];
        b[col] = b[pivot];
        b[pivot] = swappedB;
        for (int row = col + 1; row < size; ++row) {
            double factor = a[row][col] / a[col][col];
            for (int j = col; j < size; ++j) {
                a[row][j] -= factor * a[col][j];
            }
            b[row] -= factor * b[col];
        }
    }
    for (int row = size - 1; row >= 0; --row) {
        double sum = b[row];
        for (int j = row + 1; j < size; ++j) {
            sum -= a[row][j] * c[j];
        }
        c[row] = sum / a[row][row];
    }
    return true;
}

// The least-squares polynomial through the middle of each observation's
// room: arrival(count - 1) lies between lower - period and upper.
bool leastSquares(const ClockObservation *observations, int n, int degree, double period,
                  ClockModel &model)
{
    int size = degree + 1;
    double normal[maxDegree + 1][maxDegree + 1] = {};
    double right[maxDegree + 1] = {};
    for (int i = 0; i < n; ++i) {
        double x = scaled(model, static_cast<double>(observations[i].count - 1));
        double y = (observations[i].lower - period + observations[i].upper) / 2 - model.coef[0];
        double powers[2 * maxDegree + 1] = {1, x, x * x, x * x * x, x * x * x * x};
        for (int r = 0; r < size; ++r) {
            for (int c = 0; c < size; ++c) {
                normal[r][c] += powers[r + c];
            }
            right[r] += powers[r] * y;
        }
    }
    double offset = model.coef[0];
    double c[maxDegree + 1] = {};
    if (!solve(normal, right, size, c)) {
        return false;
    }
    for (int j = 0; j <= maxDegree; ++j) {
        model.coef[j] = j < size ? c[j] : 0;
    }
    model.coef[0] += offset;
    return true;
}

// One pass of refinement.  The observations are split into `groups`
// groups of about equal size; in each, the shift of the curve that leaves
// equal room to the tightest bound on either side is found, and the
// polynomial of degree groups - 1 through those shifts is added.  Returns
// the largest shift.
double refine(const ClockObservation *observations, int n, int groups, ClockModel &model)
{
    double xs[maxDegree + 1];
    double shifts[maxDegree + 1];
    double margin = INFINITY;
    for (int g = 0; g < groups; ++g) {
        double lowest = -INFINITY;  // the curve may move down to here
        double highest = INFINITY;  // and up to here
        double sumX = 0;
        int start = n * g / groups;
        int end = n * (g + 1) / groups;
        for (int i = start; i < end; ++i) {
            const ClockObservation &seen = observations[i];
            double k = static_cast<double>(seen.count);
            lowest = std::fmax(lowest, seen.lower - arrivalSec(model, k));
            highest = std::fmin(highest, seen.upper - arrivalSec(model, k - 1));
            sumX += scaled(model, k - 1);
        }
        xs[g] = sumX / (end - start);
        shifts[g] = (lowest + highest) / 2;
        margin = std::fmin(margin, (highest - lowest) / 2);
    }
    model.margin = margin;
    // The polynomial through (xs, shifts): a Vandermonde system.
    double system[maxDegree + 1][maxDegree + 1];
    double correction[maxDegree + 1] = {};
    for (int g = 0; g < groups; ++g) {
        double power = 1;
        for (int j = 0; j < groups; ++j) {
            system[g][j] = power;
            power *= xs[g];
        }
    }
    if (!solve(system, shifts, groups, correction)) {
        return 0;
    }
    double largest = 0;
    for (int j = 0; j < groups; ++j) {
        model.coef[j] += correction[j];
        largest = std::fmax(largest, std::fabs(correction[j]));
    }
    return largest;
}

}  // namespace

bool fitClock(const ClockObservation *observations, int n, double nominalPeriod, ClockModel &model,
              int highestDegree)
{
    model = ClockModel{};
    if (n < 1) {
        return false;
    }
    double first = static_cast<double>(observations[0].count);
    double last = static_cast<double>(observations[n - 1].count);
    model.center = (first + last) / 2;
    model.scale = last > first ? (last - first) / 2 : 1;
    model.firstSec = observations[0].lower;
    model.lastSec = observations[n - 1].upper;
    // What the observations can carry: a shift of the nominal line alone,
    // a line, or a line that bends with a drifting rate.
    bool wide = model.lastSec - model.firstSec >= quadraticSpanSec && n >= quadraticObservations;
    int fitted = n < 2 || last == first ? 0 : wide && highestDegree > 1 ? 2 : 1;
    model.degree = fitted > 1 ? fitted : 1;
    model.coef[0] = (observations[0].lower - nominalPeriod + observations[0].upper) / 2 +
                    (model.center - (first - 1)) * nominalPeriod;
    model.coef[1] = nominalPeriod * model.scale;
    if (fitted > 0 && !leastSquares(observations, n, fitted, nominalPeriod, model)) {
        fitted = 0;
    }
    for (int pass = 0; pass < refinements; ++pass) {
        if (refine(observations, n, fitted + 1, model) < settledSec) {
            break;
        }
    }
    model.valid = std::isfinite(model.coef[0]) && std::isfinite(model.coef[1]) &&
                  std::isfinite(model.coef[2]) && periodAt(model, model.center) > 0;
    return model.valid;
}

double arrivalSec(const ClockModel &model, double k)
{
    return evaluate(model.coef, model.degree, scaled(model, k));
}

double periodAt(const ClockModel &model, double k)
{
    double x = scaled(model, k);
    return (model.coef[1] + 2 * model.coef[2] * x) / model.scale;
}

double indexAtSec(const ClockModel &model, double t)
{
    // Newton from the straight line through the centre: the curvature is
    // small over any window, so two or three steps reach a nanosecond.
    double k = model.center + (t - model.coef[0]) / periodAt(model, model.center);
    for (int step = 0; step < 4; ++step) {
        double period = periodAt(model, k);
        if (!(period > 0)) {
            break;
        }
        double off = arrivalSec(model, k) - t;
        k -= off / period;
        if (std::fabs(off) < 1e-12) {
            break;
        }
    }
    return k;
}

int64_t arrivedBy(const ClockModel &model, double t)
{
    return static_cast<int64_t>(std::floor(indexAtSec(model, t))) + 1;
}

void noteRead(ClockWindow &window, int64_t count, double begin, double end)
{
    int64_t mask = window.capacity - 1;
    if (window.added > 0) {
        ClockObservation &latest = window.ring[(window.added - 1) & mask];
        if (latest.count == count) {
            latest.lower = begin;  // the sample after it came later still
            return;
        }
    }
    window.ring[window.added & mask] = ClockObservation{count, begin, end};
    ++window.added;
}

void clearWindow(ClockWindow &window)
{
    window.added = 0;
}

int windowBetween(const ClockWindow &window, double fromSec, double toSec, ClockObservation *out,
                  int maxCount)
{
    int64_t mask = window.capacity - 1;
    int64_t oldest = window.added > window.capacity ? window.added - window.capacity : 0;
    int64_t last = window.added;
    while (last > oldest && window.ring[(last - 1) & mask].lower > toSec) {
        --last;
    }
    int64_t first = last;
    while (first > oldest && last - first < maxCount &&
           window.ring[(first - 1) & mask].upper >= fromSec) {
        --first;
    }
    for (int64_t i = first; i < last; ++i) {
        out[i - first] = window.ring[i & mask];
    }
    return static_cast<int>(last - first);
}
