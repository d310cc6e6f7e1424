// Edge page image of an HnswGraph, built and applied in memory (the page
// cache glue is in hnsw_edges.cc).
//
// Header record, slot 0, 16 bytes:
//   offset 0  u64  entry point id, 0 when there is none
//   offset 8  u32  max_level (low 32 bits)
//   offset 12 u32  node count (low 32 bits)
// Node record, slots 1..N in slot order, 16 + sum(8 + 8c) bytes:
//   offset 0  u64  node id
//   offset 8  u32  level: the node's, raised to list count - 1 when a restored
//                  record gave it more lists than its level
//   offset 12 u32  list count (lists held, empty ones included)
//   offset 16      one block per non-empty list, ascending layer:
//                  u32 layer, u32 count c, c x u64 ids in list order
// All integers little-endian. The page's slot_count is N + 1.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "index/hnsw_graph.h"
#include "storage/types.h"

namespace orvane::index {

inline constexpr std::size_t kEdgeHeaderSize = 16;
inline constexpr std::size_t kEdgeRecordHeaderSize = 16;

struct EdgePageImage {
  std::vector<std::uint8_t> bytes;  // a whole page of type 2
  std::uint64_t records = 0;        // node records on it
};

// The snapshot as a fresh page image. When the header and every node record
// do not all fit (3056 bytes of records, 256 slots), the image is an empty
// page (slot_count 0) and records is 0: a partial snapshot would be worse
// than none, since a load keeps the graph its insertions built.
EdgePageImage build_edge_page(const HnswGraph& graph);

// The header record and one node record, as stored.
std::vector<std::uint8_t> encode_edge_header(const HnswGraph& graph);
std::vector<std::uint8_t> encode_node_record(const HnswGraph& graph, std::uint64_t id);

// Applies a page image to a graph that already holds the collection's nodes.
// Never fails: malformed input is bounded and passed over (see .cc).
void apply_edge_page(HnswGraph& graph, storage::PageId page_id, std::span<const std::uint8_t> page);

}  // namespace orvane::index
