// Quality of the graph: recall against brute force and reachability. These
// catch faults that keep every structural invariant but lose neighbours
// (wrong selection order, links to the wrong node, an early stop).
#include <gtest/gtest.h>

#include <set>
#include <vector>

#include "index/hnsw_graph.h"
#include "index/hnsw_test_util.h"

namespace orvane::index {
namespace {

using testing::clustered;

#ifdef __SANITIZE_ADDRESS__
constexpr std::size_t kRecallSize = 1500;
constexpr std::size_t kQueries = 60;
constexpr std::size_t kGrowTo = 96;
#else
constexpr std::size_t kRecallSize = 5000;
constexpr std::size_t kQueries = 200;
constexpr std::size_t kGrowTo = 191;
#endif

// 100 clusters of spread 0.25 around unit Gaussian centres in 32 dimensions.
double recall_at_10(DistanceMetric metric, bool normalise) {
  const auto vectors = clustered(kRecallSize, 32, 100, 41, normalise, 0.25f);
  const auto queries = clustered(kQueries, 32, 100, 41 + 1000, normalise, 0.25f);
  const HnswGraph g = testing::build(vectors, metric, 43);
  std::size_t found = 0;
  for (const auto& q : queries) {
    const auto truth = testing::brute_force(vectors, q, metric, 10);
    auto hits = g.search(q, 10);
    EXPECT_TRUE(hits);
    if (!hits) continue;
    EXPECT_EQ(hits->size(), 10u);
    const std::set<std::uint64_t> want(truth.begin(), truth.end());
    for (const auto& h : *hits) found += want.contains(h.id) ? 1 : 0;
  }
  return static_cast<double>(found) / static_cast<double>(10 * queries.size());
}

// Raw vectors under DotProduct: inner product is no distance (a long vector
// beats a vector's own copy), so any proximity graph does worse; the row
// guards the level.
TEST(HnswRecall, RecallAt10PerMetric) {
  const struct {
    DistanceMetric metric;
    bool normalise;
    double min;
  } rows[] = {{DistanceMetric::Euclidean, false, 0.95},
              {DistanceMetric::Cosine, false, 0.95},
              {DistanceMetric::DotProduct, true, 0.95},
              {DistanceMetric::DotProduct, false, 0.88}};
  for (const auto& r : rows) {
    EXPECT_GE(recall_at_10(r.metric, r.normalise), r.min) << static_cast<int>(r.metric);
  }
}

// Other parameters build sound graphs of the same quality; a larger per-call
// ef never finds less.
TEST(HnswRecall, ParametersAndPerCallEf) {
  const auto vectors = clustered(kRecallSize / 2, 32, 100, 51, false, 0.25f);
  const auto queries = clustered(kQueries, 32, 100, 52, false, 0.25f);
  const HnswParams configs[] = {{4, 40, 16}, {8, 100, 32}, {32, 200, 64}};
  for (const HnswParams& p : configs) {
    ASSERT_TRUE(p.check());
    storage::thread_random_seed_for_testing(p.m);
    HnswGraph g(32, DistanceMetric::Euclidean, p);
    for (std::size_t i = 0; i < vectors.size(); ++i) ASSERT_TRUE(g.insert(i + 1, vectors[i]));
    testing::expect_lists_sound(g);
    std::size_t found_default = 0, found_wide = 0;
    for (const auto& q : queries) {
      const auto truth = testing::brute_force(vectors, q, DistanceMetric::Euclidean, 10);
      const std::set<std::uint64_t> want(truth.begin(), truth.end());
      const auto narrow = g.search(q, 10);
      const auto wide = g.search(q, 10, SearchOptions{.ef = 400});
      ASSERT_TRUE(narrow && wide);
      for (const auto& h : *narrow) found_default += want.contains(h.id);
      for (const auto& h : *wide) found_wide += want.contains(h.id);
    }
    const double n = 10.0 * queries.size();
    EXPECT_GE(found_default / n, p.m >= 8 ? 0.9 : 0.6) << "m " << p.m;
    EXPECT_GE(found_wide, found_default) << "m " << p.m;
    EXPECT_GE(found_wide / n, 0.97) << "m " << p.m;
  }
}

// A filtered search returns only allowed nodes, k of them whenever k exist,
// close to the exact answer over the allowed nodes; the exhaustive fallback
// (a selective hint, or too few found) is exact.
TEST(HnswRecall, FilteredSearch) {
  const auto vectors = clustered(kRecallSize, 32, 100, 61, false, 0.25f);
  const auto queries = clustered(kQueries / 2, 32, 100, 62, false, 0.25f);
  const HnswGraph g = testing::build(vectors, DistanceMetric::Euclidean, 63);
  struct Row {
    std::uint64_t every;  // ids divisible by `every` are allowed
    double hint;
    double min_recall;
  };
  const Row rows[] = {{1, -1.0, 0.95}, {10, -1.0, 0.95}, {10, 0.1, 0.95},
                      {10, 0.01, 1.0}, {kRecallSize / 5, -1.0, 1.0}, {kRecallSize * 2, -1.0, 1.0}};
  for (const Row& row : rows) {
    IdBitmap allowed(vectors.size() + 1);
    testing::Vectors subset;
    std::vector<std::uint64_t> subset_ids;
    for (std::uint64_t id = 1; id <= vectors.size(); ++id) {
      if (id % row.every != 0) continue;
      allowed.set(id);
      subset.push_back(vectors[id - 1]);
      subset_ids.push_back(id);
    }
    const SearchOptions options{.filter = &allowed, .filter_fraction = row.hint};
    std::size_t found = 0, wanted = 0;
    for (const auto& q : queries) {
      auto hits = g.search(q, 10, options);
      ASSERT_TRUE(hits);
      const auto truth = testing::brute_force(subset, q, DistanceMetric::Euclidean, 10);
      ASSERT_EQ(hits->size(), truth.size()) << "every " << row.every;
      std::set<std::uint64_t> want;
      for (std::uint64_t i : truth) want.insert(subset_ids[i - 1]);
      for (const auto& h : *hits) {
        EXPECT_TRUE(allowed.allows(h.id)) << h.id;
        found += want.contains(h.id);
      }
      wanted += truth.size();
    }
    if (wanted > 0) {
      EXPECT_GE(static_cast<double>(found) / wanted, row.min_recall) << "every " << row.every;
    }
  }
}

// Grows graphs one node at a time; after every insertion each node is
// reachable on layer 0 from the entry point and its own vector finds it first.
TEST(HnswRecall, EverySmallGraphIsConnectedAndFindsItsVectors) {
  struct Config {
    DistanceMetric metric;
    std::size_t dim;
    std::uint64_t seed;
  };
  const Config configs[] = {
      {DistanceMetric::Euclidean, 2, 1},  {DistanceMetric::Euclidean, 16, 2},
      {DistanceMetric::Cosine, 3, 3},     {DistanceMetric::Cosine, 24, 4},
      {DistanceMetric::DotProduct, 4, 5}, {DistanceMetric::DotProduct, 32, 6},
  };
  for (const Config& c : configs) {
    // Unit vectors: under DotProduct a vector is then its own best match.
    const auto vectors = clustered(kGrowTo, c.dim, 3, c.seed, true);
    storage::thread_random_seed_for_testing(c.seed * 7919);
    HnswGraph g(c.dim, c.metric);
    for (std::size_t n = 1; n <= vectors.size(); ++n) {
      ASSERT_TRUE(g.insert(n, vectors[n - 1]));
      ASSERT_EQ(testing::reachable_layer0(g).size(), n)
          << "metric " << static_cast<int>(c.metric) << " dim " << c.dim << " size " << n;
      for (std::size_t i = 0; i < n; ++i) {
        auto hits = g.search(vectors[i], 1);
        ASSERT_TRUE(hits);
        ASSERT_EQ(hits->size(), 1u);
        ASSERT_EQ((*hits)[0].id, i + 1) << "size " << n << " metric " << static_cast<int>(c.metric);
      }
    }
    testing::expect_lists_name_nodes(g);
  }
}

}  // namespace
}  // namespace orvane::index
