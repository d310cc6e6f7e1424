#include "index/errors.h"

#include <gtest/gtest.h>

namespace orvane::index {
namespace {

TEST(VectorIndexError, KindsAndTexts) {
  using K = VectorIndexError::Kind;
  const VectorIndexError dim = VectorIndexError::dimension_mismatch(4, 3);
  EXPECT_EQ(dim.kind(), K::DimensionMismatch);
  EXPECT_EQ(dim.to_string(), "Dimension mismatch: expected 4, got 3");
  EXPECT_EQ(VectorIndexError::dimension_mismatch(18446744073709551615u, 0).to_string(),
            "Dimension mismatch: expected 18446744073709551615, got 0");
  const VectorIndexError missing = VectorIndexError::vector_not_found(42);
  EXPECT_EQ(missing.kind(), K::VectorNotFound);
  EXPECT_EQ(missing.to_string(), "Vector not found: id=42");
  EXPECT_EQ(VectorIndexError::index_empty().kind(), K::IndexEmpty);
  EXPECT_EQ(VectorIndexError::index_empty().to_string(), "Index is empty");
  EXPECT_EQ(VectorIndexError::invalid_parameter("k").kind(), K::InvalidParameter);
  EXPECT_EQ(VectorIndexError::invalid_parameter("k").to_string(), "Invalid parameter: k");
  EXPECT_EQ(VectorIndexError::invalid_parameter("").to_string(), "Invalid parameter: ");
  EXPECT_EQ(VectorIndexError::storage("x y").kind(), K::Storage);
  EXPECT_EQ(VectorIndexError::storage("x y").to_string(), "Storage error: x y");
}

}  // namespace
}  // namespace orvane::index
