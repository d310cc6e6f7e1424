// CollectionConfig and its JSON form in the catalog page (page type 4): one
// slotted page whose records are the configurations in creation order.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "index/metric.h"
#include "storage/page_cache.h"

namespace orvane::engine {

struct CollectionConfig {
  std::string name;
  std::uint64_t dimension = 0;
  index::DistanceMetric distance = index::DistanceMetric::Cosine;
  std::string description;
  storage::PageId data_root_page = 0;      // 0: not yet allocated
  storage::PageId metadata_root_page = 0;  // 0: not yet allocated
  storage::PageId hnsw_edge_page = 0;      // 0: none
  std::string index_type = "flat";

  // Exactly "hnsw" selects the graph; every other text the flat index.
  bool uses_hnsw() const { return index_type == "hnsw"; }
  bool operator==(const CollectionConfig&) const = default;
};

// The metric argument of create_collection: "dot" and "euclidean" (exact,
// case-sensitive) select DotProduct and Euclidean; anything else Cosine.
index::DistanceMetric metric_from_argument(std::optional<std::string_view> argument);

// One JSON object without white space, the eight members in field order.
// Fails with the JSON library's message when a text is not valid UTF-8.
std::expected<std::string, std::string> encode_config(const CollectionConfig& config);

// Parses one catalog record: an object (members in any order, unknown members
// ignored, `name` and `dimension` required, others defaulted, a member named
// twice refused) or an array holding the fields positionally (at least name
// and dimension, at most eight; missing trailing fields take their defaults).
// Integers must be non-negative and fit in 64 bits; metric names are
// case-sensitive; only blanks may surround the value.
std::optional<CollectionConfig> decode_config(std::span<const std::uint8_t> record);

// The decodable configurations of the catalog page, in slot order (records
// that do not decode are skipped). Fails only when the page cannot be read.
[[nodiscard]] storage::Result<std::vector<CollectionConfig>> read_catalog(storage::PageCache& cache,
                                                                          storage::PageId page);

}  // namespace orvane::engine
