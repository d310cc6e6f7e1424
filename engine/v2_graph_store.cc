#include "engine/v2_graph_store.h"

#include <array>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <vector>

#include "storage/coding.h"

namespace orvane::engine {
namespace {

constexpr std::uint64_t kGraphRootOffset = kCatalogRootsOffset + 24;

bool wanted(const V2Collection& c, GraphSave when) {
  const index::HnswGraph* graph = c.hnsw();
  if (graph == nullptr || c.graph_changes() == 0) return false;
  // A quarter bounds what a crash leaves for the open to re-insert, while a
  // collection that keeps growing rewrites its image a logarithmic number of
  // times: the writes stay linear in the final size.
  return when == GraphSave::Changed || c.graph_changes() > graph->node_count() / 4;
}

struct Written {
  V2Collection* collection;
  storage::Stream stream;
  std::vector<std::uint8_t> image;  // logged from here when the unit commits
};

}  // namespace

EngineResult<std::uint64_t> save_graphs(V2Store& store, storage::Wal& wal, GraphSave when) {
  if (wal.frame_count() != 0) return 0;
  storage::V2Pager& pager = *store.pager;
  std::vector<Written> written;
  pager.begin();
  // The write mutex keeps every collection as it is; readers may go on.
  for (const auto& [name, collection] : store.collections) {
    V2Collection& c = *collection;
    std::vector<std::uint8_t> image;
    {
      std::unique_lock lock(c.mutex());
      if (!wanted(c, when)) continue;
      c.link_graph();
    }
    {
      std::shared_lock lock(c.mutex());
      auto encoded = index::encode_hnsw_snapshot(*c.hnsw(), c.generations());
      if (!encoded) {
        pager.rollback();
        return std::unexpected(EngineError(encoded.error()));
      }
      image = std::move(*encoded);
    }
    written.push_back({&c, c.graph_stream(), std::move(image)});
    if (auto r = written.back().stream.rewrite(pager, written.back().image); !r) {
      pager.rollback();
      return failed(r.error());
    }
  }
  if (written.empty()) {
    pager.rollback();
    return 0;
  }
  // The pager synchronises the pages written straight before the commit
  // that names them.
  for (Written& w : written) {
    if (w.stream.root() == w.collection->graph_stream().root()) continue;
    std::array<std::uint8_t, 8> root{};
    storage::put_u64(root.data(), w.stream.root());
    const std::uint64_t at = store.entry_offsets.at(w.collection->name()) + kGraphRootOffset;
    if (auto r = store.catalog.write(pager, at, root); !r) {
      pager.rollback();
      return failed(r.error());
    }
  }
  if (auto r = pager.commit(wal); !r) return failed(r.error());
  for (Written& w : written) {
    std::unique_lock lock(w.collection->mutex());
    w.collection->graph_saved(std::move(w.stream));
  }
  return written.size();
}

EngineResult<index::RestoredHnsw> restore_graph(storage::PageCache& cache,
                                                const storage::Stream& graph,
                                                index::HnswGraph empty,
                                                std::span<const std::uint64_t> generations) {
  // Whole pages in one buffer, not zeroed first (the read fills it); the
  // codec checks everything in it.
  const std::uint64_t pages = graph.data_page_count();
  auto image = std::make_unique_for_overwrite<std::uint8_t[]>(pages * storage::kPageSize);
  const std::span<std::uint8_t> bytes(image.get(), pages * storage::kPageSize);
  if (auto r = graph.read_pages(cache, 0, pages, bytes); !r) return failed(r.error());
  auto restored = index::restore_hnsw(bytes.first(graph.size()), std::move(empty), generations);
  if (!restored) return std::unexpected(EngineError(restored.error()));
  return std::move(*restored);
}

}  // namespace orvane::engine
