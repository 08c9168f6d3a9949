#include "sector/sector_basis.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "parallel/policy.h"
#include "sector/test_support.h"

namespace velmora {
namespace {

using testing::mirror;
using testing::shift;

// The sectors of every eigenvalue together hold every state of the weight (or
// of the whole space) exactly once: their dimensions add up to C(n, w) or 2^n.
TEST(SectorBasis, SectorsOfAllEigenvaluesPartitionTheSpace) {
    for (std::uint32_t n : {4u, 7u, 10u}) {
        for (std::int32_t w : {SectorBasis::any_weight, 0, 2, static_cast<std::int32_t>(n / 2)}) {
            std::uint64_t by_momentum = 0, by_parity = 0;
            for (std::uint64_t k = 0; k < n; ++k) {
                by_momentum += SectorBasis(SymmetryGroup(n, {{shift(n), k}}, 0), w, 0).size();
            }
            for (std::uint64_t p : {0u, 1u}) {
                by_parity += SectorBasis(SymmetryGroup(n, {{mirror(n), p}}, 0), w, 0).size();
            }
            const std::uint64_t all = SectorBasis::candidates(n, w);
            EXPECT_EQ(by_momentum, all) << n << " " << w;
            EXPECT_EQ(by_parity, all) << n << " " << w;
        }
        std::uint64_t by_flip = 0;
        for (int f : {1, -1}) by_flip += SectorBasis(SymmetryGroup(n, {}, f), -1, 0).size();
        EXPECT_EQ(by_flip, std::uint64_t{1} << n);
    }
    EXPECT_EQ(binomial(64, 32), 1832624140942590534u);
    EXPECT_EQ(binomial(10, 11), 0u);
}

// Without symmetries and with a weight, the basis is every index of that
// weight in ascending order, and the split-table rank finds each one.
TEST(SectorBasis, FixedWeightRanksAreAscendingPositions) {
    for (std::uint32_t n : {1u, 9u, 13u, 20u}) {
        for (std::int32_t w : {0, 1, static_cast<std::int32_t>(n / 3), static_cast<std::int32_t>(n)}) {
            const SectorBasis basis(SymmetryGroup(n, {}, 0), w, 0);
            ASSERT_EQ(basis.size(), binomial(n, w));
            std::uint64_t index = 0;
            std::uint64_t seen = 0;
            for (std::uint64_t x = 0; x < (std::uint64_t{1} << n) && seen < basis.size(); ++x) {
                if (__builtin_popcountll(x) != w) continue;
                ASSERT_EQ(basis.states()[index], x);
                ASSERT_EQ(basis.locate(x).index, index);
                ++index;
                ++seen;
            }
            // An index of another weight is in no orbit of the sector.
            const std::uint64_t other = w == 0 ? 1 : 0;
            EXPECT_EQ(basis.locate(other).index, SectorBasis::npos);
        }
    }
}

// The enumeration and the conversions give the same bytes on any team.
TEST(SectorBasis, SameResultOnEveryTeam) {
    const std::uint64_t saved = set_min_parallel_work(0);
    const std::uint32_t n = 18;
    std::vector<std::uint64_t> first;
    std::vector<Complex> first_phi;
    for (std::int32_t threads : {0, 1, 2, 3}) {
        const SectorBasis basis(SymmetryGroup(n, {{shift(n), 2}}, -1), 9, threads);
        std::vector<std::uint64_t> states(basis.states(), basis.states() + basis.size());
        std::vector<Complex> psi(std::size_t{1} << n);
        for (std::size_t x = 0; x < psi.size(); ++x) psi[x] = Complex(std::sin(x * 0.37), std::cos(x * 1.1));
        std::vector<Complex> phi(basis.size());
        basis.project(psi.data(), phi.data(), threads);
        if (threads == 0) {
            first = states;
            first_phi = phi;
            EXPECT_GT(states.size(), 100u);
        } else {
            EXPECT_EQ(states, first);
            EXPECT_EQ(std::memcmp(phi.data(), first_phi.data(), phi.size() * sizeof(Complex)), 0);
        }
    }
    set_min_parallel_work(saved);
}

TEST(SectorBasis, WeightOutOfRangeIsRefused) {
    EXPECT_THROW(SectorBasis(SymmetryGroup(4, {}, 0), 5, 0), std::invalid_argument);
    EXPECT_THROW(SectorBasis(SymmetryGroup(4, {}, 0), -2, 0), std::invalid_argument);
}

}  // namespace
}  // namespace velmora
