#include "evolution/tridiagonal_eigen.h"

#include <gtest/gtest.h>

#include <cmath>
#include <ostream>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace velmora {
namespace {

constexpr double pi = 3.14159265358979323846;

struct Tridiagonal {
    std::string name;
    std::vector<double> diag;
    std::vector<double> off;
};

double max_abs(const Tridiagonal& t) {
    double m = 0.0;
    for (double x : t.diag) m = std::max(m, std::fabs(x));
    for (double x : t.off) m = std::max(m, std::fabs(x));
    return m;
}

Tridiagonal random_case(std::uint64_t m, std::uint64_t seed, double scale, std::string name) {
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> normal;
    Tridiagonal t{std::move(name), {}, {}};
    for (std::uint64_t i = 0; i < m; ++i) t.diag.push_back(scale * normal(rng));
    for (std::uint64_t i = 0; i + 1 < m; ++i) t.off.push_back(scale * std::fabs(normal(rng)));
    return t;
}

std::vector<Tridiagonal> cases() {
    std::vector<Tridiagonal> c;
    c.push_back(random_case(1, 1, 1.0, "random1"));
    c.push_back(random_case(2, 2, 1.0, "random2"));
    c.push_back(random_case(7, 3, 1.0, "random7"));
    c.push_back(random_case(30, 4, 1.0, "random30"));
    c.push_back(random_case(100, 5, 1.0, "random100"));
    c.push_back(random_case(30, 6, 1e-30, "random30_tiny"));
    c.push_back(random_case(30, 7, 1e30, "random30_huge"));
    // Degenerate: blocks split by zero off-diagonals, repeated eigenvalues.
    c.push_back({"split_repeated", {2.0, 2.0, 2.0, 5.0, 5.0}, {0.0, 0.0, 0.0, 0.0}});
    c.push_back({"split_blocks", {1.0, 1.0, 3.0, 1.0, 1.0}, {1.0, 0.0, 0.0, 1.0}});
    // Wilkinson W21+: pairs of eigenvalues agreeing to many digits.
    Tridiagonal w{"wilkinson21", {}, std::vector<double>(20, 1.0)};
    for (int i = -10; i <= 10; ++i) w.diag.push_back(std::fabs(static_cast<double>(i)));
    c.push_back(w);
    c.push_back({"zero", std::vector<double>(6, 0.0), std::vector<double>(5, 0.0)});
    return c;
}

class Reconstruction : public ::testing::TestWithParam<Tridiagonal> {};

TEST_P(Reconstruction, OrthonormalVectorsRebuildTheMatrix) {
    const Tridiagonal& t = GetParam();
    const std::uint64_t m = t.diag.size();
    const TridiagonalEigen e = tridiagonal_eigen(t.diag.data(), t.off.data(), m);
    ASSERT_EQ(e.values.size(), m);
    ASSERT_EQ(e.vectors.size(), m * m);
    const double norm = max_abs(t);
    const double eps = 2.220446049250313e-16;
    for (std::uint64_t k = 1; k < m; ++k) EXPECT_LE(e.values[k - 1], e.values[k]);
    for (std::uint64_t i = 0; i < m; ++i) {
        for (std::uint64_t j = 0; j < m; ++j) {
            double utu = 0.0, rebuilt = 0.0;
            for (std::uint64_t k = 0; k < m; ++k) {
                utu += e.vectors[k * m + i] * e.vectors[k * m + j];
                rebuilt += e.vectors[i * m + k] * e.values[k] * e.vectors[j * m + k];
            }
            EXPECT_NEAR(utu, i == j ? 1.0 : 0.0, 20 * m * eps) << i << "," << j;
            double entry = 0.0;
            if (i == j) entry = t.diag[i];
            if (j == i + 1) entry = t.off[i];
            if (i == j + 1) entry = t.off[j];
            EXPECT_NEAR(rebuilt, entry, 20 * m * eps * norm) << i << "," << j;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Matrices, Reconstruction, ::testing::ValuesIn(cases()),
                         [](const auto& info) { return info.param.name; });

TEST(TridiagonalEigen, SecondDifferenceMatrixHasCosineEigenvalues) {
    // tridiag(-1, 2, -1) of size m: 2 - 2 cos(k pi / (m + 1)), k = 1 .. m.
    for (std::uint64_t m : {3u, 10u, 60u}) {
        const std::vector<double> diag(m, 2.0), off(m - 1, -1.0);
        const TridiagonalEigen e = tridiagonal_eigen(diag.data(), off.data(), m);
        for (std::uint64_t k = 1; k <= m; ++k) {
            EXPECT_NEAR(e.values[k - 1], 2.0 - 2.0 * std::cos(k * pi / (m + 1.0)), 1e-14);
        }
    }
}

// ---------------------------------------------------------------------------
// Entries far from 1: T scaled by s has the eigenvalues s * lambda and the
// same eigenvectors, up to the rounding of the scaled entries. The iteration
// forms products of two entries, so without care 1e160 overflows and 1e-160
// underflows; a power of two that keeps every entry and eigenvalue normal
// must give the bits of the unscaled matrix.

struct ScaleCase {
    std::string name;
    double scale;
    bool power_of_two;
};

void PrintTo(const ScaleCase& c, std::ostream* os) { *os << c.name; }

std::string scale_name(const ::testing::TestParamInfo<ScaleCase>& info) {
    return info.param.name;
}

/// Matrices with well separated eigenvalues (so that the eigenvectors are
/// determined to working precision) and the second-difference matrix, whose
/// eigenvalues are known in closed form.
std::vector<Tridiagonal> scaling_matrices() {
    std::vector<Tridiagonal> c;
    c.push_back({"second_difference20", std::vector<double>(20, 2.0),
                 std::vector<double>(19, -1.0)});
    c.push_back(random_case(2, 11, 1.0, "random2"));
    c.push_back(random_case(12, 12, 1.0, "random12"));
    c.push_back(random_case(30, 13, 1.0, "random30"));
    return c;
}

class ScaledEntries : public ::testing::TestWithParam<ScaleCase> {};

TEST_P(ScaledEntries, EigenvaluesScaleAndEigenvectorsStay) {
    const ScaleCase sc = GetParam();
    const double s = sc.scale;
    const double eps = 2.220446049250313e-16;
    for (const Tridiagonal& t : scaling_matrices()) {
        SCOPED_TRACE(t.name);
        const std::uint64_t m = t.diag.size();
        std::vector<double> diag, off;
        for (double x : t.diag) diag.push_back(s * x);
        for (double x : t.off) off.push_back(s * x);
        const TridiagonalEigen base = tridiagonal_eigen(t.diag.data(), t.off.data(), m);
        const TridiagonalEigen e = tridiagonal_eigen(diag.data(), off.data(), m);
        ASSERT_EQ(e.values.size(), m);
        const double norm = max_abs(t);
        for (std::uint64_t k = 0; k < m; ++k) {
            ASSERT_TRUE(std::isfinite(e.values[k])) << k;
            // Both runs are backward stable, each within a few dozen ulps of
            // s * ||T|| (the scaled entries differ from s * T by one rounding).
            EXPECT_NEAR(e.values[k] / s, base.values[k], 32 * eps * norm) << k;
            if (t.name == "second_difference20") {
                const double exact = 2.0 - 2.0 * std::cos((k + 1) * pi / (m + 1.0));
                EXPECT_NEAR(e.values[k] / s, exact, 16 * eps * norm) << k;
            }
        }
        // Each eigenvector is determined up to its sign.
        for (std::uint64_t col = 0; col < m; ++col) {
            double dot = 0.0;
            for (std::uint64_t row = 0; row < m; ++row)
                dot += e.vectors[row * m + col] * base.vectors[row * m + col];
            const double sign = dot < 0.0 ? -1.0 : 1.0;
            for (std::uint64_t row = 0; row < m; ++row) {
                EXPECT_NEAR(sign * e.vectors[row * m + col], base.vectors[row * m + col], 1e-11)
                    << row << "," << col;
            }
        }
        if (sc.power_of_two) {
            for (std::uint64_t k = 0; k < m; ++k) {
                const double expect = s * base.values[k];
                ASSERT_GE(std::fabs(expect), 2.2250738585072014e-308) << "pick another matrix";
                EXPECT_EQ(e.values[k], expect) << k;
            }
            EXPECT_EQ(e.vectors, base.vectors);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Scales, ScaledEntries,
    ::testing::Values(ScaleCase{"two_to_minus_1000", std::ldexp(1.0, -1000), true},
                      ScaleCase{"e_minus_300", 1e-300, false},
                      ScaleCase{"e_minus_200", 1e-200, false},
                      ScaleCase{"e_minus_160", 1e-160, false},
                      ScaleCase{"two_to_minus_40", std::ldexp(1.0, -40), true},
                      ScaleCase{"e_minus_7", 1e-7, false},
                      ScaleCase{"three", 3.0, false},
                      ScaleCase{"two_to_40", std::ldexp(1.0, 40), true},
                      ScaleCase{"e_160", 1e160, false},
                      ScaleCase{"e_200", 1e200, false},
                      ScaleCase{"e_300", 1e300, false},
                      ScaleCase{"two_to_1000", std::ldexp(1.0, 1000), true}),
    scale_name);

TEST(TridiagonalEigen, EmptyAndNonFinite) {
    EXPECT_TRUE(tridiagonal_eigen(nullptr, nullptr, 0).values.empty());
    const std::vector<double> diag = {1.0, NAN}, off = {1.0};
    EXPECT_THROW(tridiagonal_eigen(diag.data(), off.data(), 2), std::invalid_argument);
    const std::vector<double> diag2 = {1.0, 2.0}, off2 = {INFINITY};
    EXPECT_THROW(tridiagonal_eigen(diag2.data(), off2.data(), 2), std::invalid_argument);
}

}  // namespace
}  // namespace velmora
