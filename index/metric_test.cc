#include "index/metric.h"

#include <gtest/gtest.h>

namespace orvane::index {
namespace {

TEST(Metric, NamesValuesAndExactParsing) {
  EXPECT_EQ(static_cast<int>(DistanceMetric::Cosine), 0);
  EXPECT_EQ(static_cast<int>(DistanceMetric::Euclidean), 1);
  EXPECT_EQ(static_cast<int>(DistanceMetric::DotProduct), 2);
  EXPECT_EQ(metric_name(DistanceMetric::Cosine), "Cosine");
  EXPECT_EQ(metric_name(DistanceMetric::Euclidean), "Euclidean");
  EXPECT_EQ(metric_name(DistanceMetric::DotProduct), "DotProduct");
  EXPECT_EQ(metric_from_name("Cosine"), DistanceMetric::Cosine);
  EXPECT_EQ(metric_from_name("Euclidean"), DistanceMetric::Euclidean);
  EXPECT_EQ(metric_from_name("DotProduct"), DistanceMetric::DotProduct);
  for (const char* bad : {"cosine", "COSINE", "Dot", "dotproduct", "Euclidean ", "", "L2"}) {
    EXPECT_FALSE(metric_from_name(bad).has_value()) << bad;
  }
}

}  // namespace
}  // namespace orvane::index
