#include "index/score_order.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <vector>

namespace orvane::index {
namespace {

TEST(ScoreOrder, KeysFollowLessThanWithNanLast) {
  constexpr float inf = std::numeric_limits<float>::infinity();
  constexpr float nan = std::numeric_limits<float>::quiet_NaN();
  constexpr float tiny = std::numeric_limits<float>::denorm_min();
  const float ascending[] = {-inf,
                             -std::numeric_limits<float>::max(),
                             -1.0f,
                             -tiny,
                             0.0f,
                             tiny,
                             std::numeric_limits<float>::min(),
                             1.0f,
                             2.0f,
                             std::numeric_limits<float>::max(),
                             inf,
                             nan};
  for (std::size_t i = 0; i + 1 < std::size(ascending); ++i) {
    EXPECT_LT(score_key(ascending[i]), score_key(ascending[i + 1])) << i;
  }
  EXPECT_EQ(score_key(-0.0f), score_key(0.0f));
  EXPECT_EQ(score_key(-nan), score_key(nan));
  EXPECT_EQ(score_key(std::bit_cast<float>(0x7F800001u)), score_key(nan));  // signalling payload
  EXPECT_EQ(score_key(std::bit_cast<float>(0xFFFFFFFFu)), score_key(nan));
}

TEST(ScoreOrder, SortByKeyAndPositionIsTheStableOrder) {
  constexpr float nan = std::numeric_limits<float>::quiet_NaN();
  const std::vector<float> scores = {
      nan, 1.0f, -0.0f, -nan, 0.0f, 1.0f, std::numeric_limits<float>::infinity(), -2.0f};
  std::vector<std::size_t> order(scores.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(),
            [&](std::size_t a, std::size_t b) { return score_before(scores[a], a, scores[b], b); });
  EXPECT_EQ(order, (std::vector<std::size_t>{7, 2, 4, 1, 5, 6, 0, 3}));
}

}  // namespace
}  // namespace orvane::index
