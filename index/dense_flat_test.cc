#include "index/dense_flat.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "index/distance.h"
#include "index/score_order.h"

namespace orvane::index {
namespace {

// Live (and allowed) slots by a stable sort on the score key: the order every
// search must reproduce, ties by slot and NaN last.
std::vector<ScoredId> expected(const DenseFlat& flat, const float* q, std::uint64_t k,
                               const IdFilter* filter) {
  std::vector<ScoredId> all;
  for (std::uint64_t s = 0; s < flat.slot_count(); ++s) {
    if (!flat.live(s) || (filter != nullptr && !filter->allows(s))) continue;
    all.push_back({s, distance(flat.metric(), q, flat.vector(s).data(), flat.dimension())});
  }
  std::stable_sort(all.begin(), all.end(), [](const ScoredId& a, const ScoredId& b) {
    return score_key(a.distance) < score_key(b.distance);
  });
  all.resize(std::min<std::size_t>(all.size(), k));
  return all;
}

void expect_same(const std::vector<ScoredId>& want, const std::vector<ScoredId>& got,
                 const std::string& where) {
  ASSERT_EQ(want.size(), got.size()) << where;
  for (std::size_t i = 0; i < want.size(); ++i) {
    EXPECT_EQ(want[i].id, got[i].id) << where << " rank " << i;
    EXPECT_EQ(score_key(want[i].distance), score_key(got[i].distance)) << where << " rank " << i;
  }
}

// Coarse values give many ties; a few NaN and infinite entries; free slots
// from erase, from set past the end and from append's live flags; filters.
TEST(DenseFlat, SearchesMatchStableSortOfLiveSlots) {
  struct Row {
    DistanceMetric metric;
    std::size_t dim;
    std::size_t count;
  };
  const Row rows[] = {{DistanceMetric::Euclidean, 3, 300},   {DistanceMetric::Cosine, 8, 2500},
                      {DistanceMetric::DotProduct, 17, 700}, {DistanceMetric::Euclidean, 128, 5000},
                      {DistanceMetric::Cosine, 1, 50}};
  std::mt19937 rng(5);
  for (const Row& row : rows) {
    DenseFlat flat(row.dim, row.metric);
    std::vector<float> data(row.count * row.dim);
    for (float& x : data) x = static_cast<float>(static_cast<int>(rng() % 5) - 2);
    data[row.dim * 7] = std::numeric_limits<float>::quiet_NaN();
    data[row.dim * 9] = std::numeric_limits<float>::infinity();
    std::vector<std::uint8_t> live(row.count);
    for (auto& l : live) l = rng() % 10 != 0;
    ASSERT_TRUE(flat.append(data, live));
    for (std::size_t s = 0; s < row.count; s += 13) flat.erase(s);
    std::vector<float> extra(row.dim, 1.0f);
    ASSERT_TRUE(flat.set(row.count + 5, extra));
    ASSERT_TRUE(flat.set(2, extra));
    EXPECT_EQ(flat.slot_count(), row.count + 6);
    std::uint64_t live_now = 0;
    for (std::uint64_t s = 0; s < flat.slot_count(); ++s) live_now += flat.live(s);
    EXPECT_EQ(flat.live_count(), live_now);

    IdBitmap odd(flat.slot_count());
    for (std::uint64_t s = 1; s < flat.slot_count(); s += 2) odd.set(s);
    const std::size_t nq = 11;
    std::vector<float> queries(nq * row.dim);
    for (float& x : queries) x = static_cast<float>(static_cast<int>(rng() % 5) - 2);
    for (const IdFilter* filter : {static_cast<const IdFilter*>(nullptr),
                                   static_cast<const IdFilter*>(&odd)}) {
      for (std::uint64_t k : {0u, 1u, 10u, 100000u}) {
        const auto batch = flat.search_batch(queries, k, filter);
        ASSERT_TRUE(batch);
        ASSERT_EQ(batch->size(), nq);
        for (std::size_t q = 0; q < nq; ++q) {
          const std::string where = "dim " + std::to_string(row.dim) + " k " +
                                    std::to_string(k) + " q " + std::to_string(q) +
                                    (filter ? " filtered" : "");
          const float* query = queries.data() + q * row.dim;
          const auto want = expected(flat, query, k, filter);
          expect_same(want, (*batch)[q], where);
          const auto one = flat.search(std::span<const float>(query, row.dim), k, filter);
          ASSERT_TRUE(one);
          expect_same(want, *one, where + " single");
        }
      }
    }
  }
}

TEST(DenseFlat, RefusesWrongShapes) {
  DenseFlat flat(4, DistanceMetric::Euclidean);
  EXPECT_FALSE(flat.append(std::vector<float>(7)));
  EXPECT_FALSE(flat.append(std::vector<float>(8), std::vector<std::uint8_t>(3)));
  EXPECT_FALSE(flat.set(0, std::vector<float>(3)));
  EXPECT_FALSE(flat.search(std::vector<float>(8), 1));
  EXPECT_FALSE(flat.search_batch(std::vector<float>(6), 1));
  EXPECT_EQ(flat.slot_count(), 0u);
}

}  // namespace
}  // namespace orvane::index
