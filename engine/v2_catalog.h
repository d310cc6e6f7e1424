// The catalog stream of a format-2 file: one entry per created collection,
// appended at create; a deleted collection's entry has its live flag
// cleared.
//
//   offset size field
//   0      4    entry length in bytes, this header included
//   4      4    flags: bit 0 live
//   8      8    slots stream root
//   16     8    vectors stream root
//   24     8    heap stream root
//   32     8    graph stream root (0 = no snapshot)
//   40     4    name length N
//   44     N    name, UTF-8
//   44+N   rest configuration JSON
//
// Configuration JSON: {"dimension":D,"metric":"Cosine","index_type":"hnsw",
// "m":16,"ef_construction":200,"ef_search":64}.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "engine/database.h"
#include "index/metric.h"
#include "storage/errors.h"
#include "storage/types.h"

namespace orvane::engine {

inline constexpr std::uint64_t kCatalogEntryHeader = 44;
inline constexpr std::uint64_t kCatalogRootsOffset = 8;
inline constexpr std::uint64_t kCatalogFlagsOffset = 4;

struct V2Config {
  std::uint64_t dimension = 0;
  index::DistanceMetric metric = index::DistanceMetric::Cosine;
  IndexSpec index;
  bool operator==(const V2Config&) const = default;
};

// slots, vectors, heap, graph.
using StreamRoots = std::array<storage::PageId, 4>;

struct CatalogEntry {
  std::uint64_t offset = 0;  // in the catalog stream
  bool live = true;
  StreamRoots roots{};
  std::string name;
  V2Config config;
};

std::string encode_v2_config(const V2Config& config);
std::vector<std::uint8_t> encode_catalog_entry(const CatalogEntry& entry);
std::array<std::uint8_t, 32> encode_roots(const StreamRoots& roots);
// Every entry of the catalog stream's bytes, dead ones included; "invalid
// database file: catalog ..." when an entry overruns, a configuration does
// not parse or a live name repeats.
[[nodiscard]] storage::Result<std::vector<CatalogEntry>> decode_catalog(
    std::span<const std::uint8_t> bytes);

}  // namespace orvane::engine
