#include "evolution/lanczos.h"

#include <gtest/gtest.h>

#include <tuple>

#include <cmath>
#include <random>
#include <vector>

#include "pauli/kernel.h"
#include "pauli/test_support.h"

namespace velmora {
namespace {

using testing::same_bits;

struct PassOne {
    std::uint64_t k;
    std::vector<Complex> T;
};

PassOne run_pass_one(const Hamiltonian& ham, const std::vector<Complex>& state,
                     std::int32_t num_threads = 0) {
    const std::uint64_t m = std::min<std::uint64_t>(state.size(), 30);
    PassOne r{0, std::vector<Complex>(m * m)};
    r.k = lanczos_tridiagonalize(ham, state.data(), vector_norm(state.data(), state.size()),
                                 r.T.data(), m, num_threads);
    return r;
}

TEST(VectorAlgebra, NormAndInnerProduct) {
    const std::vector<Complex> a = {Complex(3.0, 4.0), Complex(0.0, 12.0)};
    const std::vector<Complex> b = {Complex(1.0, 2.0), Complex(-1.0, 1.0)};
    EXPECT_EQ(vector_norm(a.data(), 2), 13.0);
    EXPECT_EQ(vector_norm(a.data(), 0), 0.0);
    // conj(3+4i)(1+2i) + conj(12i)(-1+i) = (11 + 2i) + (12 + 12i)
    EXPECT_EQ(inner_product(a.data(), b.data(), 2), Complex(23.0, 14.0));
}

TEST(LanczosTridiagonalize, EigenvectorOfZStopsAtOne) {
    const double a = 0.75;
    const PassOne r = run_pass_one(Hamiltonian({PauliWord(a, "Z")}), {1.0, 0.0});
    EXPECT_EQ(r.k, 1u);
    EXPECT_EQ(r.T, (std::vector<Complex>{a, 0.0, 0.0, 0.0}));
}

TEST(LanczosTridiagonalize, SingleFlipBreaksDownAtTwoAndStoresZeroBeta) {
    // Two qubits, H = IX, start |00>: alpha_0 = 0, beta_0 = 1, alpha_1 = 0, beta_1 = 0.
    const PassOne r = run_pass_one(Hamiltonian({PauliWord(1.0, "IX")}), {1.0, 0.0, 0.0, 0.0});
    EXPECT_EQ(r.k, 2u);
    const std::uint64_t m = 4;
    EXPECT_EQ(r.T[0 * m + 0], Complex(0.0, 0.0));
    EXPECT_EQ(r.T[1 * m + 0], Complex(1.0, 0.0));
    EXPECT_EQ(r.T[0 * m + 1], Complex(1.0, 0.0));
    EXPECT_EQ(r.T[1 * m + 1], Complex(0.0, 0.0));
    EXPECT_EQ(r.T[1 * m + 2], Complex(0.0, 0.0));
    EXPECT_EQ(r.T[2 * m + 1], Complex(0.0, 0.0));
    EXPECT_EQ(r.T[2 * m + 2], Complex(0.0, 0.0));
}

TEST(LanczosTridiagonalize, SingleAmplitudeRunsOneStep) {
    const PassOne r = run_pass_one(Hamiltonian({PauliWord(Complex(2.0, 5.0), "")}), {Complex(0.0, 3.0)});
    EXPECT_EQ(r.k, 1u);
    EXPECT_EQ(r.T, (std::vector<Complex>{2.0}));
}

class FullDimension : public ::testing::TestWithParam<std::uint64_t> {};

TEST_P(FullDimension, RunsAllStepsWithoutBreakdown) {
    const std::uint64_t q = GetParam();
    std::mt19937_64 rng(q);
    const Hamiltonian ham = testing::random_hamiltonian(rng, q, 3 * q + 2);
    const PassOne r = run_pass_one(ham, testing::random_state(rng, q));
    const std::uint64_t m = std::min<std::uint64_t>(std::uint64_t{1} << q, 30);
    EXPECT_EQ(r.k, m);
    // Tridiagonal, symmetric, real; the last beta has no room and is not stored.
    for (std::uint64_t i = 0; i < m; ++i) {
        for (std::uint64_t j = 0; j < m; ++j) {
            const Complex t = r.T[i * m + j];
            EXPECT_EQ(t.imag(), 0.0);
            EXPECT_EQ(t, r.T[j * m + i]);
            if (i > j + 1 || j > i + 1) {
                EXPECT_EQ(t, Complex(0.0, 0.0));
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Qubits, FullDimension, ::testing::Values(2u, 3u, 5u, 6u));

TEST(LanczosTridiagonalize, OnlyRealPartOfInnerProductEntersT) {
    // A non-Hermitian H (complex coefficient on X): <v|Hv> is complex, T is not.
    const Hamiltonian ham({PauliWord(Complex(0.5, 0.75), "X"), PauliWord(Complex(0.0, 1.0), "Z")});
    const std::vector<Complex> state = {Complex(0.6, 0.0), Complex(0.0, 0.8)};
    const PassOne r = run_pass_one(ham, state);
    std::vector<Complex> hv(2);
    ham.apply(state.data(), hv.data());
    const Complex alpha0 = inner_product(state.data(), hv.data(), 2);
    ASSERT_NE(alpha0.imag(), 0.0);
    EXPECT_EQ(r.T[0], Complex(alpha0.real(), 0.0));
    for (const Complex& t : r.T) {
        EXPECT_EQ(t.imag(), 0.0);
    }
}

TEST(LanczosTridiagonalize, ThreadCountDoesNotChangeT) {
    std::mt19937_64 rng(11);
    const Hamiltonian ham = testing::random_hamiltonian(rng, 7, 12);
    const std::vector<Complex> state = testing::random_state(rng, 7);
    const PassOne serial = run_pass_one(ham, state, 0);
    for (std::int32_t threads : {1, 2, 3, 4, 8}) {
        const PassOne parallel = run_pass_one(ham, state, threads);
        EXPECT_EQ(parallel.k, serial.k);
        EXPECT_TRUE(same_bits(parallel.T, serial.T)) << threads;
    }
}

TEST(ScaleMatrix, ReadsLeadingBlockWithRowLength) {
    const std::vector<Complex> T = {1.0, 2.0, 9.0, 3.0, 4.0, 9.0, 9.0, 9.0, 9.0};
    const Matrix S = scale_matrix(T.data(), 3, 2, Complex(0.0, -1.0));
    EXPECT_EQ(std::vector<Complex>(S.get(), S.get() + 4),
              (std::vector<Complex>{Complex(0.0, -1.0), Complex(0.0, -2.0), Complex(0.0, -3.0),
                                    Complex(0.0, -4.0)}));
}

TEST(LanczosPropagate, SingleFlipRotates) {
    const Hamiltonian ham({PauliWord(1.0, "IX")});
    const std::vector<Complex> state = {1.0, 0.0, 0.0, 0.0};
    const PassOne r = run_pass_one(ham, state);
    for (double c : {0.1, 1.0, 2.5}) {
        std::vector<Complex> result(4, Complex(7.0, 7.0));  // overwritten, not added to
        lanczos_propagate(ham, state.data(), 1.0, r.T.data(), 4, r.k, c, result.data(), 0);
        EXPECT_NEAR(result[0].real(), std::cos(c), 1e-15);
        EXPECT_NEAR(result[0].imag(), 0.0, 1e-15);
        EXPECT_NEAR(result[1].real(), 0.0, 1e-15);
        EXPECT_NEAR(result[1].imag(), -std::sin(c), 1e-15);
        EXPECT_EQ(result[2], Complex(0.0, 0.0));
        EXPECT_EQ(result[3], Complex(0.0, 0.0));
    }
}

}  // namespace
}  // namespace velmora

namespace velmora {
namespace {

// Both passes written out step by step, one sweep per step, with the copy
// into v_prev as a copy: the literal recurrence the fused sweeps must match.
struct LiteralResult {
    std::uint64_t k;
    std::vector<Complex> T;
    std::vector<Complex> result;
};

LiteralResult literal_evolve(const Hamiltonian& ham, const std::vector<Complex>& state, Complex c) {
    const std::uint64_t n = state.size();
    const std::uint64_t m = std::min<std::uint64_t>(n, 30);
    const double x = vector_norm(state.data(), n);
    LiteralResult r{0, std::vector<Complex>(m * m), std::vector<Complex>(n)};
    auto apply = [&](const std::vector<Complex>& v, std::vector<Complex>& w) {
        w = testing::reference_apply(ham, v);
    };
    {
        std::vector<Complex> v_prev(n), v_cur(n), w(n);
        for (std::uint64_t i = 0; i < n; ++i) v_cur[i] = divide(state[i], x);
        double beta_prev = 0.0;
        for (std::uint64_t j = 0;; ++j) {
            apply(v_cur, w);
            if (j > 0) {
                for (std::uint64_t i = 0; i < n; ++i)
                    w[i] = Complex(w[i].real() - beta_prev * v_prev[i].real(),
                                   w[i].imag() - beta_prev * v_prev[i].imag());
            }
            const double alpha = inner_product(v_cur.data(), w.data(), n).real();
            r.T[j * m + j] = Complex(alpha, 0.0);
            for (std::uint64_t i = 0; i < n; ++i) w[i] = subtract(w[i], multiply(Complex(alpha, 0.0), v_cur[i]));
            const double beta = vector_norm(w.data(), n);
            if (j + 1 < m) r.T[(j + 1) * m + j] = r.T[j * m + j + 1] = Complex(beta, 0.0);
            if (beta < breakdown_tol) { r.k = j + 1; break; }
            if (j + 1 == m) { r.k = m; break; }
            v_prev = v_cur;
            for (std::uint64_t i = 0; i < n; ++i) v_cur[i] = divide(w[i], beta);
            beta_prev = beta;
        }
    }
    std::vector<Complex> v_prev(n), v_cur(n), w(n);
    for (std::uint64_t i = 0; i < n; ++i) v_cur[i] = divide(state[i], x);
    const Matrix E = matrix_exponential(scale_matrix(r.T.data(), m, r.k, multiply(c, Complex(0.0, -1.0))), r.k);
    for (std::uint64_t i = 0; i < n; ++i)
        r.result[i] = multiply(Complex(x * v_cur[i].real(), x * v_cur[i].imag()), E[0]);
    for (std::uint64_t l = 1; l < r.k; ++l) {
        const double beta = r.T[(l - 1) * m + l].real();
        const Complex alpha = r.T[(l - 1) * m + l - 1];
        apply(v_cur, w);
        for (std::uint64_t i = 0; i < n; ++i) w[i] = subtract(w[i], multiply(alpha, v_cur[i]));
        if (l > 1) {
            const double b = r.T[(l - 2) * m + l - 1].real();
            for (std::uint64_t i = 0; i < n; ++i)
                w[i] = Complex(w[i].real() - b * v_prev[i].real(), w[i].imag() - b * v_prev[i].imag());
        }
        v_prev = v_cur;
        for (std::uint64_t i = 0; i < n; ++i) {
            v_cur[i] = divide(w[i], beta);
            r.result[i] = add(r.result[i],
                              multiply(Complex(x * v_cur[i].real(), x * v_cur[i].imag()), E[l * r.k]));
        }
    }
    return r;
}

/// (qubits, instruction set of the kernels and the dense stage)
class FusedPasses : public ::testing::TestWithParam<std::tuple<std::uint64_t, KernelIsa>> {};

TEST_P(FusedPasses, MatchLiteralRecurrenceBitForBit) {
    const auto [q, isa] = GetParam();
    if (isa > detected_kernel_isa()) {
        GTEST_SKIP() << "this processor does not run " << kernel_isa_name(isa);
    }
    std::mt19937_64 rng(500 + q);
    const Hamiltonian ham = testing::random_hamiltonian(rng, q, 2 * q + 3).with_kernel_isa(isa);
    const std::vector<Complex> state = testing::random_state(rng, q);
    const Complex c(0.3, -0.05);
    const LiteralResult expected = literal_evolve(ham, state, c);
    for (std::int32_t threads : {0, 1, 2, 3}) {
        const PassOne p = run_pass_one(ham, state, threads);
        EXPECT_EQ(p.k, expected.k);
        EXPECT_TRUE(same_bits(p.T, expected.T)) << threads;
        const auto r = ham.evolve(state.data(), c, threads);
        EXPECT_TRUE(same_bits(std::vector<Complex>(r.get(), r.get() + state.size()), expected.result))
            << q << " qubits, " << threads << " threads";
    }
}

// Sizes below and above one sweep chunk (4096 amplitudes), and with breakdown (1-2 qubits).
INSTANTIATE_TEST_SUITE_P(
    QubitsAndIsas, FusedPasses,
    ::testing::Combine(::testing::Values(1u, 2u, 4u, 7u, 12u, 13u),
                       ::testing::Values(KernelIsa::generic, KernelIsa::avx2, KernelIsa::avx512)));

}  // namespace
}  // namespace velmora
