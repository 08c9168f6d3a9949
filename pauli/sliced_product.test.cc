#include "pauli/sliced_product.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "parallel/test_ranks.h"
#include "pauli/hamiltonian.h"
#include "pauli/test_support.h"

namespace velmora {
namespace {

using testing::on_ranks;

struct SlicedCase {
    std::uint64_t ranks;
    std::uint64_t qubits;
    std::uint64_t seed;
    bool sorted;  // words in ascending order of flip mask
};

class SlicedProductCases : public ::testing::TestWithParam<SlicedCase> {};

/// Words on every qubit, complex coefficients, repeats, and a few words that
/// flip only the top qubits (a local flip mask of 0 on another rank's slice).
std::vector<PauliWord> crossing_words(std::mt19937_64& rng, std::uint64_t qubits) {
    std::vector<PauliWord> words = testing::random_hamiltonian(rng, qubits, 40).words();
    std::string top(qubits, 'I');
    top[0] = 'Y';
    top[1] = 'X';
    words.emplace_back(Complex(0.3, -0.2), top);
    top[qubits - 1] = 'Z';
    words.emplace_back(Complex(-0.7, 0.0), top);
    return words;
}

TEST_P(SlicedProductCases, SlicesOfTheWholeProduct) {
    const SlicedCase c = GetParam();
    std::mt19937_64 rng(c.seed);
    std::vector<PauliWord> words = crossing_words(rng, c.qubits);
    if (c.sorted) {
        std::stable_sort(words.begin(), words.end(), [](const PauliWord& a, const PauliWord& b) {
            return a.term.flip_mask < b.term.flip_mask;
        });
    }
    const std::vector<Complex> psi = testing::random_state(rng, c.qubits);
    const std::uint64_t slice = psi.size() / c.ranks;
    for (KernelIsa isa : testing::runnable_isas()) {
        // The single-process grouped product of the same words in the same order.
        std::vector<GroupTerm> terms;
        for (const PauliWord& w : words) terms.push_back(group_term(w.term));
        const FlipGroups whole(terms, group_starts(terms), psi.size(), isa);
        std::vector<Complex> expected(psi.size());
        whole.apply(psi.data(), expected.data(), 0, false);
        std::vector<std::vector<Complex>> got(c.ranks, std::vector<Complex>(slice));
        std::vector<std::size_t> exchanges(c.ranks);
        on_ranks(c.ranks, slice, [&](Ranks& ranks) {
            SlicedProduct product(words, ranks, isa);
            const Complex* mine = psi.data() + ranks.offset();
            product.apply(mine, got[ranks.rank()].data(), 0);
            exchanges[ranks.rank()] = product.exchanges();
        });
        for (std::uint64_t r = 0; r < c.ranks; ++r) {
            const std::vector<Complex> part(expected.begin() + r * slice,
                                            expected.begin() + (r + 1) * slice);
            EXPECT_TRUE(testing::same_bits(got[r], part)) << "rank " << r << " isa "
                                                          << kernel_isa_name(isa);
            if (c.sorted) {
                EXPECT_LE(exchanges[r], c.ranks - 1);
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Layouts, SlicedProductCases,
                         ::testing::Values(SlicedCase{1, 12, 1, true}, SlicedCase{2, 13, 2, true},
                                           SlicedCase{4, 14, 3, true}, SlicedCase{8, 15, 4, true},
                                           SlicedCase{4, 14, 5, false},
                                           SlicedCase{2, 14, 6, false}));

}  // namespace
}  // namespace velmora
