// Distance metrics and scored ids. Scores are distances: smaller is closer.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace orvane::index {

enum class DistanceMetric : std::uint8_t { Cosine = 0, Euclidean = 1, DotProduct = 2 };

// "Cosine", "Euclidean", "DotProduct".
std::string_view metric_name(DistanceMetric m);
// Exact, case-sensitive inverse of metric_name.
std::optional<DistanceMetric> metric_from_name(std::string_view name);

// An internal id with its distance, ordered by distance alone.
struct ScoredId {
  std::uint64_t id = 0;
  float distance = 0.0f;
};

}  // namespace orvane::index
