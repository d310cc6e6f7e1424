#include "index/flat_index.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <limits>
#include <random>
#include <vector>

#include "index/distance.h"
#include "index/score_order.h"

namespace orvane::index {
namespace {

using Ids = std::vector<std::uint64_t>;
constexpr float kNan = std::numeric_limits<float>::quiet_NaN();

Ids ids_of(const std::vector<ScoredId>& hits) {
  Ids ids;
  for (const ScoredId& h : hits) ids.push_back(h.id);
  return ids;
}

// With every stored vector equal, a search lists the entries in entry order.
Ids entry_order(const Flat& flat) {
  const std::vector<float> q(flat.dimension(), 0.0f);
  return ids_of(flat.search(q, flat.count()).value());
}

TEST(Flat, ReplaceInPlaceAndRemoveMovesLast) {
  Flat flat(1, DistanceMetric::Euclidean);
  for (std::uint64_t id : {10u, 20u, 30u}) ASSERT_TRUE(flat.insert(id, {{0.0f}}));
  ASSERT_TRUE(flat.insert(20, {{0.0f}}));  // replace: keeps its place, count unchanged
  EXPECT_EQ(flat.count(), 3u);
  EXPECT_EQ(entry_order(flat), (Ids{10, 20, 30}));
  ASSERT_TRUE(flat.insert(10, {{2.0f}}));
  EXPECT_EQ(flat.search({{2.0f}}, 1)->front().id, 10u);
  ASSERT_TRUE(flat.insert(10, {{0.0f}}));

  flat.remove(99);  // absent: nothing changes
  EXPECT_EQ(entry_order(flat), (Ids{10, 20, 30}));
  flat.remove(10);  // the last entry fills the hole
  EXPECT_EQ(entry_order(flat), (Ids{30, 20}));
  EXPECT_FALSE(flat.contains(10));
  EXPECT_TRUE(flat.contains(30));
  flat.remove(20);  // removing the last entry moves nothing
  EXPECT_EQ(entry_order(flat), (Ids{30}));
  ASSERT_TRUE(flat.insert(10, {{0.0f}}));
  EXPECT_EQ(entry_order(flat), (Ids{30, 10}));
  ASSERT_TRUE(flat.insert(30, {{5.0f}}));  // the moved entry is still found by id
  EXPECT_EQ(flat.search({{5.0f}}, 1)->front().id, 30u);
  flat.remove(30);
  flat.remove(10);
  EXPECT_EQ(flat.count(), 0u);
  EXPECT_TRUE(flat.search({{0.0f}}, 3)->empty());
}

// Top-k must equal a stable sort of all (id, distance) pairs by score key,
// cut to k, on data full of ties and NaNs, across scan blocks and removals.
TEST(Flat, TopKEqualsStableFullSort) {
  std::mt19937 rng(7);
  const float values[] = {
      0.0f, -0.0f, 1.0f, 2.0f, kNan, -kNan, std::numeric_limits<float>::infinity()};
  for (DistanceMetric metric :
       {DistanceMetric::Cosine, DistanceMetric::Euclidean, DistanceMetric::DotProduct}) {
    Flat flat(3, metric);
    std::vector<std::pair<std::uint64_t, std::vector<float>>> entries;
    auto random_vec = [&] {
      std::vector<float> v(3);
      for (float& x : v) x = values[rng() % (rng() % 8 == 0 ? 7 : 4)];
      return v;
    };
    for (std::uint64_t id = 0; id < 700; ++id) {
      entries.push_back({id * 3 + 1, random_vec()});
      ASSERT_TRUE(flat.insert(entries.back().first, entries.back().second));
    }
    for (int round = 0; round < 4; ++round) {
      for (int r = 0; r < 25; ++r) {  // remove: the last entry takes the hole
        const std::size_t pos = rng() % entries.size();
        flat.remove(entries[pos].first);
        entries[pos] = entries.back();
        entries.pop_back();
      }
      const std::vector<float> query = random_vec();
      std::vector<std::size_t> order(entries.size());
      std::vector<float> scores(entries.size());
      for (std::size_t i = 0; i < entries.size(); ++i) {
        order[i] = i;
        scores[i] = distance(metric, query.data(), entries[i].second.data(), 3);
      }
      std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return score_key(scores[a]) < score_key(scores[b]);
      });
      for (std::uint64_t k : {1u, 2u, 10u, 255u, 256u, 257u, 599u, 600u, 601u, 5000u}) {
        const auto hits = flat.search(query, k).value();
        ASSERT_EQ(hits.size(), std::min<std::size_t>(k, entries.size()));
        for (std::size_t i = 0; i < hits.size(); ++i) {
          EXPECT_EQ(hits[i].id, entries[order[i]].first) << "k " << k << " rank " << i;
          EXPECT_EQ(std::bit_cast<std::uint32_t>(hits[i].distance),
                    std::bit_cast<std::uint32_t>(scores[order[i]]));
        }
      }
    }
  }
}

}  // namespace
}  // namespace orvane::index
