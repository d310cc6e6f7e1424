// Edge page persistence of an HnswGraph (page type 2).
//
// Header record (slot 0, 16 bytes): u64 entry id (0 = none), u32 max_level, u32 node count.
// Node record (slots 1..N): u64 id, u32 level, u32 list count, then one block
// per non-empty list: u32 layer, u32 count c, c x u64 ids.
// Each snapshot resets the page and writes slots 0..N with slot_count N + 1; a
// snapshot that does not fit leaves the page empty (slot_count 0).
#pragma once

#include <cstdint>
#include <expected>
#include <string>

#include "index/hnsw_graph.h"
#include "storage/page_cache.h"

namespace orvane::index {

// Returns the number of node records written, or the storage error's text.
[[nodiscard]] std::expected<std::uint64_t, std::string> persist_edges(
    const HnswGraph& graph, storage::PageCache& cache, storage::PageId edge_page);

// Applies the stored snapshot to a graph that already holds the nodes.
[[nodiscard]] storage::Result<void> restore_edges(HnswGraph& graph, storage::PageCache& cache,
                                                  storage::PageId edge_page);

}  // namespace orvane::index
