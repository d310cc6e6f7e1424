#include "index/batch_search.h"

#include <gtest/gtest.h>

#include <vector>

#include "index/hnsw_test_util.h"

namespace orvane::index {
namespace {

std::vector<float> flatten(const testing::Vectors& rows) {
  std::vector<float> out;
  for (const auto& r : rows) out.insert(out.end(), r.begin(), r.end());
  return out;
}

void expect_equal(const std::vector<ScoredId>& a, const std::vector<ScoredId>& b) {
  ASSERT_EQ(a.size(), b.size());
  for (std::size_t i = 0; i < a.size(); ++i) {
    EXPECT_EQ(a[i].id, b[i].id);
    EXPECT_EQ(a[i].distance, b[i].distance);
  }
}

// Any thread count gives each query exactly its single-threaded result, also
// when the filter's share sends the graph to an exhaustive scan.
TEST(BatchSearch, ThreadsGiveTheSingleQueryResults) {
  const std::size_t dim = 8;
  const auto stored = testing::clustered(600, dim, 6, 3);
  const HnswGraph graph = testing::build(stored, DistanceMetric::Cosine, 4);
  DenseFlat flat(dim, DistanceMetric::Cosine);
  ASSERT_TRUE(flat.append(flatten(stored)));
  IdBitmap even(700);
  for (std::uint64_t id = 0; id < 700; id += 2) even.set(id);
  for (std::size_t nq : {0u, 1u, 5u, 70u}) {
    const auto queries = flatten(testing::clustered(nq, dim, 6, 5 + nq));
    for (std::size_t threads : {1u, 2u, 3u, 0u}) {
      for (const IdFilter* filter : {static_cast<const IdFilter*>(nullptr),
                                     static_cast<const IdFilter*>(&even)}) {
        const SearchOptions options{.ef = 32, .filter = filter, .filter_fraction = 0.5,
                                    .exact_below = threads == 2 ? 0.6 : 0.05};
        auto g = search_batch(graph, queries, 7, options, threads);
        auto f = search_batch(flat, queries, 7, filter, threads);
        ASSERT_TRUE(g && f);
        ASSERT_EQ(g->size(), nq);
        ASSERT_EQ(f->size(), nq);
        for (std::size_t q = 0; q < nq; ++q) {
          const std::span<const float> one(queries.data() + q * dim, dim);
          expect_equal((*g)[q], *graph.search(one, 7, options));
          expect_equal((*f)[q], *flat.search(one, 7, filter));
        }
      }
    }
  }
  EXPECT_FALSE(search_batch(graph, std::vector<float>(dim + 1), 1, SearchOptions{}));
  EXPECT_FALSE(search_batch(flat, std::vector<float>(dim - 1), 1, nullptr));
}

}  // namespace
}  // namespace orvane::index
