#include "parallel/policy.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <tuple>
#include <vector>

#include "parallel/reduce.h"

namespace velmora {
namespace {

/// Every test of this binary runs with the small-work cutoff at 0, so that a
/// positive num_threads puts even small inputs on a team: the tests compare
/// the team paths with the serial ones at sizes that run quickly.
class TeamsForSmallWork : public ::testing::Environment {
public:
    void SetUp() override { set_min_parallel_work(0); }
};

[[maybe_unused]] ::testing::Environment* const teams_for_small_work =
    ::testing::AddGlobalTestEnvironment(new TeamsForSmallWork);

/// (team requested, item count)
class PolicyLoops : public ::testing::TestWithParam<std::tuple<std::int32_t, std::uint64_t>> {};

TEST_P(PolicyLoops, EveryItemExactlyOnce) {
    const auto [threads, count] = GetParam();
    const Policy policy = Policy::for_threads(threads);
    std::vector<int> seen(count, 0);
    policy.for_each(count, [&](std::uint64_t i) { seen[i] += 1; });
    for (std::uint64_t i = 0; i < count; ++i) EXPECT_EQ(seen[i], 1) << "item " << i;

    std::vector<int> chunked(count, 0);
    policy.for_each_chunk(count, 7, [&](std::uint64_t begin, std::uint64_t end) {
        EXPECT_TRUE(begin % 7 == 0 && end <= count && end - begin <= 7);
        for (std::uint64_t i = begin; i < end; ++i) chunked[i] += 1;
    });
    EXPECT_EQ(chunked, std::vector<int>(count, 1));

    std::vector<int> shared(count, 0);
    policy.for_each_share(count, [&](std::uint64_t begin, std::uint64_t end) {
        for (std::uint64_t i = begin; i < end; ++i) shared[i] += 1;
    });
    EXPECT_EQ(shared, std::vector<int>(count, 1));
}

INSTANTIATE_TEST_SUITE_P(TeamsAndCounts, PolicyLoops,
                         ::testing::Combine(::testing::Values(0, 1, 2, 3, 5),
                                            ::testing::Values(0u, 1u, 2u, 5u, 64u, 1001u)));

TEST(Policy, SmallWorkRunsOnTheCallingThread) {
    // The test binary sets the cutoff to 0 (test_support.h); the default here.
    const std::uint64_t saved = set_min_parallel_work(default_min_parallel_work);
    EXPECT_TRUE(Policy::for_work(2, default_min_parallel_work - 1).is_serial());
    EXPECT_EQ(Policy::for_work(2, default_min_parallel_work).team_size(), team_size_for(2));
    EXPECT_TRUE(Policy::for_work(0, std::uint64_t{1} << 40).is_serial());
    EXPECT_TRUE(Policy::serial().is_serial());
    EXPECT_TRUE(sweep_policy((std::uint64_t{1} << 15) - 1, 2).is_serial());
    EXPECT_FALSE(sweep_policy(std::uint64_t{1} << 15, 2).is_serial());
    set_min_parallel_work(saved);
}

/// Chunked sums have the same bits for every team, and are pairwise: the
/// classic example 1 + 1e16 + ... that a sequential sum rounds differently.
class ChunkedSums : public ::testing::TestWithParam<std::uint64_t> {};

TEST_P(ChunkedSums, SameBitsForEveryTeam) {
    const std::uint64_t n = GetParam();
    std::vector<double> values(n);
    for (std::uint64_t i = 0; i < n; ++i) values[i] = 1.0 / static_cast<double>(i + 1);
    const auto sum = [&](std::int32_t threads) {
        return chunked_real_sum(n, threads, [&](std::uint64_t b, std::uint64_t e) {
            double s = 0.0;
            for (std::uint64_t i = b; i < e; ++i) s = s + values[i];
            return s;
        });
    };
    const double serial = sum(0);
    for (std::int32_t threads : {1, 2, 3, 7}) EXPECT_EQ(sum(threads), serial);
    // The chunk sums meet in a tree fixed by n: compare with the tree written out.
    std::vector<double> chunks;
    for (std::uint64_t b = 0; b < n; b += reduction_chunk) {
        double s = 0.0;
        for (std::uint64_t i = b; i < std::min(n, b + reduction_chunk); ++i) s = s + values[i];
        chunks.push_back(s);
    }
    if (n > 0) {
        const auto tree = [&](auto&& self, std::size_t lo, std::size_t count) -> double {
            if (count == 1) return chunks[lo];
            return self(self, lo, count / 2) + self(self, lo + count / 2, count - count / 2);
        };
        EXPECT_EQ(serial, tree(tree, 0, chunks.size()));
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, ChunkedSums,
                         ::testing::Values(0u, 1u, 4096u, 4097u, 3u * 4096u + 5u, 40000u));

}  // namespace
}  // namespace velmora
