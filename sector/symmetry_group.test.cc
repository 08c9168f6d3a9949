#include "sector/symmetry_group.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numeric>
#include <random>
#include <set>
#include <stdexcept>
#include <vector>

#include "sector/test_support.h"

namespace velmora {
namespace {

using testing::mirror;
using testing::shift;

/// Translations of a width x height torus along x and y.
std::vector<std::uint32_t> torus_shift(std::uint32_t width, std::uint32_t height, bool along_x) {
    std::vector<std::uint32_t> p(width * height);
    for (std::uint32_t y = 0; y < height; ++y) {
        for (std::uint32_t x = 0; x < width; ++x) {
            p[y * width + x] = along_x ? y * width + (x + 1) % width : ((y + 1) % height) * width + x;
        }
    }
    return p;
}

/// Bit q of x moved to bit perm[q], then all bits flipped when asked.
std::uint64_t reference_image(const std::vector<std::uint32_t>& perm, bool flip, std::uint64_t x) {
    std::uint64_t y = 0;
    for (std::uint32_t q = 0; q < perm.size(); ++q) {
        if ((x >> q) & 1) y |= std::uint64_t{1} << perm[q];
    }
    return flip ? y ^ ((std::uint64_t{1} << perm.size()) - 1) : y;
}

struct GroupCase {
    std::uint32_t n;
    std::vector<SymmetryGenerator> generators;
    int flip;
    std::size_t order;
};

// Orders of the usual groups, and elements that act as their permutations do
// bit by bit, with distinct (permutation, flip) pairs.
TEST(SymmetryGroup, OrdersAndActions) {
    const std::vector<GroupCase> cases = {
        {5, {}, 0, 1},
        {6, {{shift(6, 1), 2}}, 0, 6},
        {6, {{shift(6, 1), 0}, {mirror(6), 1}}, 0, 12},
        {6, {{shift(6, 1), 3}, {mirror(6), 0}}, 1, 24},
        {8, {}, -1, 2},
        {9, {{torus_shift(3, 3, true), 1}, {torus_shift(3, 3, false), 2}}, 0, 9},
        {12, {{torus_shift(4, 3, true), 0}, {torus_shift(4, 3, false), 0}}, 1, 24},
        {17, {{shift(17, 1), 5}}, -1, 34},  // three table chunks
    };
    std::mt19937_64 rng(5);
    for (const GroupCase& c : cases) {
        const SymmetryGroup group(c.n, c.generators, c.flip);
        ASSERT_EQ(group.order(), c.order) << c.n;
        std::set<std::pair<std::vector<std::uint32_t>, bool>> seen;
        for (std::size_t g = 0; g < group.order(); ++g) {
            EXPECT_TRUE(seen.insert({group.permutation(g), group.flips(g)}).second);
            for (int trial = 0; trial < 50; ++trial) {
                const std::uint64_t x = rng() & ((std::uint64_t{1} << c.n) - 1);
                EXPECT_EQ(group.apply(g, x), reference_image(group.permutation(g), group.flips(g), x));
            }
            EXPECT_NEAR(std::abs(group.character(g)), 1.0, 1e-15);
        }
        EXPECT_EQ(group.apply(0, 0b101), 0b101u);
    }
}

// The character of a power of the translation is the power of its eigenvalue;
// quarter turns are exact.
TEST(SymmetryGroup, CharactersOfTranslations) {
    const std::uint32_t n = 8;
    for (std::uint64_t k = 0; k < n; ++k) {
        const SymmetryGroup group(n, {{shift(n, 1), k}}, 0);
        for (std::size_t g = 0; g < group.order(); ++g) {
            // Which power of the translation is g?
            std::uint32_t power = group.permutation(g)[0];
            const double angle = 2.0 * M_PI * static_cast<double>((k * power) % n) / n;
            EXPECT_NEAR(group.character(g).real(), std::cos(angle), 1e-15);
            EXPECT_NEAR(group.character(g).imag(), std::sin(angle), 1e-15);
            if ((4 * k * power) % n == 0) {  // a multiple of a quarter turn: exact
                const Complex c = group.character(g);
                EXPECT_EQ(std::abs(c.real()) + std::abs(c.imag()), 1.0);
            }
        }
    }
}

}  // namespace
}  // namespace velmora
