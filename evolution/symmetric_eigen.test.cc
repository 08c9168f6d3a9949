#include "evolution/symmetric_eigen.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "evolution/tridiagonal_eigen.h"

namespace velmora {
namespace {

struct Case {
    std::string name;
    std::uint64_t m;
    std::vector<double> a;  // row-major, symmetric
};

Case random_case(std::uint64_t m, std::uint64_t seed, double scale) {
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> normal;
    Case c{"random" + std::to_string(m) + "_" + std::to_string(seed), m, std::vector<double>(m * m)};
    for (std::uint64_t r = 0; r < m; ++r) {
        for (std::uint64_t k = r; k < m; ++k) {
            c.a[r * m + k] = c.a[k * m + r] = scale * normal(rng);
        }
    }
    return c;
}

// A thick-restart projection: diagonal Ritz values, an arrow row joining them
// to one vector, then a tridiagonal tail.
Case arrow_case() {
    const std::uint64_t m = 9;
    Case c{"arrow", m, std::vector<double>(m * m, 0.0)};
    for (std::uint64_t i = 0; i < m; ++i) c.a[i * m + i] = -3.0 + 0.5 * static_cast<double>(i);
    for (std::uint64_t i = 0; i < 4; ++i) c.a[i * m + 4] = c.a[4 * m + i] = 0.1 * (i + 1);
    for (std::uint64_t i = 4; i + 1 < m; ++i) c.a[i * m + i + 1] = c.a[(i + 1) * m + i] = 0.7;
    return c;
}

std::vector<Case> cases() {
    std::vector<Case> out{random_case(1, 1, 1.0), random_case(2, 2, 1.0), random_case(7, 3, 1.0),
                          random_case(40, 4, 1.0), random_case(12, 5, 1e-40),
                          random_case(12, 6, 1e40), arrow_case()};
    // Repeated eigenvalues: a diagonal with ties and a rotated copy of one.
    out.push_back({"ties", 4, {2, 0, 0, 0, 0, 1, 0, 0, 0, 0, 2, 0, 0, 0, 0, 1}});
    out.push_back({"rotated_ties", 3, {1.5, 0.5, 0, 0.5, 1.5, 0, 0, 0, 2}});
    out.push_back({"zero", 3, std::vector<double>(9, 0.0)});
    return out;
}

class Decomposition : public ::testing::TestWithParam<Case> {};

TEST_P(Decomposition, ReconstructsWithOrthonormalVectorsAndAscendingValues) {
    const Case& c = GetParam();
    const std::uint64_t m = c.m;
    const SymmetricEigen e = symmetric_eigen(c.a.data(), m);
    double scale = 0.0;
    for (double x : c.a) scale = std::max(scale, std::fabs(x));
    for (std::uint64_t k = 1; k < m; ++k) EXPECT_LE(e.values[k - 1], e.values[k]);
    for (std::uint64_t r = 0; r < m; ++r) {
        for (std::uint64_t s = 0; s < m; ++s) {
            double a = 0.0;
            double gram = 0.0;
            for (std::uint64_t k = 0; k < m; ++k) {
                a += e.vectors[r * m + k] * e.values[k] * e.vectors[s * m + k];
                gram += e.vectors[k * m + r] * e.vectors[k * m + s];
            }
            EXPECT_NEAR(a, c.a[r * m + s], 1e-13 * m * scale) << r << "," << s;
            EXPECT_NEAR(gram, r == s ? 1.0 : 0.0, 1e-13 * m) << r << "," << s;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Matrices, Decomposition, ::testing::ValuesIn(cases()),
                         [](const auto& info) { return info.param.name; });

TEST(SymmetricEigen, AgreesWithTheTridiagonalSolver) {
    const std::uint64_t m = 25;
    std::vector<double> diag(m), off(m - 1), a(m * m, 0.0);
    for (std::uint64_t i = 0; i < m; ++i) a[i * m + i] = diag[i] = std::sin(1.0 + i);
    for (std::uint64_t i = 0; i + 1 < m; ++i) {
        a[i * m + i + 1] = a[(i + 1) * m + i] = off[i] = 0.3 + std::cos(2.0 * i) * 0.2;
    }
    const SymmetricEigen e = symmetric_eigen(a.data(), m);
    const TridiagonalEigen t = tridiagonal_eigen(diag.data(), off.data(), m);
    for (std::uint64_t k = 0; k < m; ++k) EXPECT_NEAR(e.values[k], t.values[k], 1e-13);
}

TEST(SymmetricEigen, RefusesNonFiniteEntriesAndTakesEmptyMatrices) {
    const double bad[4] = {1.0, NAN, NAN, 1.0};
    EXPECT_THROW(symmetric_eigen(bad, 2), std::invalid_argument);
    EXPECT_TRUE(symmetric_eigen(nullptr, 0).values.empty());
}

}  // namespace
}  // namespace velmora
