#include "evolution/krylov_bound.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <random>
#include <vector>

#include "evolution/matrix_exponential.h"

namespace velmora {
namespace {

using cplx = std::complex<double>;

struct Step {
    std::vector<double> diag;
    std::vector<double> off;
    TridiagonalEigen eig;
};

Step random_step(std::uint64_t k, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> normal;
    Step s;
    for (std::uint64_t i = 0; i < k; ++i) s.diag.push_back(normal(rng));
    for (std::uint64_t i = 0; i + 1 < k; ++i) s.off.push_back(0.5 + std::fabs(normal(rng)));
    s.eig = tridiagonal_eigen(s.diag.data(), s.off.data(), k);
    return s;
}

/// exp(-i s d (T - shift)) e_1 by the Pade exponential of the dense T.
std::vector<cplx> dense_propagated(const Step& st, cplx d, double shift, double s) {
    const std::uint64_t k = st.diag.size();
    Matrix A = zero_matrix(k);
    const cplx f = cplx(0.0, -1.0) * d * s;
    for (std::uint64_t i = 0; i < k; ++i) {
        A[i * k + i] = f * (st.diag[i] - shift);
        if (i + 1 < k) A[i * k + i + 1] = A[(i + 1) * k + i] = f * st.off[i];
    }
    const Matrix E = matrix_exponential(std::move(A), k);
    std::vector<cplx> col(k);
    for (std::uint64_t i = 0; i < k; ++i) col[i] = E[i * k];
    return col;
}

struct Case {
    std::uint64_t k;
    std::uint64_t seed;
    cplx direction;
};

class Bound : public ::testing::TestWithParam<Case> {};

TEST_P(Bound, CoefficientsMatchTheDenseExponential) {
    const Case c = GetParam();
    const Step st = random_step(c.k, c.seed);
    const double shift = growth_shift(st.eig.values, c.direction);
    const KrylovStepBound b(st.eig, c.direction, shift);
    std::vector<Complex> coeffs(c.k);
    for (double s : {0.0, 0.3, 2.0, 7.5}) {
        b.coefficients(s, coeffs.data());
        const std::vector<cplx> ref = dense_propagated(st, c.direction, shift, s);
        double norm = 0.0;
        for (std::uint64_t i = 0; i < c.k; ++i) {
            EXPECT_NEAR(std::abs(cplx(coeffs[i]) - ref[i]), 0.0, 1e-12) << s << " " << i;
            norm += std::norm(ref[i]);
        }
        EXPECT_NEAR(b.result_norm(s), std::sqrt(norm), 1e-12);
        // The shift keeps every factor at most 1 in modulus.
        EXPECT_LE(b.result_norm(s), 1.0 + 1e-14);
        // The integrand is the last entry of the propagated e_1.
        EXPECT_NEAR(b.integrand(s), std::abs(ref[c.k - 1]), 1e-12);
    }
}

TEST_P(Bound, IntegralMatchesAFineCompositeSimpsonRule) {
    const Case c = GetParam();
    const Step st = random_step(c.k, c.seed);
    const KrylovStepBound b(st.eig, c.direction, growth_shift(st.eig.values, c.direction));
    for (double tau : {0.05, 1.0, 6.0}) {
        const int panels = 20000;
        const double h = tau / panels;
        double simpson = b.integrand(0.0) + b.integrand(tau);
        for (int i = 1; i < panels; ++i) simpson += (i % 2 ? 4.0 : 2.0) * b.integrand(i * h);
        simpson *= h / 3.0;
        // The integrand has kinks where the sum passes through zero, and for
        // small s it is a tiny difference of O(1) terms: relative agreement
        // to 1e-3 plus rounding noise of order eps per unit length.
        const double allowed = 1e-3 * simpson + 1e-15 * tau;
        EXPECT_NEAR(b.integral(0.0, tau), simpson, allowed) << tau;
        // Additive over subintervals.
        const double split = b.integral(0.0, 0.4 * tau) + b.integral(0.4 * tau, tau);
        EXPECT_NEAR(split, simpson, allowed);
    }
}

TEST_P(Bound, LargestStepIsTheEdgeOfTheAcceptedRegion) {
    const Case c = GetParam();
    const Step st = random_step(c.k, c.seed);
    const KrylovStepBound b(st.eig, c.direction, growth_shift(st.eig.values, c.direction));
    const double beta = 0.7;
    for (double rate : {1e-12, 1e-8, 1e-4}) {
        const double tau_max = 50.0;
        const KrylovStepBound::Step step = b.largest_step(beta, tau_max, rate, 0.0);
        const double tau = step.tau;
        ASSERT_GT(tau, 0.0);
        // The estimate of the step is the integral as the walk split it; the
        // same integral in one piece differs by the quadrature error only.
        EXPECT_NEAR(step.estimate, b.relative_estimate(beta, tau), 1e-4 * step.estimate);
        EXPECT_LE(step.estimate, rate * tau);
        if (tau < tau_max) {
            const double beyond = tau * 1.001;
            EXPECT_GT(b.relative_estimate(beta, beyond), rate * beyond);
        }
    }
    // A zero next entry means an invariant space: the whole interval fits.
    const KrylovStepBound::Step whole = b.largest_step(0.0, 1e6, 1e-12, 0.0);
    EXPECT_EQ(whole.tau, 1e6);
    EXPECT_EQ(whole.estimate, 0.0);
}

TEST_P(Bound, ReachesIsWhetherTheLargestStepIsTheWholeInterval) {
    const Case c = GetParam();
    const Step st = random_step(c.k, c.seed);
    const KrylovStepBound b(st.eig, c.direction, growth_shift(st.eig.values, c.direction));
    const double eps = 2.220446049250313e-16;
    int reached = 0, missed = 0, turned = 0;
    for (double beta : {0.0, 1e-14, 1e-6, 0.7}) {
        for (double tau_max : {1e-3, 0.05, 0.6, 4.0, 40.0}) {
            for (double rate : {1e-14, 1e-10, 1e-6, 1e-2}) {
                for (double floor : {0.0, eps, 1e-9}) {
                    const KrylovStepBound::Step step =
                        b.largest_step(beta, tau_max, rate, floor);
                    const bool whole = step.tau >= tau_max;
                    const bool fits = b.reaches(beta, tau_max, rate, floor, 0.0);
                    EXPECT_EQ(fits, whole) << beta << " " << tau_max << " " << rate << " "
                                           << floor;
                    (fits ? reached : missed) += 1;
                    // A reserve only lowers the budget at tau_max: the answer
                    // is the largest step's estimate against the lowered budget,
                    // and once false it stays false as the reserve grows.
                    bool before = fits;
                    for (double share : {1e-3, 0.5, 0.999, 1.0, 2.0}) {
                        const double reserve = share * rate * tau_max;
                        const bool now = b.reaches(beta, tau_max, rate, floor, reserve);
                        EXPECT_EQ(now, whole && step.estimate <=
                                               std::max(rate * tau_max - reserve, floor))
                            << beta << " " << tau_max << " " << rate << " " << floor << " "
                            << share;
                        EXPECT_TRUE(before || !now) << share;
                        if (now) {
                            // The estimate over [0, tau_max] in one piece
                            // meets the lowered budget too (up to quadrature).
                            EXPECT_LE(b.relative_estimate(beta, tau_max),
                                      (1.0 + 1e-4) *
                                          std::max(rate * tau_max - reserve, floor));
                        }
                        turned += before && !now;
                        before = now;
                    }
                }
            }
        }
    }
    // The table holds both answers, and reserves that change them.
    EXPECT_GT(reached, 0);
    EXPECT_GT(missed, 0);
    EXPECT_GT(turned, 0);
}

INSTANTIATE_TEST_SUITE_P(Steps, Bound,
                         ::testing::Values(Case{2, 1, cplx(1.0, 0.0)}, Case{6, 2, cplx(1.0, 0.0)},
                                           Case{12, 3, cplx(1.0, 0.0)},
                                           Case{6, 4, cplx(0.0, -1.0)},
                                           Case{12, 5, cplx(0.0, -1.0)},
                                           Case{8, 6, cplx(0.6, -0.8)},
                                           Case{8, 7, cplx(0.0, 1.0)}));

TEST(GrowthShift, PicksTheValueOfFastestGrowth) {
    const std::vector<double> v = {-3.0, 0.5, 2.0};
    EXPECT_EQ(growth_shift(v, Complex(1.0, 0.0)), 0.0);
    EXPECT_EQ(growth_shift(v, Complex(0.0, -1.0)), -3.0);
    EXPECT_EQ(growth_shift(v, Complex(0.6, -0.8)), -3.0);
    EXPECT_EQ(growth_shift(v, Complex(0.0, 1.0)), 2.0);
}

}  // namespace
}  // namespace velmora
