#pragma once

// A drive f on one time step as a polynomial in the step's time: the
// Chebyshev interpolant of f on [t, t + h] through its values at the
// Chebyshev points of the first kind (inside the step: a jump at a step's
// end, where steps land on breakpoints, is never sampled), chopped where its coefficients have decayed, and
// written as sum_j a_j s^j, s = (time - t) / h in [0, 1]. What is dropped is
// measured, not assumed: the coefficients beyond the chop, the last two
// coefficients of the full interpolant (whose size stands for what the
// interpolant itself misses between the points), and the largest difference
// between the monomial form and f at the points (the rounding of the change
// of basis). A function that is not smooth on the step (a jump, a kink) keeps
// large trailing coefficients and fails the tolerance on every step that
// contains it, however short.

#include <cstddef>
#include <vector>

namespace velmora {

/// The points s_i = (1 + cos(pi (i + 1/2) / (N + 1))) / 2, i = 0 .. N (from
/// near 1 down to near 0), at which the drive is sampled for an interpolant
/// of degree N.
std::vector<double> chebyshev_points(std::size_t degree);

struct DrivePolynomial {
    /// a_0 .. a_d: f(t + s h) ~ sum_j a_j s^j.
    std::vector<double> coefficients;
    /// An estimate of max over s in [0, 1] of |f - polynomial|.
    double error = 0.0;
    /// Whether the interpolant's last coefficients are below `tolerance`
    /// (the series has converged on the step).
    bool converged = false;
};

/// The polynomial of the samples f(t + s_i h) at chebyshev_points(N)
/// (values[i] at s_i, N + 1 of them), keeping the lowest degree whose dropped
/// coefficients sum to at most tolerance / 4 (an absolute tolerance on f).
DrivePolynomial drive_polynomial(const std::vector<double>& values, double tolerance);

}  // namespace velmora
