// The total score order, and the exhaustive scans that follow it: top-k is a
// stable sort by score key (ties by entry or slot, NaN last) cut to k.
#include "index/flat_index.h"

#include <bit>
#include <limits>

#include "index/distance.h"
#include "index/hnsw_test_util.h"
#include "index/score_order.h"

namespace orvane::index {
namespace {

using Hits = std::vector<ScoredId>;
using testing::Seen;
using testing::seen;
constexpr float kNan = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

// Both keys: IEEE order, any NaN after +inf (x86 makes 0/0 negative); the flat
// scan's key makes the zeros equal, the graph heaps' puts -0.0 first.
TEST(ScoreOrder, KeysFollowLessThanWithNanLast) {
  const float ascending[] = {-kInf,     -0x1.fffffep127f, -1, -0x1p-149f, -0.0f,           0.0f,
                             0x1p-149f, 0x1p-126f,        1,  2,          0x1.fffffep127f, kInf,
                             kNan};
  for (const bool heaps : {false, true}) {
    auto key = [&](float f) { return heaps ? distance_order_key(f) : score_key(f); };
    for (std::size_t i = 0; i + 1 < std::size(ascending); ++i) {
      EXPECT_LE(key(ascending[i]), key(ascending[i + 1])) << i;
      EXPECT_EQ(key(ascending[i]) < key(ascending[i + 1]), heaps || i != 4) << i;
    }
    for (std::uint32_t bits : {0xFFC00000u, 0x7F800001u, 0xFFFFFFFFu}) {
      EXPECT_EQ(key(std::bit_cast<float>(bits)), key(kNan));
    }
  }
}

// The first k of `all` after a stable sort by score key.
Seen stable_top(Hits all, std::uint64_t k) {
  std::ranges::stable_sort(all, {}, [](const ScoredId& h) { return score_key(h.distance); });
  all.resize(std::min<std::size_t>(all.size(), k));
  return seen(all);
}

// Ties and NaNs everywhere, across scan blocks, with replaced entries (which
// keep their place) and removals (the last entry moves into the hole).
TEST(Flat, TopKEqualsStableFullSort) {
  std::mt19937 rng(7);
  const float values[] = {0.0f, -0.0f, 1.0f, 2.0f, kNan, -kNan, kInf};
  auto random_vec = [&] {
    std::vector<float> v(3);
    for (float& x : v) x = values[rng() % (rng() % 8 == 0 ? 7 : 4)];
    return v;
  };
  for (auto m : {DistanceMetric::Cosine, DistanceMetric::Euclidean, DistanceMetric::DotProduct}) {
    Flat flat(3, m);
    std::vector<std::pair<std::uint64_t, std::vector<float>>> entries;
    for (std::uint64_t id = 1; id < 2100; id += 3) {
      entries.push_back({id, random_vec()});
      ASSERT_TRUE(flat.insert(id, entries.back().second));
    }
    flat.remove(2);  // absent: nothing changes
    for (int round = 0; round < 4; ++round) {
      for (int r = 0; r < 25; ++r) {
        auto& replaced = entries[rng() % entries.size()];
        replaced.second = random_vec();
        ASSERT_TRUE(flat.insert(replaced.first, replaced.second));
        const std::size_t pos = rng() % entries.size();
        flat.remove(entries[pos].first);
        entries[pos] = entries.back();
        entries.pop_back();
      }
      const std::vector<float> q = random_vec();
      Hits all;
      for (const auto& [id, v] : entries) all.push_back({id, distance(m, q.data(), v.data(), 3)});
      for (std::uint64_t k : {1u, 2u, 10u, 255u, 256u, 257u, 599u, 600u, 601u, 5000u}) {
        EXPECT_EQ(stable_top(all, k), seen(flat.search(q, k).value())) << k;
      }
    }
    EXPECT_EQ(flat.count(), entries.size());
  }
}

// Many ties, a NaN and an inf; free slots from erase, from set past the end
// and from append's live flags; filters; single and batched queries.
TEST(DenseFlat, SearchesMatchStableSortOfLiveSlots) {
  using M = DistanceMetric;
  const std::tuple<M, std::size_t, std::size_t> rows[] = {{M::Euclidean, 3, 300},
                                                          {M::Cosine, 8, 2500},
                                                          {M::DotProduct, 17, 700},
                                                          {M::Euclidean, 128, 5000},
                                                          {M::Cosine, 1, 50}};
  std::mt19937 rng(5);
  auto coarse = [&](std::size_t n) {
    std::vector<float> v(n);
    for (float& x : v) x = static_cast<float>(static_cast<int>(rng() % 5) - 2);
    return v;
  };
  for (const auto& [metric, dim, count] : rows) {
    DenseFlat flat(dim, metric);
    std::vector<float> data = coarse(count * dim);
    data[dim * 7] = kNan;
    data[dim * 9] = kInf;
    std::vector<std::uint8_t> live(count);
    for (auto& l : live) l = rng() % 10 != 0;
    ASSERT_TRUE(flat.append(data, live));
    for (std::size_t s = 0; s < count; s += 13) flat.erase(s);
    ASSERT_TRUE(flat.set(count + 5, std::vector<float>(dim, 1.0f)));
    ASSERT_TRUE(flat.set(2, std::vector<float>(dim, 1.0f)));
    EXPECT_EQ(flat.slot_count(), count + 6);
    IdBitmap odd(flat.slot_count());
    for (std::uint64_t s = 1; s < flat.slot_count(); s += 2) odd.set(s);
    const std::vector<float> queries = coarse(11 * dim);
    const IdFilter* const filters[] = {nullptr, &odd};
    for (const IdFilter* filter : filters) {
      for (std::uint64_t k : {0u, 1u, 10u, 100000u}) {
        const auto batch = flat.search_batch(queries, k, filter).value();
        ASSERT_EQ(batch.size(), 11u);
        for (std::size_t q = 0; q < 11; ++q) {
          SCOPED_TRACE(::testing::Message() << "dim " << dim << " k " << k << " q " << q);
          const std::span<const float> query(queries.data() + q * dim, dim);
          Hits all;
          for (std::uint64_t s = 0; s < flat.slot_count(); ++s) {
            if (!flat.live(s) || (filter != nullptr && !filter->allows(s))) continue;
            all.push_back({s, distance(metric, query.data(), flat.vector(s).data(), dim)});
          }
          EXPECT_EQ(stable_top(all, k), seen(batch[q]));
          EXPECT_EQ(stable_top(all, k), seen(flat.search(query, k, filter).value()));
        }
      }
    }
  }
}

}  // namespace
}  // namespace orvane::index
