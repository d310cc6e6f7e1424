#include "index/metric.h"

namespace orvane::index {

std::string_view metric_name(DistanceMetric m) {
  switch (m) {
    case DistanceMetric::Cosine:
      return "Cosine";
    case DistanceMetric::Euclidean:
      return "Euclidean";
    case DistanceMetric::DotProduct:
      return "DotProduct";
  }
  return "Cosine";  // unreachable for a valid enumerator
}

std::optional<DistanceMetric> metric_from_name(std::string_view name) {
  for (DistanceMetric m :
       {DistanceMetric::Cosine, DistanceMetric::Euclidean, DistanceMetric::DotProduct}) {
    if (name == metric_name(m)) return m;
  }
  return std::nullopt;
}

}  // namespace orvane::index
