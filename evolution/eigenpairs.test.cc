#include "evolution/eigenpairs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "evolution/pauli_sum_operator.h"
#include "pauli/hamiltonian.h"

namespace velmora {
namespace {

class Quiet final : public EigenObserver {
public:
    void between_cycles(std::uint64_t, std::uint64_t) override { ++calls; }
    int calls = 0;
};

std::string letter_at(std::size_t n, std::size_t q, char letter) {
    std::string s(n, 'I');
    s[n - 1 - q] = letter;
    return s;
}

/// sum_q (X_q + h Z_q) + shift: free spins, eigenvalues shift + sum_q +-sqrt(1 + h^2);
/// the level with j spins up has multiplicity C(n, j).
Hamiltonian free_spins(std::size_t n, double h, double shift) {
    std::vector<PauliWord> words;
    for (std::size_t q = 0; q < n; ++q) {
        words.emplace_back(1.0, letter_at(n, q, 'X'));
        words.emplace_back(h, letter_at(n, q, 'Z'));
    }
    words.emplace_back(shift, std::string(n, 'I'));
    return Hamiltonian(words);
}

struct Solved {
    EigenReport report;
    std::vector<Complex> vectors;
};

Solved solve(const Hamiltonian& ham, EigenOptions options) {
    PauliSumOperator op(ham, nullptr, options.num_threads);
    Solved run;
    run.vectors.resize(options.count * op.dim());
    Quiet quiet;
    run.report = lanczos_eigenpairs(op, nullptr, run.vectors.data(), options, quiet);
    return run;
}

struct Level {
    std::size_t n;
    std::uint64_t k;
    bool largest;
    std::vector<int> spins_up;  // the levels expected, by spins up out of n
};

class FreeSpinLevels : public ::testing::TestWithParam<Level> {};

// The degenerate levels come out as separate eigenpairs: a Krylov space of
// one vector sees one vector per eigenspace; the check brings in the rest.
TEST_P(FreeSpinLevels, FindsEveryVectorOfDegenerateLevels) {
    const Level& c = GetParam();
    const double h = 0.5;
    const double e = std::sqrt(1.0 + h * h);
    EigenOptions options;
    options.count = c.k;
    options.largest = c.largest;
    options.tol = 1e-11;
    const Solved run = solve(free_spins(c.n, h, 0.25), options);
    ASSERT_TRUE(run.report.converged);
    ASSERT_EQ(run.report.values.size(), c.k);
    for (std::uint64_t i = 0; i < c.k; ++i) {
        const double want = 0.25 + e * (2.0 * c.spins_up[i] - static_cast<double>(c.n));
        EXPECT_NEAR(run.report.values[i], want, 1e-9) << i;
        EXPECT_LE(run.report.residuals[i], 1e-9) << i;
        // The residual bounds the eigenvalue's error.
        EXPECT_LE(std::fabs(run.report.values[i] - want), run.report.residuals[i] + 1e-12);
    }
    // Orthonormal vectors.
    const std::uint64_t dim = std::uint64_t{1} << c.n;
    for (std::uint64_t a = 0; a < c.k; ++a) {
        for (std::uint64_t b = 0; b <= a; ++b) {
            Complex g(0.0, 0.0);
            for (std::uint64_t x = 0; x < dim; ++x) {
                g += std::conj(run.vectors[a * dim + x]) * run.vectors[b * dim + x];
            }
            EXPECT_NEAR(std::abs(g - Complex(a == b ? 1.0 : 0.0, 0.0)), 0.0, 1e-10) << a << b;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Levels, FreeSpinLevels,
    ::testing::Values(Level{6, 1, false, {0}}, Level{6, 3, false, {0, 1, 1}},
                      Level{6, 7, false, {0, 1, 1, 1, 1, 1, 1}},
                      Level{7, 4, true, {6, 6, 6, 7}}, Level{2, 4, false, {0, 1, 1, 2}},
                      Level{1, 1, true, {1}}));

/// A 10-spin sum of flips, couplings and fields with no symmetry to speak of.
Hamiltonian mixed_chain() {
    std::vector<PauliWord> words;
    const std::size_t n = 10;
    for (std::size_t q = 0; q < n; ++q) {
        std::string xx(n, 'I'), zz(n, 'I');
        xx[q] = 'X';
        xx[(q + 1) % n] = 'X';
        zz[q] = 'Z';
        zz[(q + 3) % n] = 'Z';
        words.emplace_back(1.0 + 0.1 * q, xx);
        words.emplace_back(-0.7, zz);
        words.emplace_back(0.3, letter_at(n, q, 'Y'));
    }
    return Hamiltonian(words);
}

/// Every k from 1 to dim on spaces of 1 to 5 qubits, at both ends, with and
/// without the check for missed eigenvalues, with the package's default basis
/// (ARPACK's max(2k + 1, 20), at most dim): the check runs in the complement of
/// k vectors, so with k above dim / 2 it locks more rows than its own basis has.
/// H = sum_q Z_q + shift: level j (spins down) at n - 2j + shift, C(n, j) times.
class EveryCount : public ::testing::TestWithParam<std::tuple<std::size_t, bool, bool>> {};

TEST_P(EveryCount, FindsTheLevelsOfTheFieldSum) {
    const auto [n, largest, check_missed] = GetParam();
    std::vector<PauliWord> words;
    for (std::size_t q = 0; q < n; ++q) words.emplace_back(1.0, letter_at(n, q, 'Z'));
    words.emplace_back(0.125, std::string(n, 'I'));
    const Hamiltonian ham(words);
    const std::uint64_t dim = std::uint64_t{1} << n;
    std::vector<double> levels;
    for (std::uint64_t x = 0; x < dim; ++x) {
        levels.push_back(0.125 + static_cast<double>(n) - 2.0 * std::popcount(x));
    }
    std::sort(levels.begin(), levels.end());
    for (std::uint64_t k = 1; k <= dim; ++k) {
        EigenOptions options;
        options.count = k;
        options.largest = largest;
        options.check_missed = check_missed;
        options.basis_size =
            std::min<std::uint64_t>(std::max<std::uint64_t>(2 * k + 1, 20), std::max(dim, k + 1));
        const Solved run = solve(ham, options);
        ASSERT_EQ(run.report.values.size(), k) << k;
        for (std::uint64_t i = 0; i < k; ++i) {
            const double want = largest ? levels[dim - k + i] : levels[i];
            // Without the check a degenerate level may be missed: the values
            // are eigenvalues, not necessarily the extreme ones.
            if (check_missed) {
                EXPECT_NEAR(run.report.values[i], want, 1e-9) << "k " << k << " i " << i;
            } else {
                const double v = run.report.values[i];
                EXPECT_TRUE(std::any_of(levels.begin(), levels.end(),
                                        [v](double l) { return std::fabs(l - v) < 1e-9; }))
                    << "k " << k << " i " << i << " value " << v;
            }
        }
        // Orthonormal rows, those swapped in by the check included.
        for (std::uint64_t a = 0; a < k; ++a) {
            for (std::uint64_t b = 0; b <= a; ++b) {
                Complex g(0.0, 0.0);
                for (std::uint64_t x = 0; x < dim; ++x) {
                    g += std::conj(run.vectors[a * dim + x]) * run.vectors[b * dim + x];
                }
                EXPECT_LT(std::abs(g - Complex(a == b ? 1.0 : 0.0, 0.0)), 1e-12)
                    << "k " << k << " rows " << a << ", " << b;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(SmallSpaces, EveryCount,
                         ::testing::Combine(::testing::Values(1, 2, 3, 4, 5),
                                            ::testing::Bool(), ::testing::Bool()));

TEST(Eigenpairs, SameBytesForEveryTeamSize) {
    const Hamiltonian ham = mixed_chain();
    EigenOptions options;
    options.count = 3;
    const Solved serial = solve(ham, options);
    for (std::int32_t threads : {1, 2, 3}) {
        options.num_threads = threads;
        const Solved team = solve(ham, options);
        EXPECT_EQ(team.report.products, serial.report.products);
        EXPECT_EQ(std::memcmp(team.report.values.data(), serial.report.values.data(),
                              3 * sizeof(double)), 0);
        EXPECT_EQ(std::memcmp(team.vectors.data(), serial.vectors.data(),
                              team.vectors.size() * sizeof(Complex)), 0);
    }
}

TEST(Eigenpairs, ScalarAndDiagonalOperators) {
    // H = 2 I: every vector is an eigenvector.
    EigenOptions options;
    options.count = 2;
    Solved run = solve(Hamiltonian({PauliWord(2.0, "III")}), options);
    EXPECT_TRUE(run.report.converged);
    EXPECT_DOUBLE_EQ(run.report.values[0], 2.0);
    EXPECT_DOUBLE_EQ(run.report.values[1], 2.0);
    // A diagonal H: the smallest entries of the diagonal.
    run = solve(Hamiltonian({PauliWord(1.0, "ZI"), PauliWord(0.5, "IZ")}), options);
    EXPECT_NEAR(run.report.values[0], -1.5, 1e-12);
    EXPECT_NEAR(run.report.values[1], -0.5, 1e-12);
}

TEST(Eigenpairs, RefusesBadOptions) {
    const Hamiltonian ham = free_spins(3, 0.5, 0.0);
    const auto bad = [&](auto change) {
        EigenOptions options;
        change(options);
        EXPECT_THROW(solve(ham, options), std::invalid_argument);
    };
    bad([](EigenOptions& o) { o.count = 0; });
    bad([](EigenOptions& o) { o.count = 9; });
    bad([](EigenOptions& o) { o.tol = 0.0; });
    bad([](EigenOptions& o) { o.tol = 1.0; });
    bad([](EigenOptions& o) { o.basis_size = 1; });
    bad([](EigenOptions& o) { o.basis_size = 257; });
    bad([](EigenOptions& o) { o.num_threads = -1; });
}

TEST(Eigenpairs, StopsUnconvergedAtTheProductLimit) {
    EigenOptions options;
    options.max_products = 25;
    options.tol = 1e-14;
    const Solved run = solve(mixed_chain(), options);
    EXPECT_FALSE(run.report.converged);
    EXPECT_LE(run.report.products, 25u + 20u + 1u);
}

}  // namespace
}  // namespace velmora
