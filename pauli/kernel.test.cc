#include "pauli/kernel.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "parallel/policy.h"
#include "pauli/hamiltonian.h"
#include "pauli/test_support.h"

namespace velmora {
namespace {

using testing::reference_apply;
using testing::runnable_isas;
using testing::same_bits;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

/// The two kernels behind one interface, so every case runs over both:
/// team size 0 stands for the serial kernel.
std::vector<Complex> run_kernel(const Hamiltonian& ham, const std::vector<Complex>& in,
                                std::int32_t team, Complex dirt = Complex(nan, nan)) {
    std::vector<Complex> out(in.size(), dirt);
    if (team == 0) {
        ham.apply(in.data(), out.data());
    } else {
        ham.apply_parallel(in.data(), out.data(), team);
    }
    return out;
}

struct KernelCase {
    std::string name;
    std::vector<PauliWord> words;
    std::vector<Complex> in;
    std::vector<Complex> expected;
};

class KernelEdgeCases
    : public ::testing::TestWithParam<std::tuple<KernelCase, std::int32_t>> {};

TEST_P(KernelEdgeCases, MatchBitForBit) {
    const auto& [c, team] = GetParam();
    const Hamiltonian ham(c.words);
    const std::vector<Complex> out = run_kernel(ham, c.in, team);
    ASSERT_EQ(out.size(), c.expected.size());
    for (std::size_t i = 0; i < out.size(); ++i) {
        EXPECT_TRUE(same_bits(out[i].real(), c.expected[i].real()))
            << "entry " << i << ".re = " << out[i].real() << ", expected "
            << c.expected[i].real();
        EXPECT_TRUE(same_bits(out[i].imag(), c.expected[i].imag()))
            << "entry " << i << ".im = " << out[i].imag() << ", expected "
            << c.expected[i].imag();
    }
}

const Complex a0(0.75, -1.25);
const Complex a1(-2.5, 0.375);
const Complex a2(1.125, 3.5);
const Complex a3(-0.625, -4.0);

std::vector<KernelCase> kernel_cases() {
    return {
        {"OneQubitX", {PauliWord(1.0, "X")}, {a0, a1}, {a1, a0}},
        // Y|0> = i|1>, Y|1> = -i|0>; from (1, 0) the zeros come out as +0.0.
        {"OneQubitY", {PauliWord(1.0, "Y")}, {Complex(1.0, 0.0), Complex(0.0, 0.0)},
         {Complex(+0.0, +0.0), Complex(+0.0, 1.0)}},
        {"OneQubitZ", {PauliWord(1.0, "Z")}, {a0, a1}, {a0, Complex(2.5, -0.375)}},
        // The last letter acts on bit 0: XZ maps |01> to -|11>.
        {"BitOrderXZ",
         {PauliWord(1.0, "XZ")},
         {0.0, 1.0, 0.0, 0.0},
         {Complex(+0.0, +0.0), Complex(+0.0, +0.0), Complex(+0.0, +0.0), Complex(-1.0, +0.0)}},
        {"TwoQubitYY",
         {PauliWord(1.0, "YY")},
         {a0, a1, a2, a3},
         {Complex(0.625, 4.0), a2, a1, Complex(-0.75, 1.25)}},
        // Words are never merged: 0.1 + 0.2 rounds differently from 0.3.
        {"RepeatedIdentityWords",
         {PauliWord(0.1, "I"), PauliWord(0.2, "I")},
         {1.0, 0.0},
         {Complex(0.30000000000000004, +0.0), Complex(+0.0, +0.0)}},
        {"MergedIdentityWord", {PauliWord(0.3, "I")}, {1.0, 0.0},
         {Complex(0.3, +0.0), Complex(+0.0, +0.0)}},
        // Contributions of -0.0 added to the cleared +0.0 entry give +0.0.
        {"NegativeZeroContributions",
         {PauliWord(-1.0, "I"), PauliWord(-1.0, "Z")},
         {Complex(+0.0, +0.0), Complex(+0.0, +0.0)},
         {Complex(+0.0, +0.0), Complex(+0.0, +0.0)}},
        {"ZeroQubits", {PauliWord(Complex(2.0, 1.0), "")}, {Complex(3.0, -1.0)},
         {Complex(7.0, 1.0)}},
    };
}

INSTANTIATE_TEST_SUITE_P(
    Kernels, KernelEdgeCases,
    ::testing::Combine(::testing::ValuesIn(kernel_cases()), ::testing::Values(0, 1, 2, 3, 8)),
    [](const auto& info) {
        return std::get<0>(info.param).name + "_team" + std::to_string(std::get<1>(info.param));
    });

TEST(Kernel, NegativeZeroContributionReallyIsNegativeZero) {
    // Guards the case above: added to an entry that already holds -0.0, the
    // contribution of -1 * I to a zero input keeps it -0.0, so the +0.0 of
    // the full result comes from the cleared entry, not from the products.
    const PauliWord word(-1.0, "I");
    const std::vector<Complex> in = {Complex(+0.0, +0.0), Complex(+0.0, +0.0)};
    std::vector<Complex> out(2, Complex(-0.0, -0.0));
    word.term.apply(in.data(), out.data());
    EXPECT_TRUE(std::signbit(out[0].real()));
}

TEST(Kernel, DirtyOutputBufferDoesNotMatter) {
    std::mt19937_64 rng(7);
    const Hamiltonian ham = testing::random_hamiltonian(rng, 5, 9);
    const std::vector<Complex> in = testing::random_state(rng, 5);
    for (std::int32_t team : {0, 1, 3}) {
        EXPECT_TRUE(same_bits(run_kernel(ham, in, team, Complex(nan, -nan)),
                              run_kernel(ham, in, team, Complex(0.0, 0.0))));
        EXPECT_TRUE(same_bits(run_kernel(ham, in, team, Complex(1e300, -7.0)),
                              run_kernel(ham, in, team, Complex(0.0, 0.0))));
    }
}

struct RandomCase {
    std::uint64_t num_qubits;
    std::size_t num_words;
};

class KernelAgainstReference
    : public ::testing::TestWithParam<std::tuple<RandomCase, std::int32_t>> {};

TEST_P(KernelAgainstReference, SameBitsAsPlainLoop) {
    const auto& [c, team] = GetParam();
    std::mt19937_64 rng(1000 + 31 * c.num_qubits + c.num_words);
    for (int trial = 0; trial < 3; ++trial) {
        const Hamiltonian ham = testing::random_hamiltonian(rng, c.num_qubits, c.num_words);
        const std::vector<Complex> in = testing::random_state(rng, c.num_qubits);
        EXPECT_TRUE(testing::same_values(run_kernel(ham, in, team), reference_apply(ham, in)))
            << c.num_qubits << " qubits, " << c.num_words << " words, team " << team;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, KernelAgainstReference,
    ::testing::Combine(::testing::Values(RandomCase{0, 3}, RandomCase{1, 4}, RandomCase{2, 7},
                                         RandomCase{3, 5}, RandomCase{5, 11},
                                         RandomCase{7, 20}, RandomCase{10, 13}),
                       ::testing::Values(0, 1, 2, 3, 8)));

class BlockedKernelIsas : public ::testing::TestWithParam<std::tuple<RandomCase, std::int32_t>> {};

TEST_P(BlockedKernelIsas, EveryInstructionSetMatchesPlainLoop) {
    const auto& [c, team] = GetParam();
    std::mt19937_64 rng(77 + 13 * c.num_qubits + c.num_words);
    const Hamiltonian ham = testing::random_hamiltonian(rng, c.num_qubits, c.num_words);
    std::vector<Complex> in = testing::random_state(rng, c.num_qubits);
    if (in.size() > 2) {
        in[1] = Complex(std::numeric_limits<double>::infinity(), -0.0);
        in[2] = Complex(nan, 0.0);
    }
    const std::vector<Complex> expected = reference_apply(ham, in);
    for (KernelIsa isa : runnable_isas()) {
        std::vector<Complex> out(in.size(), Complex(nan, nan));
        apply_blocked(ham, in.data(), out.data(), team, isa);
        EXPECT_TRUE(testing::same_values(out, expected)) << kernel_isa_name(isa) << ", team " << team;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, BlockedKernelIsas,
    // Sizes below, at and above one vector, one chunk and one block; word
    // counts below and above one group of prepared words.
    ::testing::Combine(::testing::Values(RandomCase{0, 2}, RandomCase{1, 3}, RandomCase{2, 6},
                                         RandomCase{3, 35}, RandomCase{4, 40}, RandomCase{5, 9},
                                         RandomCase{9, 70}, RandomCase{11, 7}, RandomCase{12, 33},
                                         RandomCase{14, 6}),
                       ::testing::Values(0, 1, 2, 3, 8)));

TEST(Kernel, PerWordKernelsAddInWordOrder) {
    std::mt19937_64 rng(21);
    const Hamiltonian ham = testing::random_hamiltonian(rng, 6, 9);
    const std::vector<Complex> in = testing::random_state(rng, 6);
    const std::vector<Complex> expected = reference_apply(ham, in);
    for (std::int32_t team : {0, 1, 3}) {
        std::vector<Complex> out(in.size(), Complex(0.0, 0.0));
        for (const PauliWord& word : ham.words()) {
            if (team == 0) {
                word.term.apply(in.data(), out.data());
            } else {
                word.term.apply_parallel(in.data(), out.data(), team);
            }
        }
        EXPECT_TRUE(testing::same_values(out, expected)) << team;
    }
}

TEST(Kernel, SpecialValuesPropagateIdentically) {
    // Infinite and NaN coefficients and amplitudes follow the plain formulas
    // in both kernels: no recovery step, same bits.
    const double inf = std::numeric_limits<double>::infinity();
    const Hamiltonian ham({PauliWord(Complex(inf, 0.0), "XY"), PauliWord(Complex(0.0, nan), "ZI"),
                           PauliWord(Complex(-0.0, 1e308), "YY")});
    const std::vector<Complex> in = {Complex(1.0, inf), Complex(-0.0, 0.0), Complex(nan, 2.0),
                                     Complex(1e308, -1e308)};
    const std::vector<Complex> expected = reference_apply(ham, in);
    const std::vector<Complex> serial = run_kernel(ham, in, 0);
    EXPECT_TRUE(testing::same_values(serial, expected));
    for (std::int32_t team : {1, 2, 3}) {
        EXPECT_TRUE(same_bits(run_kernel(ham, in, team), serial)) << "team " << team;
    }
}

TEST(Kernel, HugeTeamRequestsGiveTheSameBits) {
    std::mt19937_64 rng(3);
    const Hamiltonian ham = testing::random_hamiltonian(rng, 4, 4);
    const std::vector<Complex> in = testing::random_state(rng, 4);
    EXPECT_TRUE(same_bits(run_kernel(ham, in, std::numeric_limits<std::int32_t>::max()),
                          run_kernel(ham, in, 0)));
}

// ---------------------------------------------------------------------------
// Several states at once.

/// `count` random states of num_qubits qubits; some carry infinities, NaNs and
/// signed zeros, which must travel through the batch as through one call.
std::vector<std::vector<Complex>> random_states(std::mt19937_64& rng, std::uint64_t num_qubits,
                                                std::size_t count) {
    std::vector<std::vector<Complex>> states;
    for (std::size_t s = 0; s < count; ++s) {
        states.push_back(testing::random_state(rng, num_qubits));
        if (s % 3 == 1 && states.back().size() > 3) {
            states.back()[1] = Complex(std::numeric_limits<double>::infinity(), -0.0);
            states.back()[3] = Complex(nan, 0.0);
        }
    }
    return states;
}

/// Pointers to the rows, as the batched kernel takes them.
template <class T>
std::vector<T*> rows(std::vector<std::vector<Complex>>& states) {
    std::vector<T*> p;
    for (auto& v : states) p.push_back(v.data());
    return p;
}

struct BatchCase {
    std::uint64_t num_qubits;
    std::size_t num_words;
};

/// Teams run however small the work, so that the team paths are tested too.
class TeamsForAnyWork : public ::testing::Test {
protected:
    void SetUp() override { saved_ = set_min_parallel_work(0); }
    void TearDown() override { set_min_parallel_work(saved_); }

private:
    std::uint64_t saved_ = 0;
};

class BatchedKernel
    : public TeamsForAnyWork,
      public ::testing::WithParamInterface<std::tuple<BatchCase, std::size_t, std::int32_t>> {};

class BatchedKernelCases : public TeamsForAnyWork {};

TEST_P(BatchedKernel, EveryStateGetsTheBitsOfItsOwnCall) {
    const auto& [c, count, team] = GetParam();
    std::mt19937_64 rng(500 + 7 * c.num_qubits + c.num_words + 101 * count);
    const Hamiltonian ham = testing::random_hamiltonian(rng, c.num_qubits, c.num_words);
    std::vector<std::vector<Complex>> in = random_states(rng, c.num_qubits, count);
    for (KernelIsa isa : runnable_isas()) {
        std::vector<std::vector<Complex>> out(count, std::vector<Complex>(in[0].size(), Complex(nan, 1.0)));
        apply_blocked_batch(ham, rows<const Complex>(in).data(), rows<Complex>(out).data(), count,
                            team, isa);
        for (std::size_t s = 0; s < count; ++s) {
            std::vector<Complex> alone(in[s].size(), Complex(-7.0, nan));
            apply_blocked(ham, in[s].data(), alone.data(), team, isa);
            EXPECT_TRUE(testing::same_values(out[s], alone))
                << kernel_isa_name(isa) << ", state " << s << " of " << count << ", team " << team;
            EXPECT_TRUE(testing::same_values(out[s], reference_apply(ham, in[s])))
                << kernel_isa_name(isa) << ", state " << s << " of " << count;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, BatchedKernel,
    // Sizes below, at and above one vector, one chunk and one block; word
    // groups of the AVX-512 body; counts that leave a remainder of every
    // group size of states.
    ::testing::Combine(::testing::Values(BatchCase{0, 2}, BatchCase{1, 3}, BatchCase{2, 6},
                                         BatchCase{3, 35}, BatchCase{5, 9}, BatchCase{9, 70},
                                         BatchCase{12, 33}),
                       ::testing::Values(std::size_t{1}, std::size_t{2}, std::size_t{3},
                                         std::size_t{8}, std::size_t{17}),
                       ::testing::Values(0, 1, 3)));

TEST_F(BatchedKernelCases, DiagonalWordsAndStatesBeyondOneSweep) {
    // Z-only words take the body's own-planes path; at 17 qubits a sweep
    // holds fewer states than the batch, so the batch runs in several.
    std::mt19937_64 rng(41);
    const std::uint64_t q = 17;
    std::vector<PauliWord> words = testing::random_hamiltonian(rng, q, 6).words();
    for (const char* letters : {"ZIIIIIIIIIIIIIIIZ", "IIIIIIIIIZZIIIIII", "IIIIIIIIIIIIIIIZZ"}) {
        words.emplace_back(Complex(0.5, -0.25), letters);
    }
    const Hamiltonian ham(std::move(words));
    const std::size_t count = 3 * states_per_sweep(std::uint64_t{1} << q) + 1;
    std::vector<std::vector<Complex>> in = random_states(rng, q, count);
    std::vector<std::vector<Complex>> out(count, std::vector<Complex>(in[0].size()));
    for (std::int32_t team : {0, 2}) {
        ham.apply_batch(rows<const Complex>(in).data(), rows<Complex>(out).data(), count, team);
        for (std::size_t s = 0; s < count; ++s) {
            std::vector<Complex> alone(in[s].size());
            ham.apply_with_threads(in[s].data(), alone.data(), team);
            EXPECT_TRUE(testing::same_values(out[s], alone)) << "state " << s << ", team " << team;
        }
    }
}

TEST_F(BatchedKernelCases, AccumulatingContinuesEachStatesSums) {
    // Applying the words in two parts, the second accumulating, gives each
    // state the bits of the whole list, as for one state.
    std::mt19937_64 rng(43);
    const Hamiltonian ham = testing::random_hamiltonian(rng, 10, 40);
    const std::size_t count = 5;
    std::vector<std::vector<Complex>> in = random_states(rng, 10, count);
    const std::uint64_t n = in[0].size();
    const PauliWord* words = ham.words().data();
    for (KernelIsa isa : runnable_isas()) {
        std::vector<std::vector<Complex>> out(count, std::vector<Complex>(n, Complex(nan, nan)));
        auto in_rows = rows<const Complex>(in);
        auto out_rows = rows<Complex>(out);
        apply_words_blocked_batch(words, 15, n, in_rows.data(), out_rows.data(), count, 0, isa,
                                  false);
        apply_words_blocked_batch(words + 15, 25, n, in_rows.data(), out_rows.data(), count, 2,
                                  isa, true);
        for (std::size_t s = 0; s < count; ++s) {
            std::vector<Complex> whole(n);
            apply_blocked(ham, in[s].data(), whole.data(), 0, isa);
            EXPECT_TRUE(testing::same_values(out[s], whole)) << kernel_isa_name(isa) << ", " << s;
        }
    }
}

TEST_F(BatchedKernelCases, NoStatesTouchesNothing) {
    std::mt19937_64 rng(47);
    const Hamiltonian ham = testing::random_hamiltonian(rng, 4, 5);
    ham.apply_batch(nullptr, nullptr, 0, 0);
    ham.apply_batch(nullptr, nullptr, 0, 2);
    std::vector<Complex> in = testing::random_state(rng, 4);
    std::vector<Complex> out(in.size(), Complex(3.0, 4.0));
    const Complex* in_row = in.data();
    Complex* out_row = out.data();
    apply_words_blocked_batch(ham.words().data(), ham.words().size(), in.size(), &in_row,
                              &out_row, 0, 0, detected_kernel_isa(), false);
    EXPECT_TRUE(same_bits(out, std::vector<Complex>(in.size(), Complex(3.0, 4.0))));
}

}  // namespace
}  // namespace velmora
