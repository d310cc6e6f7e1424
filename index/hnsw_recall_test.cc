// Recall against the exact answer catches faults that keep every invariant but
// lose neighbours (wrong selection order, links to the wrong node, early stop).
#include "index/hnsw_test_util.h"

namespace orvane::index {
namespace {

using M = DistanceMetric;
using testing::clustered;
using testing::recall;

#ifdef __SANITIZE_ADDRESS__
constexpr std::size_t kSize = 1500, kQueries = 60, kGrowTo = 96;
#else
constexpr std::size_t kSize = 5000, kQueries = 200, kGrowTo = 191;
#endif

// 100 tight clusters in 32 dimensions, at the default ef and at ef 400 (never
// worse). Raw vectors under DotProduct: a long vector beats a vector's own copy,
// so any proximity graph does worse; the row guards the level.
TEST(HnswRecall, RecallAt10) {
  // Metric, unit length, parameters, size, seed, least recall (default ef, 400).
  const std::tuple<M, bool, HnswParams, std::size_t, std::uint64_t, double, double> rows[] = {
      {M::Euclidean, false, {}, kSize, 41, 0.95, 0.97},
      {M::Cosine, false, {}, kSize, 41, 0.95, 0.97},
      {M::DotProduct, true, {}, kSize, 41, 0.95, 0.97},
      {M::DotProduct, false, {}, kSize, 41, 0.88, 0.97},
      {M::Euclidean, false, {4, 40, 16}, kSize / 2, 51, 0.6, 0.97},
      {M::Euclidean, false, {8, 100, 32}, kSize / 2, 51, 0.9, 0.97},
      {M::Euclidean, false, {32, 200, 64}, kSize / 2, 51, 0.9, 0.97},
  };
  for (const auto& [metric, normalise, params, n, seed, min, min_wide] : rows) {
    const auto vectors = clustered(n, 32, 100, seed, normalise, 0.25f);
    const auto queries = clustered(kQueries, 32, 100, seed + 1000, normalise, 0.25f);
    const HnswGraph g = testing::build(vectors, metric, seed + 2, params);
    testing::expect_lists_sound(g);
    const DenseFlat exact = testing::exact(vectors, metric);
    const double narrow = recall(g, exact, queries, {});
    EXPECT_GE(narrow, min) << static_cast<int>(metric) << " m " << params.m;
    EXPECT_GE(recall(g, exact, queries, {.ef = 400}), std::max(narrow, min_wide));
  }
}

// Only allowed nodes, k of them whenever k exist, close to the exact answer;
// the exhaustive fallback (a selective hint, or too few found) is exact.
TEST(HnswRecall, FilteredSearch) {
  const auto vectors = clustered(kSize, 32, 100, 61, false, 0.25f);
  const auto queries = clustered(kQueries / 2, 32, 100, 62, false, 0.25f);
  const HnswGraph g = testing::build(vectors, M::Euclidean, 63);
  const DenseFlat exact = testing::exact(vectors, M::Euclidean);
  // Ids divisible by `every` are allowed; the hint; least recall.
  const std::tuple<std::uint64_t, double, double> rows[] = {
      {1, -1.0, 0.95}, {10, -1.0, 0.95},       {10, 0.1, 0.95},
      {10, 0.01, 1.0}, {kSize / 5, -1.0, 1.0}, {kSize * 2, -1.0, 1.0}};
  for (const auto& [every, hint, min] : rows) {
    IdBitmap allowed(kSize + 1);
    for (std::uint64_t id = every; id <= kSize; id += every) allowed.set(id);
    const SearchOptions options{.filter = &allowed, .filter_fraction = hint};
    EXPECT_GE(recall(g, exact, queries, options), min) << every;
  }
  EXPECT_TRUE(search_batch(g, std::vector<float>{}, 10, {}, 3).value().empty());
}

// Grows graphs one node at a time; after every insertion each node is
// reachable on layer 0 from the entry point and its own vector finds it first.
TEST(HnswRecall, EverySmallGraphIsConnectedAndFindsItsVectors) {
  const std::pair<M, std::size_t> configs[] = {{M::Euclidean, 2},  {M::Euclidean, 16},
                                               {M::Cosine, 3},     {M::Cosine, 24},
                                               {M::DotProduct, 4}, {M::DotProduct, 32}};
  for (std::uint64_t seed = 1; seed <= std::size(configs); ++seed) {
    const auto [metric, dim] = configs[seed - 1];
    const auto vectors = clustered(kGrowTo, dim, 3, seed, true);
    storage::thread_random_seed_for_testing(seed * 7919);
    HnswGraph g(dim, metric);
    for (std::size_t n = 1; n <= vectors.size(); ++n) {
      SCOPED_TRACE(::testing::Message() << "dim " << dim << " size " << n);
      ASSERT_TRUE(g.insert(n, vectors[n - 1]));
      ASSERT_EQ(testing::reachable_layer0(g).size(), n);
      for (std::size_t i = 0; i < n; ++i) {
        ASSERT_EQ(g.search(vectors[i], 1).value().at(0).id, i + 1);
      }
    }
    testing::expect_lists_sound(g, testing::id_set(g));
  }
}

}  // namespace
}  // namespace orvane::index
