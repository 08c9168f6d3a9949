#include "evolution/reduction.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "evolution/lanczos.h"
#include "pauli/expectation.h"
#include "pauli/test_support.h"

namespace velmora {
namespace {

using testing::same_bits;

struct Sums {
    double norm;
    Complex dot;
    Complex expectation;
    double diagonal;
};

Sums all_sums(const Hamiltonian& ham, const std::vector<Complex>& a,
              const std::vector<Complex>& b, const std::vector<double>& d, std::int32_t threads) {
    const std::uint64_t n = a.size();
    return {stable_norm(a.data(), n, threads), dot(a.data(), b.data(), n, threads),
            pauli_expectation(ham, a.data(), n, threads),
            diagonal_expectation(d.data(), a.data(), n, threads)};
}

class ThreadIndependence : public ::testing::TestWithParam<std::uint64_t> {};

TEST_P(ThreadIndependence, EverySumHasTheSameBitsForEveryThreadCount) {
    const std::uint64_t q = GetParam();
    std::mt19937_64 rng(q);
    const Hamiltonian ham = testing::random_hamiltonian(rng, q, 9);
    const std::vector<Complex> a = testing::random_state(rng, q);
    const std::vector<Complex> b = testing::random_state(rng, q);
    std::vector<double> d(a.size());
    std::normal_distribution<double> normal;
    for (double& x : d) x = normal(rng);
    const Sums serial = all_sums(ham, a, b, d, 0);
    for (std::int32_t threads : {1, 2, 3, 4, 7}) {
        const Sums s = all_sums(ham, a, b, d, threads);
        EXPECT_TRUE(same_bits(s.norm, serial.norm)) << threads;
        EXPECT_TRUE(same_bits(s.dot.real(), serial.dot.real())) << threads;
        EXPECT_TRUE(same_bits(s.dot.imag(), serial.dot.imag())) << threads;
        EXPECT_TRUE(same_bits(s.expectation.real(), serial.expectation.real())) << threads;
        EXPECT_TRUE(same_bits(s.expectation.imag(), serial.expectation.imag())) << threads;
        EXPECT_TRUE(same_bits(s.diagonal, serial.diagonal)) << threads;
    }
}

// Below, at and above one chunk; 14 and 15 qubits split over several.
INSTANTIATE_TEST_SUITE_P(Qubits, ThreadIndependence, ::testing::Values(3u, 12u, 14u, 15u));

struct ExtremeCase {
    double amplitude;
    std::uint64_t qubits;
};

class StableNorm : public ::testing::TestWithParam<ExtremeCase> {};

TEST_P(StableNorm, NeitherUnderflowsNorOverflows) {
    const ExtremeCase c = GetParam();
    const std::uint64_t n = std::uint64_t{1} << c.qubits;
    // Every entry a (1 + i): the norm is a * sqrt(2 n).
    const std::vector<Complex> v(n, Complex(c.amplitude, c.amplitude));
    const double expected = c.amplitude * std::sqrt(2.0 * static_cast<double>(n));
    for (std::int32_t threads : {0, 2}) {
        const double got = stable_norm(v.data(), n, threads);
        // Sequential sums of n equal squares lose up to ~n eps / 2.
        EXPECT_NEAR(got / expected, 1.0, 1e-12) << c.amplitude;
    }
}

INSTANTIATE_TEST_SUITE_P(Amplitudes, StableNorm,
                         ::testing::Values(ExtremeCase{1e-170, 4}, ExtremeCase{1e-170, 14},
                                           ExtremeCase{1e170, 4}, ExtremeCase{1e170, 14},
                                           ExtremeCase{1e-310, 5}, ExtremeCase{1.0, 13},
                                           ExtremeCase{1e300, 13}));

TEST(StableNorm, ZeroAndNonFiniteVectors) {
    const std::vector<Complex> zero(8, Complex(0.0, 0.0));
    EXPECT_EQ(stable_norm(zero.data(), zero.size(), 0), 0.0);
    EXPECT_EQ(stable_norm(zero.data(), 0, 0), 0.0);
    std::vector<Complex> inf = zero;
    inf[3] = Complex(INFINITY, 1.0);
    EXPECT_TRUE(std::isinf(stable_norm(inf.data(), inf.size(), 0)));
    std::vector<Complex> nan = zero;
    nan[5] = Complex(1.0, NAN);
    EXPECT_TRUE(std::isnan(stable_norm(nan.data(), nan.size(), 0)));
}

TEST(Dot, MatchesTheSequentialInnerProductOnOneChunk) {
    // Up to reduction_chunk entries there is one chunk, added in index order.
    std::mt19937_64 rng(3);
    const std::vector<Complex> a = testing::random_state(rng, 12);
    const std::vector<Complex> b = testing::random_state(rng, 12);
    const Complex d = dot(a.data(), b.data(), a.size(), 2);
    const Complex ref = inner_product(a.data(), b.data(), a.size());
    EXPECT_TRUE(same_bits(d.real(), ref.real()));
    EXPECT_TRUE(same_bits(d.imag(), ref.imag()));
}

TEST(Dot, CloseToTheSequentialInnerProductOnManyChunks) {
    std::mt19937_64 rng(4);
    const std::vector<Complex> a = testing::random_state(rng, 15);
    const std::vector<Complex> b = testing::random_state(rng, 15);
    const Complex d = dot(a.data(), b.data(), a.size(), 3);
    const Complex ref = inner_product(a.data(), b.data(), a.size());
    const double scale = vector_norm(a.data(), a.size()) * vector_norm(b.data(), b.size());
    EXPECT_NEAR(d.real(), ref.real(), 1e-13 * scale);
    EXPECT_NEAR(d.imag(), ref.imag(), 1e-13 * scale);
}

TEST(DiagonalExpectation, WeightsTheProbabilities) {
    const std::vector<Complex> psi = {Complex(1.0, 1.0), Complex(0.0, 2.0), Complex(3.0, 0.0)};
    const std::vector<double> d = {0.5, -1.0, 2.0};
    // 0.5 * 2 - 1 * 4 + 2 * 9
    EXPECT_EQ(diagonal_expectation(d.data(), psi.data(), 3, 0), 15.0);
}

TEST(PairwiseSum, CombinesInAFixedTree) {
    // ((1e16 + 1) + (-1e16 + 1)): the tree order is visible in the rounding.
    const std::vector<double> v = {1e16, 1.0, -1e16, 1.0};
    const double s = pairwise_sum(v.data(), v.size(), [](double a, double b) { return a + b; });
    EXPECT_EQ(s, (1e16 + 1.0) + (-1e16 + 1.0));
    const std::vector<double> odd = {1.0, 2.0, 4.0};
    EXPECT_EQ(pairwise_sum(odd.data(), 3, [](double a, double b) { return a + b; }), 7.0);
}


}  // namespace
}  // namespace velmora
