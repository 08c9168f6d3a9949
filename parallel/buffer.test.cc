#include "parallel/buffer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <tuple>

namespace velmora {
namespace {

class TeamZeros : public ::testing::TestWithParam<std::tuple<std::uint64_t, std::int32_t>> {};

TEST_P(TeamZeros, EveryEntryClearedAndAligned) {
    const auto [n, threads] = GetParam();
    // Fill fresh memory with garbage first, so that a chunk the team skipped
    // would show (a fresh mapping would be zero anyway).
    {
        Buffer<double> dirty = uninitialised_buffer<double>(2 * n);
        for (std::uint64_t i = 0; i < 2 * n; ++i) dirty[i] = 1.5;
    }
    const Buffer<Complex> b = team_zeros<Complex>(n, threads);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(b.get()) % 64, 0u);
    std::uint64_t nonzero = 0;
    for (std::uint64_t i = 0; i < n; ++i) {
        nonzero += b[i] != Complex(0.0, 0.0);
    }
    EXPECT_EQ(nonzero, 0u);
}

// Sizes below one chunk, at and around chunk and team cut-offs, and with a
// short last chunk; serial and team clearing.
INSTANTIATE_TEST_SUITE_P(
    Sizes, TeamZeros,
    ::testing::Combine(::testing::Values(1, 3, 4096, 4097, 32768, 32768 + 4095, 1 << 17),
                       ::testing::Values(0, 1, 2, 3)));

TEST(Buffer, ImpossibleSizesAreRefused) {
    EXPECT_THROW(uninitialised_buffer<Complex>(~std::uint64_t{0} / 8), std::bad_alloc);
}

}  // namespace
}  // namespace velmora
