#include "pauli/flip_groups.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "parallel/policy.h"
#include "pauli/hamiltonian.h"
#include "pauli/test_support.h"

namespace velmora {
namespace {

using testing::random_state;
using testing::reference_apply;
using testing::runnable_isas;
using testing::same_bits;

/// Sums of the shapes the grouping meets: random words (mostly one per mask),
/// words sharing masks with differing signs (XX + YY on every bond, all four
/// X/Y choices on flip sets as in molecular Hamiltonians, long Z strings),
/// every letter, complex coefficients.
Hamiltonian shaped_sum(const std::string& kind, std::uint64_t n, std::mt19937_64& rng) {
    std::normal_distribution<double> normal;
    std::vector<PauliWord> words;
    auto coeff = [&](bool complex) {
        return Complex(normal(rng), complex ? normal(rng) : 0.0);
    };
    auto put = [&](std::string& s, std::uint64_t q, char letter) { s[n - 1 - q] = letter; };
    if (kind == "random") {
        return testing::random_hamiltonian(rng, n, 3 * n + 5);
    }
    if (kind == "bonds") {  // XX + YY + ZZ on a ring, and fields
        for (std::uint64_t q = 0; q < n; ++q) {
            for (char letter : std::string("XYZ")) {
                std::string s(n, 'I');
                put(s, q, letter);
                put(s, (q + 1) % n, letter);
                words.emplace_back(coeff(false), s);
            }
            std::string f(n, 'I');
            put(f, q, 'X');
            words.emplace_back(coeff(false), f);
        }
    } else if (kind == "chemistry") {  // X/Y choices on 2 or 4 flipped qubits, Z strings between
        for (std::uint64_t t = 0; t < 6 * n; ++t) {
            std::uint64_t qs[4];
            const std::uint64_t count = (t % 2 == 0) ? 2 : 4;
            for (std::uint64_t k = 0; k < count; ++k) qs[k] = rng() % n;
            std::string base(n, 'I');
            const std::uint64_t lo = std::min(qs[0], qs[1]);
            const std::uint64_t hi = std::max(qs[0], qs[1]);
            for (std::uint64_t q = lo + 1; q < hi; ++q) put(base, q, 'Z');
            if (rng() % 3 == 0) put(base, rng() % n, 'Z');  // a number-conditioned hop
            for (std::uint64_t choice = 0; choice < (std::uint64_t{1} << count); ++choice) {
                std::string s = base;
                for (std::uint64_t k = 0; k < count; ++k) put(s, qs[k], (choice >> k) & 1 ? 'Y' : 'X');
                words.emplace_back(coeff(kind == "chemistry" && t % 5 == 0), s);
            }
        }
    } else if (kind == "one_group") {  // one flip mask, many differing Z strings
        for (std::uint64_t t = 0; t < 4 * n; ++t) {
            std::string s = testing::random_letters(rng, n);
            for (std::uint64_t q = 0; q < n; ++q) {
                if (s[n - 1 - q] == 'X' || s[n - 1 - q] == 'Y') s[n - 1 - q] = 'Z';
            }
            put(s, 0, t % 2 ? 'Y' : 'X');
            if (n > 3) put(s, 3, 'X');
            words.emplace_back(coeff(true), s);
        }
    } else if (kind == "diagonal") {
        for (std::uint64_t t = 0; t < 2 * n; ++t) {
            std::string s(n, 'I');
            put(s, rng() % n, 'Z');
            put(s, rng() % n, 'Z');
            words.emplace_back(coeff(false), s);
        }
        words.emplace_back(coeff(false), std::string(n, 'I'));
    }
    return Hamiltonian(std::move(words));
}

std::vector<Complex> grouped(const FlipGroups& g, const std::vector<Complex>& in,
                             std::int32_t threads, bool accumulate = false,
                             Complex start = Complex(std::nan(""), 0.0)) {
    std::vector<Complex> out(in.size(), start);
    g.apply(in.data(), out.data(), threads, accumulate);
    return out;
}

class Grouped : public ::testing::TestWithParam<std::tuple<std::string, std::uint64_t>> {};

// Against the plain per-index formulas of every word (within the rounding
// of sums in another order), and bit for bit across bodies, teams and the
// scalar reference of the grouped product itself.
TEST_P(Grouped, MatchesTheWordsAndTheSameBytesEverywhere) {
    const auto& [kind, n] = GetParam();
    std::mt19937_64 rng(n * 7919 + kind.size());
    const Hamiltonian ham = shaped_sum(kind, n, rng);
    const std::vector<Complex> in = random_state(rng, n);
    const std::uint64_t dim = in.size();
    const std::vector<Complex> want = reference_apply(ham, in);
    double scale = 0.0;
    for (const PauliWord& w : ham.words()) scale += std::abs(w.coeff);
    const std::uint64_t previous = set_min_parallel_work(0);
    const FlipGroups base = group_words(ham.words().data(), ham.words().size(), dim,
                                        KernelIsa::generic);
    std::vector<Complex> reference(dim, Complex(1.0, 2.0));
    base.apply_reference(in.data(), reference.data(), false);
    for (std::uint64_t i = 0; i < dim; ++i) {
        ASSERT_LE(std::abs(reference[i] - want[i]),
                  1e-14 * scale * (ham.words().size() + 2) * 4.0)
            << "entry " << i;
    }
    for (KernelIsa isa : runnable_isas()) {
        const FlipGroups g = group_words(ham.words().data(), ham.words().size(), dim, isa);
        EXPECT_EQ(g.num_words(), ham.words().size());
        for (std::int32_t threads : {0, 1, 2, 3}) {
            EXPECT_TRUE(same_bits(grouped(g, in, threads), reference))
                << kernel_isa_name(isa) << ", " << threads << " threads";
        }
    }
    set_min_parallel_work(previous);
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, Grouped,
    ::testing::Combine(::testing::Values("random", "bonds", "chemistry", "one_group", "diagonal"),
                       ::testing::Values(1, 2, 3, 4, 5, 8, 11, 14)),
    [](const auto& info) {
        return std::get<0>(info.param) + "_" + std::to_string(std::get<1>(info.param));
    });

TEST(Grouped, BatchesAndAccumulationGiveTheBytesOfSingleCalls) {
    std::mt19937_64 rng(5);
    const std::uint64_t n = 9;
    const Hamiltonian ham = shaped_sum("chemistry", n, rng);
    for (KernelIsa isa : runnable_isas()) {
        const FlipGroups g = group_words(ham.words().data(), ham.words().size(), 1u << n, isa);
        std::vector<std::vector<Complex>> ins, outs;
        for (int s = 0; s < 5; ++s) {
            ins.push_back(random_state(rng, n));
            outs.emplace_back(ins.back().size(), Complex(0.5, -0.25));
        }
        std::vector<const Complex*> in_ptrs;
        std::vector<Complex*> out_ptrs;
        for (int s = 0; s < 5; ++s) {
            in_ptrs.push_back(ins[s].data());
            out_ptrs.push_back(outs[s].data());
        }
        g.apply(in_ptrs.data(), out_ptrs.data(), 5, 2, true);
        for (int s = 0; s < 5; ++s) {
            EXPECT_TRUE(same_bits(outs[s], grouped(g, ins[s], 0, true, Complex(0.5, -0.25))))
                << kernel_isa_name(isa) << ", state " << s;
        }
    }
}

// XX + YY vanishes between equal neighbours: there the sum adds nothing, as a
// sparse matrix has no entry, so an infinite amplitude does not become a NaN
// through a zero factor; a nonzero factor carries it on as an infinity.
TEST(Grouped, ZeroFactorsAddNothing) {
    const std::uint64_t n = 5;
    const std::vector<PauliWord> words{PauliWord(1.0, "XXIII"), PauliWord(1.0, "YYIII"),
                                       PauliWord(0.5, "IIIIX")};
    std::vector<Complex> in(1u << n, Complex(1.0, -1.0));
    in[0] = Complex(std::numeric_limits<double>::infinity(), 0.0);
    for (KernelIsa isa : runnable_isas()) {
        const FlipGroups g = group_words(words.data(), words.size(), in.size(), isa);
        std::vector<Complex> reference(in.size());
        g.apply_reference(in.data(), reference.data(), false);
        for (std::int32_t threads : {0, 2}) {
            const std::vector<Complex> out = grouped(g, in, threads);
            EXPECT_TRUE(same_bits(out, reference)) << kernel_isa_name(isa);
            // |00..> meets XX + YY with factor 0: out[11000] gets only X_0's 0.5 in[11001].
            EXPECT_EQ(out[24], Complex(0.5, -0.5)) << kernel_isa_name(isa);
            EXPECT_TRUE(std::isinf(out[1].real()) && !std::isnan(out[1].imag()))
                << kernel_isa_name(isa);
        }
    }
}

TEST(Grouped, PartitionKeepsEachTableSmallAndTheWordsInOrder) {
    // One flip mask whose words differ in 10 sign bits above bit 2: split
    // into groups of at most max_spread_bits such bits, in the words' order.
    std::vector<GroupTerm> terms;
    for (int k = 0; k < 10; ++k) terms.push_back({1, std::uint64_t{1} << (3 + k), Complex(1.0, 0.0)});
    terms.push_back({2, 0, Complex(1.0, 0.0)});
    const std::vector<std::size_t> starts = group_starts(terms);
    ASSERT_EQ(starts.front(), 0u);
    ASSERT_EQ(starts.back(), terms.size());
    for (std::size_t b = 0; b + 1 < starts.size(); ++b) {
        std::uint64_t spread = 0;
        for (std::size_t t = starts[b]; t < starts[b + 1]; ++t) {
            EXPECT_EQ(terms[t].flip, terms[starts[b]].flip);
            spread |= terms[t].sign ^ terms[starts[b]].sign;
        }
        EXPECT_LE(__builtin_popcountll(spread & ~std::uint64_t{7}), max_spread_bits);
    }
    EXPECT_EQ(starts.size(), 4u);  // 7 + 3 words of mask 1, then mask 2
    // XX + YY: one group whose table is real (XX + YY = 2 (|01><10| + h.c.)).
    const FlipGroups xy = group_words(std::vector<PauliWord>{PauliWord(1.0, "XX"),
                                                             PauliWord(1.0, "YY")}
                                          .data(),
                                      2, 4, KernelIsa::generic);
    ASSERT_EQ(xy.groups().size(), 1u);
    EXPECT_TRUE(xy.groups()[0].real);
}

}  // namespace
}  // namespace velmora
