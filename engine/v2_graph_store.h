// Graph persistence of format-2 HNSW collections: the whole graph as one
// snapshot image (index/hnsw_snapshot.h) in the collection's graph stream,
// written lazily and restored at open.
//
// Writing (save_graphs), never inside a user's call unit: each graph that
// changed enough since its stream was written is encoded and replaces the
// stream's bytes in place (Stream::rewrite), so that the file never keeps a
// stale image beside the new one: the stream's own pages through the log
// (straight from the encoded image, with no copy in the cache), the pages
// it grows by straight to free pages of the file (synchronised before the
// commit, not at SyncLevel::Off). It is one unit: a crash before its commit
// leaves the old image whole (its pages changed only in the log) and the new
// pages free, after it the new image; either is valid, since the open rule
// repairs by generation. The caller checkpoints right after a save.
//
// Reading (restore_graph): the image plus the current slot generations give
// the graph; only what changed since the image was written is inserted, and a
// damaged or foreign image means a build from the vectors.
#pragma once

#include <cstdint>
#include <span>

#include "engine/errors.h"
#include "engine/v2_store.h"
#include "index/hnsw_graph.h"
#include "index/hnsw_snapshot.h"
#include "storage/page_cache.h"
#include "storage/stream.h"
#include "storage/wal.h"

namespace orvane::engine {

enum class GraphSave : std::uint8_t {
  Changed,         // every graph that changed at all (close)
  QuarterChanged,  // graphs where more than a quarter of the nodes changed
};

// Writes the graphs `when` selects and returns how many. Nothing is written
// while the log holds frames: only right after a checkpoint are the pages the
// pager calls free also free in the file, with no logged or unsynchronised
// call that still names them. On failure no root changed.
// REQUIRES: the database's write mutex held, no unit open.
[[nodiscard]] EngineResult<std::uint64_t> save_graphs(V2Store& store, storage::Wal& wal,
                                                      GraphSave when);

// The graph of a collection at open, built in `empty` (no node yet, its
// vectors loaded in place: HnswGraph::load_vectors), `generations` each
// slot's generation (0 = free). Fails only when the stream cannot be read.
[[nodiscard]] EngineResult<index::RestoredHnsw> restore_graph(
    storage::PageCache& cache, const storage::Stream& graph, index::HnswGraph empty,
    std::span<const std::uint64_t> generations);

}  // namespace orvane::engine
