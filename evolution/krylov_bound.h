#pragma once

// The a posteriori error estimate of one Krylov step and the step-size
// choice built on it.
//
// After k Lanczos steps from v_1 = psi / beta_0 with T_k = U Lambda U^T and
// next off-diagonal entry beta_k, the approximation
//   exp(-i s d H) psi ~ beta_0 V_k U exp(-i s d Lambda) U^T e_1
// (d: the direction of time, |d| = 1) has, for real d = 1, the computable
// upper bound of Jawecki, Auzinger and Koch (BIT Numer. Math. 60, 2020):
//   err(tau) <= beta_0 beta_k int_0^tau |sum_j U[k-1, j] U[0, j] exp(-i s d lambda_j)| ds.
// The integrand is non-negative, so the bound grows with tau.
//
// The exponent is taken relative to a shift lambda_s (the Ritz value of
// fastest growth when d has an imaginary part, 0 otherwise), so that every
// factor exp(s z_j), z_j = -i d (lambda_j - lambda_s), has modulus at most
// 1; the scalar exp(-i s d lambda_s) is carried separately. For complex d
// the same integral (of the shifted factors) serves as an estimate, taken
// relative to the norm of the shifted result at the end of the step, which
// is the smallest over the step.

#include <cstdint>
#include <vector>

#include "evolution/tridiagonal_eigen.h"
#include "base/complex.h"

namespace velmora {

/// Factor on the quadrature value of the integral: a composite rule can miss
/// part of an integrand that has kinks where the sum passes through zero.
inline constexpr double bound_safety = 2.0;

/// The shift lambda_s for Ritz values `values` (ascending, non-empty) and
/// direction d: the smallest value when Im d < 0 (decay), the largest when
/// Im d > 0, 0 for real d.
double growth_shift(const std::vector<double>& values, Complex direction);

/// What a step must leave of its share rate * tau for its own rounding:
/// constant + per_time * tau.
struct StepReserve {
    double constant = 0.0;
    double per_time = 0.0;
};

/// The quantities of one Krylov step the estimate and the dense output need.
class KrylovStepBound {
public:
    /// From the eigen-decomposition of T_k (k = eig.values.size() >= 1), the
    /// direction d and the shift lambda_s.
    KrylovStepBound(const TridiagonalEigen& eig, Complex direction, double shift);

    /// Dimension k.
    std::uint64_t dim() const { return first_.size(); }

    /// max_j |z_j|: the fastest rate of the shifted factors.
    double max_rate() const { return max_rate_; }

    /// |sum_j U[k-1, j] U[0, j] exp(s z_j)|.
    double integrand(double s) const;

    /// The integral of `integrand` over [a, b] (0 <= a <= b) by a composite
    /// 9-point Gauss-Legendre rule with panels no longer than 1 / max_rate().
    double integral(double a, double b) const;

    /// The norm of U exp(s Z) U^T e_1 (the shifted result of a unit start
    /// vector at time s); 1 for real d up to rounding.
    double result_norm(double s) const;

    /// The relative error estimate at tau for next entry beta_k (relative to
    /// the state at the step start):
    ///   bound_safety * beta_k * integral(0, tau) / min(1, result_norm(tau)).
    double relative_estimate(double beta_k, double tau) const;

    /// relative_estimate with the integral over [0, tau] already known.
    double relative_from(double beta_k, double integral_value, double tau) const;

    /// A step length and the relative error estimate that goes with it.
    struct Step {
        double tau;
        double estimate;
    };

    /// The largest tau in (0, tau_max] found with
    ///   relative_estimate(beta_k, tau) <= max(rate * tau - reserve(tau), floor),
    /// and its estimate. When even the crude bound bound_safety * beta_k *
    /// tau_max * sum_j |U[k-1, j] U[0, j]| / min(1, result_norm(tau_max))
    /// (every shifted factor has modulus <= 1) meets the condition at
    /// tau_max, that is the answer, with the crude bound as its estimate.
    /// Otherwise panels of length 1 / max_rate() are walked forward from 0
    /// to the first one where the condition fails, then that panel is
    /// bisected. The result is positive whenever the condition holds near 0
    /// (always for k >= 2 and floor > 0). At most `max_panels` panels are
    /// walked; the end of the last one is then returned.
    Step largest_step(double beta_k, double tau_max, double rate, double floor,
                      StepReserve reserve = {}) const;

    /// Whether largest_step(beta_k, tau_max, rate, floor) returns tau_max
    /// (decided by the same walk without the bisection) with an estimate of
    /// at most max(rate * tau_max - end_reserve, floor): the test by which a
    /// recurrence can stop before its full dimension, with room left in the
    /// budget for the rounding of the step (end_reserve).
    bool reaches(double beta_k, double tau_max, double rate, double floor,
                 double end_reserve) const;

    /// c = U exp(s Z) U^T e_1 into coeffs[0 .. k).
    void coefficients(double s, Complex* coeffs) const;

    /// Panels walked by largest_step at most.
    static constexpr std::uint64_t max_panels = 1u << 14;

private:
    /// largest_step, or with `bisect` false the start of the first panel
    /// whose end fails (tau_max when none does).
    Step walk(double beta_k, double tau_max, double rate, double floor, StepReserve reserve,
              bool bisect) const;

    std::vector<double> vectors_;  // U, k x k row-major
    std::vector<double> first_;    // U[0, j]
    std::vector<double> weight_;   // U[k-1, j] U[0, j]
    std::vector<Complex> rate_;    // z_j
    double max_rate_ = 0.0;
    double weight_sum_ = 0.0;      // sum_j |U[k-1, j] U[0, j]|
};

/// exp(z) for complex z, formed as e^{Re z} (cos Im z, sin Im z).
Complex complex_exp(Complex z);

}  // namespace velmora
