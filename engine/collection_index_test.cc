#include "engine/collection_index.h"

#include <gtest/gtest.h>

namespace orvane::engine {
namespace {

TEST(CollectionIndex, BothKindsBehindOneInterface) {
  for (bool hnsw : {false, true}) {
    SCOPED_TRACE(hnsw);
    CollectionIndex ix(hnsw, 2, index::DistanceMetric::Euclidean);
    EXPECT_EQ(ix.graph() != nullptr, hnsw);
    EXPECT_TRUE(ix.search(std::vector<float>{0, 0}, 5).value().empty());
    ASSERT_TRUE(ix.insert(1, std::vector<float>{0, 0}));
    ASSERT_TRUE(ix.insert(2, std::vector<float>{3, 4}));
    ASSERT_TRUE(ix.insert(2, std::vector<float>{6, 8}));  // replaced
    EXPECT_EQ(ix.count(), 2u);
    EXPECT_TRUE(ix.contains(2));
    auto r = ix.search(std::vector<float>{0, 0}, 5);
    ASSERT_TRUE(r);
    ASSERT_EQ(r->size(), 2u);
    EXPECT_EQ((*r)[1].id, 2u);
    EXPECT_EQ((*r)[1].distance, 10.0f);
    EXPECT_EQ(ix.insert(3, std::vector<float>{1}).error().to_string(),
              "Dimension mismatch: expected 2, got 1");
    ix.remove(2);
    ix.remove(7);  // absent: nothing happens
    EXPECT_EQ(ix.count(), 1u);
    EXPECT_FALSE(ix.contains(2));
  }
}

}  // namespace
}  // namespace orvane::engine
