#include "parallel/team.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

namespace velmora {
namespace {

TEST(Team, RequestsAreBoundedToAPositiveSize) {
    EXPECT_EQ(bounded_team_size(1), 1);
    EXPECT_EQ(bounded_team_size(8), 8);
    EXPECT_EQ(bounded_team_size(-5), 1);
    EXPECT_EQ(bounded_team_size(0), 1);
    EXPECT_LE(bounded_team_size(std::numeric_limits<std::int32_t>::max()), max_team_size);
}

TEST(Team, ZeroThreadsMeansTheCallingThread) {
    EXPECT_EQ(team_size_for(0), 0);
    EXPECT_EQ(team_size_for(3), bounded_team_size(3));
    prepare_team(0);  // nothing to start
    prepare_team(2);
    SUCCEED();
}

}  // namespace
}  // namespace velmora
