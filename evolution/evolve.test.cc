#include "evolution/evolve.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <memory>
#include <random>
#include <stdexcept>
#include <vector>

#include "pauli/kernel.h"
#include "pauli/test_support.h"

namespace velmora {
namespace {

using testing::same_bits;

std::vector<Complex> evolve(const Hamiltonian& ham, const std::vector<Complex>& psi, Complex c,
                            std::int32_t num_threads = 0) {
    const auto r = ham.evolve(psi.data(), c, num_threads);
    return std::vector<Complex>(r.get(), r.get() + psi.size());
}

/// exp(-i c H) psi by its Taylor series with the reference kernel, for small
/// |c| ||H||: independent of the Krylov machinery.
std::vector<std::complex<double>> taylor_evolve(const Hamiltonian& ham,
                                                const std::vector<Complex>& psi, Complex c) {
    std::vector<std::complex<double>> sum(psi.begin(), psi.end());
    std::vector<Complex> term = psi;
    const std::complex<double> factor = std::complex<double>(0.0, -1.0) * c;
    for (int k = 1; k <= 60; ++k) {
        std::vector<Complex> h = testing::reference_apply(ham, term);
        for (std::size_t i = 0; i < psi.size(); ++i) {
            term[i] = factor * std::complex<double>(h[i]) / static_cast<double>(k);
            sum[i] += term[i];
        }
    }
    return sum;
}

double relative_error(const std::vector<Complex>& a, const std::vector<std::complex<double>>& b) {
    double diff = 0.0, size = 0.0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        diff += std::norm(std::complex<double>(a[i]) - b[i]);
        size += std::norm(b[i]);
    }
    return std::sqrt(diff / size);
}

TEST(Evolve, EigenvectorOfZPicksUpPhase) {
    const double a = 0.7;
    for (double c : {0.0, 0.3, -2.0}) {
        const std::vector<Complex> r = evolve(Hamiltonian({PauliWord(a, "Z")}), {1.0, 0.0}, c);
        EXPECT_NEAR(r[0].real(), std::cos(c * a), 1e-15);
        EXPECT_NEAR(r[0].imag(), -std::sin(c * a), 1e-15);
        EXPECT_EQ(r[1], Complex(0.0, 0.0));
    }
}

struct EvolveCase {
    std::uint64_t num_qubits;
    Complex c;
};

class AgainstTaylor : public ::testing::TestWithParam<EvolveCase> {};

TEST_P(AgainstTaylor, MatchesSeries) {
    const EvolveCase p = GetParam();
    std::mt19937_64 rng(p.num_qubits * 17);
    // A Hermitian H: real coefficients on Pauli words.
    std::vector<PauliWord> words;
    std::normal_distribution<double> normal;
    for (int t = 0; t < 8; ++t) {
        words.emplace_back(0.3 * normal(rng), testing::random_letters(rng, p.num_qubits));
    }
    const Hamiltonian ham(std::move(words));
    const std::vector<Complex> psi = testing::random_state(rng, p.num_qubits);
    EXPECT_LE(relative_error(evolve(ham, psi, p.c), taylor_evolve(ham, psi, p.c)), 1e-12);
}

INSTANTIATE_TEST_SUITE_P(
    Coefficients, AgainstTaylor,
    ::testing::Values(EvolveCase{1, 0.5}, EvolveCase{2, Complex(0.0, -0.4)},
                      EvolveCase{3, Complex(0.3, 0.2)}, EvolveCase{5, 0.8},
                      EvolveCase{6, Complex(0.0, 0.5)}, EvolveCase{8, Complex(-0.6, -0.1)}),
    [](const auto& info) { return "qubits" + std::to_string(info.param.num_qubits); });

TEST(Evolve, ZeroCoefficientReturnsInput) {
    std::mt19937_64 rng(5);
    const Hamiltonian ham = testing::random_hamiltonian(rng, 6, 10);
    const std::vector<Complex> psi = testing::random_state(rng, 6);
    const std::vector<Complex> r = evolve(ham, psi, 0.0);
    for (std::size_t i = 0; i < psi.size(); ++i) {
        EXPECT_NEAR(r[i].real(), psi[i].real(), 1e-14);
        EXPECT_NEAR(r[i].imag(), psi[i].imag(), 1e-14);
    }
}

TEST(Evolve, PositiveMultipleScalesResult) {
    std::mt19937_64 rng(6);
    const Hamiltonian ham = testing::random_hamiltonian(rng, 5, 7);
    const std::vector<Complex> psi = testing::random_state(rng, 5);
    std::vector<Complex> scaled = psi;
    for (Complex& a : scaled) a = Complex(4.0 * a.real(), 4.0 * a.imag());
    const std::vector<Complex> r = evolve(ham, psi, 0.2);
    const std::vector<Complex> rs = evolve(ham, scaled, 0.2);
    for (std::size_t i = 0; i < psi.size(); ++i) {
        EXPECT_NEAR(rs[i].real(), 4.0 * r[i].real(), 1e-13);
        EXPECT_NEAR(rs[i].imag(), 4.0 * r[i].imag(), 1e-13);
    }
}

// A plain sum of squares underflows below about 1e-154 and overflows above
// about 1e154; the evolution must not. Powers of two commute with every
// operation of the step, so the scaled state's result is the scaled result,
// bit for bit.
class TinyAndHugeStates : public ::testing::TestWithParam<int> {};

TEST_P(TinyAndHugeStates, ResultIsTheScaledResult) {
    const int k = GetParam();
    std::mt19937_64 rng(17);
    const Hamiltonian ham = testing::random_hamiltonian(rng, 4, 6);
    const std::vector<Complex> psi = testing::random_state(rng, 4);
    std::vector<Complex> scaled = psi;
    for (Complex& a : scaled) a = Complex(std::ldexp(a.real(), k), std::ldexp(a.imag(), k));
    for (std::int32_t threads : {0, 2}) {
        const std::vector<Complex> r = evolve(ham, psi, 0.3, threads);
        const std::vector<Complex> rs = evolve(ham, scaled, 0.3, threads);
        for (std::size_t i = 0; i < psi.size(); ++i) {
            EXPECT_TRUE(same_bits(rs[i].real(), std::ldexp(r[i].real(), k)) &&
                        same_bits(rs[i].imag(), std::ldexp(r[i].imag(), k)))
                << "k = " << k << ", entry " << i;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(PowersOfTwo, TinyAndHugeStates,
                         ::testing::Values(-1000, -600, 520, 600, 1000));

TEST(Evolve, TinyAmplitudeIsNotLost) {
    // The reproducer of the fault: 1e-170 squared is 0 in binary64.
    const Hamiltonian ham({PauliWord(1.0, "XI"), PauliWord(0.5, "ZZ")});
    const std::vector<Complex> unit = evolve(ham, {1.0, 0.0, 0.0, 0.0}, 0.7);
    const std::vector<Complex> tiny = evolve(ham, {1e-170, 0.0, 0.0, 0.0}, 0.7);
    for (std::size_t i = 0; i < unit.size(); ++i) {
        EXPECT_NEAR(tiny[i].real() / 1e-170, unit[i].real(), 1e-15);
        EXPECT_NEAR(tiny[i].imag() / 1e-170, unit[i].imag(), 1e-15);
    }
    const std::vector<Complex> with_nan =
        evolve(ham, {1e-170, std::nan(""), 0.0, 0.0}, 0.7);  // non-finite: not rescaled
    EXPECT_TRUE(std::isnan(with_nan[0].real()));
}

/// The instruction sets this processor runs.
std::vector<KernelIsa> supported_isas() {
    std::vector<KernelIsa> isas{KernelIsa::generic};
    if (detected_kernel_isa() != KernelIsa::generic) isas.push_back(KernelIsa::avx2);
    if (detected_kernel_isa() == KernelIsa::avx512) isas.push_back(KernelIsa::avx512);
    return isas;
}

/// The whole evolution (kernel and dense stage) under every instruction set:
/// the same bits as the generic body for every thread count, and the series.
TEST(Evolve, EveryInstructionSetGivesTheSameBits) {
    std::mt19937_64 rng(29);
    const Hamiltonian ham = testing::random_hamiltonian(rng, 12, 14);
    const std::vector<Complex> psi = testing::random_state(rng, 12);
    const std::vector<Complex> generic = evolve(ham.with_kernel_isa(KernelIsa::generic), psi,
                                                Complex(0.05, -0.01));
    EXPECT_LT(relative_error(generic, taylor_evolve(ham, psi, Complex(0.05, -0.01))), 1e-12);
    for (KernelIsa isa : supported_isas()) {
        const Hamiltonian with_isa = ham.with_kernel_isa(isa);
        EXPECT_EQ(with_isa.kernel_isa(), isa);
        for (std::int32_t threads : {0, 2, 3}) {
            EXPECT_TRUE(same_bits(evolve(with_isa, psi, Complex(0.05, -0.01), threads), generic))
                << kernel_isa_name(isa) << ", " << threads << " threads";
        }
    }
}

TEST(Evolve, ZeroStateGivesZero) {
    const Hamiltonian ham({PauliWord(1.0, "XY"), PauliWord(0.5, "ZZ")});
    for (std::int32_t threads : {0, 2}) {
        const std::vector<Complex> r = evolve(ham, std::vector<Complex>(4), 1.0, threads);
        for (const Complex& a : r) {
            EXPECT_TRUE(same_bits(a.real(), 0.0) && same_bits(a.imag(), 0.0));
        }
    }
}

TEST(Evolve, InputUnchangedAndThreadCountsAgree) {
    std::mt19937_64 rng(9);
    const Hamiltonian ham = testing::random_hamiltonian(rng, 9, 15);
    const std::vector<Complex> psi = testing::random_state(rng, 9);
    const std::vector<Complex> before = psi;
    const std::vector<Complex> serial = evolve(ham, psi, Complex(0.2, -0.05), 0);
    EXPECT_TRUE(same_bits(psi, before));
    for (std::int32_t threads : {1, 2, 3, 8, 1 << 30}) {
        EXPECT_TRUE(same_bits(evolve(ham, psi, Complex(0.2, -0.05), threads), serial)) << threads;
    }
}

TEST(Evolve, RefusesWhatCannotBeEvolved) {
    const std::vector<Complex> psi = {1.0, 0.0};
    EXPECT_THROW(Hamiltonian({}).evolve(psi.data(), 1.0, 0), std::invalid_argument);
    EXPECT_THROW(Hamiltonian({PauliWord(1.0, "X")}).evolve(psi.data(), 1.0, -1),
                 std::invalid_argument);
    const Hamiltonian wide({PauliWord(1.0, std::string(64, 'I'))});
    EXPECT_THROW(wide.evolve(psi.data(), 1.0, 0), std::invalid_argument);
    EXPECT_THROW(state_size(wide), std::invalid_argument);
    EXPECT_EQ(state_size(Hamiltonian({PauliWord(1.0, std::string(63, 'I'))})), std::uint64_t{1} << 63);
}

TEST(Evolve, OversizedStateIsAnAllocationFailure) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer's operator new ends the process instead of throwing";
#endif
    // 2^63 amplitudes: the byte count overflows, reported as bad_alloc before
    // the input is read.
    const Hamiltonian huge({PauliWord(1.0, std::string(63, 'I'))});
    const Complex dummy(1.0, 0.0);
    EXPECT_THROW(huge.evolve(&dummy, 1.0, 0), std::bad_alloc);
    const Hamiltonian big({PauliWord(1.0, std::string(50, 'I'))});
    EXPECT_THROW(big.evolve(&dummy, 1.0, 0), std::bad_alloc);
}

}  // namespace
}  // namespace velmora
