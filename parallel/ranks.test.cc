#include "parallel/ranks.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

#include "parallel/test_ranks.h"
#include "pauli/test_support.h"

namespace velmora {
namespace {

using testing::on_ranks;
using testing::same_bits;

TEST(Ranks, SumsFollowThePairwiseTreeOverRanks) {
    // Sequentially (1e16 + 1) - 1e16 + 1 = 1; the tree gives
    // (1e16 + 1) + (-1e16 + 1) = 1e16 + -1e16 = 0 in binary64.
    const double values[4] = {1e16, 1.0, -1e16, 1.0};
    std::vector<double> real(4);
    std::vector<Complex> complex(4);
    std::vector<double> largest(4);
    on_ranks(4, 4096, [&](Ranks& ranks) {
        const double v = values[ranks.rank()];
        real[ranks.rank()] = ranks.sum(v);
        complex[ranks.rank()] = ranks.sum(Complex(-v, 2.0 * v));
        largest[ranks.rank()] = ranks.max(static_cast<double>(ranks.rank() % 3));
    });
    for (int r = 0; r < 4; ++r) {
        EXPECT_TRUE(same_bits(real[r], 0.0)) << r;
        EXPECT_TRUE(same_bits(complex[r].real(), 0.0)) << r;
        EXPECT_TRUE(same_bits(complex[r].imag(), 0.0)) << r;
        EXPECT_EQ(largest[r], 2.0);
    }
}

TEST(Ranks, ExchangeDeliversThePartnersSlice) {
    const std::uint64_t slice = 4096;
    std::vector<int> wrong(8, 0);
    on_ranks(8, slice, [&](Ranks& ranks) {
        std::vector<Complex> mine(slice);
        for (std::uint64_t i = 0; i < slice; ++i) {
            mine[i] = Complex(static_cast<double>(ranks.rank()), static_cast<double>(i));
        }
        // Two exchanges in flight at once, in both slots.
        ranks.start_exchange(1, mine.data(), 0);
        ranks.start_exchange(6, mine.data(), 1);
        const Complex* first = ranks.finish_exchange(0);
        const Complex* second = ranks.finish_exchange(1);
        for (std::uint64_t i = 0; i < slice; ++i) {
            wrong[ranks.rank()] += first[i] != Complex(static_cast<double>(ranks.rank() ^ 1), i);
            wrong[ranks.rank()] += second[i] != Complex(static_cast<double>(ranks.rank() ^ 6), i);
        }
        EXPECT_EQ(ranks.buffer_bytes(), 2 * slice * sizeof(Complex));
    });
    for (int r = 0; r < 8; ++r) EXPECT_EQ(wrong[r], 0) << r;
}

struct BadLayout {
    unsigned bits;
    std::uint64_t rank;
    std::uint64_t slice;
};

class RanksRefuse : public ::testing::TestWithParam<BadLayout> {};

TEST_P(RanksRefuse, LayoutsThatCannotHoldTheSums) {
    testing::ThreadGroup group(1);
    testing::ThreadTransport transport(group, 0);
    const BadLayout b = GetParam();
    EXPECT_THROW(Ranks(transport, b.bits, b.rank, b.slice), std::invalid_argument);
}

INSTANTIATE_TEST_SUITE_P(Layouts, RanksRefuse,
                         ::testing::Values(BadLayout{1, 2, 4096},   // rank out of range
                                           BadLayout{1, 0, 2048},   // below one chunk
                                           BadLayout{0, 0, 3000},   // not a power of two
                                           BadLayout{2, 1, 0},      // empty
                                           BadLayout{31, 0, 4096}));  // too many ranks

TEST(Ranks, OneProcessNeedsNoTransport) {
    testing::ThreadGroup group(1);
    testing::ThreadTransport transport(group, 0);
    Ranks ranks(transport, 0, 0, 8);
    EXPECT_EQ(ranks.sum(3.5), 3.5);
    EXPECT_EQ(ranks.offset(), 0u);
    EXPECT_THROW(ranks.start_exchange(1, nullptr, 0), std::logic_error);
    EXPECT_THROW(ranks.finish_exchange(0), std::logic_error);
}

}  // namespace
}  // namespace velmora
