#include "pauli/expectation.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <utility>
#include <vector>

#include "evolution/lanczos.h"
#include "parallel/policy.h"
#include "pauli/test_support.h"

namespace velmora {
namespace {

using testing::same_bits;

class PauliExpectation : public ::testing::TestWithParam<std::uint64_t> {};

TEST_P(PauliExpectation, EqualsApplyFollowedByInnerProduct) {
    const std::uint64_t q = GetParam();
    std::mt19937_64 rng(100 + q);
    // Complex coefficients: the expectation is complex, which checks the
    // phase convention of Y and the direction of the flip.
    const Hamiltonian ham = testing::random_hamiltonian(rng, q, 12);
    const std::vector<Complex> psi = testing::random_state(rng, q);
    std::vector<Complex> h_psi(psi.size());
    ham.apply(psi.data(), h_psi.data());
    const Complex ref = inner_product(psi.data(), h_psi.data(), psi.size());
    const double scale = vector_norm(psi.data(), psi.size()) * vector_norm(h_psi.data(), psi.size());
    for (std::int32_t threads : {0, 2}) {
        const Complex e = pauli_expectation(ham, psi.data(), psi.size(), threads);
        EXPECT_NEAR(e.real(), ref.real(), 1e-13 * scale);
        EXPECT_NEAR(e.imag(), ref.imag(), 1e-13 * scale);
    }
}

INSTANTIATE_TEST_SUITE_P(Qubits, PauliExpectation, ::testing::Values(1u, 2u, 5u, 13u));

TEST(PauliExpectation, SingleWordsOnOneQubit) {
    // |psi> = (3|0> + 4i|1>) / 5: <X> = 0, <Y> = 24/25, <Z> = -7/25.
    const std::vector<Complex> psi = {Complex(0.6, 0.0), Complex(0.0, 0.8)};
    const auto expect = [&](const char* word) {
        return pauli_expectation(Hamiltonian({PauliWord(1.0, word)}), psi.data(), 2, 0);
    };
    EXPECT_NEAR(expect("X").real(), 0.0, 1e-16);
    EXPECT_NEAR(expect("Y").real(), 0.96, 1e-15);
    EXPECT_NEAR(expect("Z").real(), -0.28, 1e-15);
    EXPECT_NEAR(expect("Y").imag(), 0.0, 1e-16);
}

// Operators whose words share flip masks, lie above, inside or across the
// tiles of the expectation sweep (12 qubits: tiles of 256 entries, qubits 0-7
// inside), with real and imaginary weights, against H psi from the plain
// per-index kernel followed by the inner product.
struct GroupedCase {
    const char* name;
    std::vector<std::pair<double, const char*>> words;
};

class GroupedExpectation : public ::testing::TestWithParam<GroupedCase> {};

TEST_P(GroupedExpectation, MatchesWordByWordAndSameBitsForEveryThreadCount) {
    const GroupedCase& c = GetParam();
    std::vector<PauliWord> words;
    for (const auto& [coeff, letters] : c.words) words.emplace_back(coeff, letters);
    const Hamiltonian ham(std::move(words));
    std::mt19937_64 rng(17);
    const std::vector<Complex> psi = testing::random_state(rng, 12);
    const std::vector<Complex> h_psi = testing::reference_apply(ham, psi);
    const Complex ref = inner_product(psi.data(), h_psi.data(), psi.size());
    const double scale = vector_norm(psi.data(), psi.size()) * vector_norm(h_psi.data(), psi.size());
    const Complex serial = pauli_expectation(ham, psi.data(), psi.size(), 0);
    EXPECT_NEAR(serial.real(), ref.real(), 1e-13 * scale);
    EXPECT_NEAR(serial.imag(), ref.imag(), 1e-13 * scale);
    for (const std::int32_t threads : {1, 2, 3}) {
        const Complex e = pauli_expectation(ham, psi.data(), psi.size(), threads);
        EXPECT_TRUE(same_bits(e.real(), serial.real())) << threads;
        EXPECT_TRUE(same_bits(e.imag(), serial.imag())) << threads;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Operators, GroupedExpectation,
    ::testing::Values(
        GroupedCase{"z_inside_tile", {{1.0, "IIIIIIIIIIIZ"}}},
        GroupedCase{"z_above_tile", {{1.0, "ZIIIIIIIIIII"}}},
        GroupedCase{"zz_across_tile", {{-0.5, "IIIZZIIIIIII"}}},
        GroupedCase{"diagonal_all_places",
                    {{0.3, "IIIIIIIIIIZZ"}, {-1.1, "ZZIIIIIIIIII"}, {0.7, "IIIZZIIIIIII"},
                     {2.0, "IIIIIIIIIIII"}, {-0.2, "ZIIIIIIIIIIZ"}, {0.9, "IIIIIIIIZIII"}}},
        GroupedCase{"xx_yy_same_flip",
                    {{1.0, "IIIIIIIIIIXX"}, {1.0, "IIIIIIIIIIYY"}, {0.5, "IIIIIIIIIIXY"},
                     {-0.25, "IIIIIIIIIIYX"}}},
        GroupedCase{"flips_with_signs_everywhere",
                    {{0.8, "ZIIIXIIIIIIX"}, {-0.6, "IIIIYZIIIIIX"}, {0.4, "ZZIIXIIIZIIX"},
                     {1.2, "IIIXIIIIIIIZ"}, {-0.9, "YIIIIIIIIZII"}}},
        GroupedCase{"ising_with_fields",
                    {{-1.0, "IIIIIIIIIIZZ"}, {-1.0, "IIIIZZIIIIII"}, {-1.0, "IIIZZIIIIIII"},
                     {-1.0, "ZZIIIIIIIIII"}, {-1.0, "IIIIIIIIIIIX"}, {-1.0, "IIIIIXIIIIII"},
                     {-1.0, "XIIIIIIIIIII"}, {-1.0, "IIIIIIIIIXII"}}}),
    [](const ::testing::TestParamInfo<GroupedCase>& info) { return std::string(info.param.name); });

// Several states at once: each result has the bits of its own call, for
// counts that fill and split the groups of states that share G, and, at 17
// qubits, batches longer than one sweep.
struct BatchedCase {
    std::uint64_t num_qubits;
    std::size_t count;
};

class BatchedExpectation : public ::testing::TestWithParam<BatchedCase> {};

TEST_P(BatchedExpectation, EveryStateGetsTheBitsOfItsOwnCall) {
    const BatchedCase& c = GetParam();
    std::mt19937_64 rng(300 + c.num_qubits + 17 * c.count);
    // Words across the tiles and complex weights, so that G costs work per tile.
    std::vector<PauliWord> words = testing::random_hamiltonian(rng, c.num_qubits, 14).words();
    if (c.num_qubits >= 12) {
        const std::string pad(c.num_qubits - 12, 'I');
        for (const char* letters : {"IIIZZIIIIIII", "ZIIIXIIIIIIX", "IIIIYZIIIIIX"}) {
            words.emplace_back(Complex(0.7, 0.1), pad + letters);
        }
    }
    const Hamiltonian ham(std::move(words));
    std::vector<std::vector<Complex>> states;
    std::vector<const Complex*> rows;
    for (std::size_t s = 0; s < c.count; ++s) {
        states.push_back(testing::random_state(rng, c.num_qubits));
    }
    for (const auto& v : states) rows.push_back(v.data());
    const std::uint64_t n = std::uint64_t{1} << c.num_qubits;
    const std::uint64_t saved = set_min_parallel_work(0);
    for (const std::int32_t threads : {0, 1, 3}) {
        std::vector<Complex> results(c.count, Complex(-1.0, -1.0));
        pauli_expectation_batch(ham, rows.data(), c.count, n, threads, results.data());
        for (std::size_t s = 0; s < c.count; ++s) {
            const Complex alone = pauli_expectation(ham, rows[s], n, 0);
            EXPECT_TRUE(same_bits(results[s].real(), alone.real())) << s << ", " << threads;
            EXPECT_TRUE(same_bits(results[s].imag(), alone.imag())) << s << ", " << threads;
        }
    }
    set_min_parallel_work(saved);
}

INSTANTIATE_TEST_SUITE_P(
    Counts, BatchedExpectation,
    ::testing::Values(BatchedCase{0, 3}, BatchedCase{1, 2}, BatchedCase{3, 9}, BatchedCase{12, 1},
                      BatchedCase{12, 3}, BatchedCase{12, 8}, BatchedCase{12, 17},
                      BatchedCase{17, 9}));

// Every body this processor runs gives the bits of the generic one: diagonal
// and flipping groups with each placement of the partners inside four
// amplitudes (flip & 3), real and complex G, tiles whose G is constant, a table
// or formed per entry, alone and in batches.
class ExpectationBodies : public ::testing::TestWithParam<std::uint64_t> {};

TEST_P(ExpectationBodies, EveryBodyGivesTheGenericBits) {
    const std::uint64_t q = GetParam();
    std::mt19937_64 rng(900 + q);
    std::vector<PauliWord> words = testing::random_hamiltonian(rng, q, 24).words();
    for (const std::string low : {"IIX", "IXI", "IXX", "XYZ", "ZZI", "IYY"}) {
        std::string inside(q, 'I');
        inside.replace(q - 3, 3, low);
        std::string across = inside;
        across[0] = 'Z';
        words.emplace_back(Complex(0.3, 0.0), inside);   // real G
        words.emplace_back(Complex(0.2, -0.4), across);  // complex G, signs across the tiles
    }
    const Hamiltonian generic = Hamiltonian(std::move(words)).with_kernel_isa(KernelIsa::generic);
    std::vector<std::vector<Complex>> states;
    std::vector<const Complex*> rows;
    for (int s = 0; s < 3; ++s) states.push_back(testing::random_state(rng, q));
    for (const auto& v : states) rows.push_back(v.data());
    const std::uint64_t n = std::uint64_t{1} << q;
    const Complex expected = pauli_expectation(generic, rows[0], n, 0);
    std::vector<Complex> expected_rows(3);
    pauli_expectation_batch(generic, rows.data(), 3, n, 0, expected_rows.data());
    for (KernelIsa isa : testing::runnable_isas()) {
        const Hamiltonian ham = generic.with_kernel_isa(isa);
        const Complex e = pauli_expectation(ham, rows[0], n, 2);
        EXPECT_TRUE(same_bits(e.real(), expected.real())) << kernel_isa_name(isa);
        EXPECT_TRUE(same_bits(e.imag(), expected.imag())) << kernel_isa_name(isa);
        std::vector<Complex> got(3);
        pauli_expectation_batch(ham, rows.data(), 3, n, 0, got.data());
        for (int s = 0; s < 3; ++s) {
            EXPECT_TRUE(same_bits(got[s].real(), expected_rows[s].real())) << kernel_isa_name(isa);
            EXPECT_TRUE(same_bits(got[s].imag(), expected_rows[s].imag())) << kernel_isa_name(isa);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Qubits, ExpectationBodies, ::testing::Values(4u, 5u, 9u, 14u));

TEST(BatchedExpectation, NoStatesAndNoWords) {
    pauli_expectation_batch(Hamiltonian({PauliWord(1.0, "XZ")}), nullptr, 0, 4, 0, nullptr);
    const std::vector<Complex> psi = {Complex(1.0, 2.0), Complex(3.0, 4.0)};
    const Complex* rows[2] = {psi.data(), psi.data()};
    Complex results[2] = {Complex(5.0, 5.0), Complex(5.0, 5.0)};
    pauli_expectation_batch(Hamiltonian({}), rows, 2, 2, 0, results);
    EXPECT_EQ(results[0], Complex(0.0, 0.0));
    EXPECT_EQ(results[1], Complex(0.0, 0.0));
}

}  // namespace
}  // namespace velmora
