// Edge snapshots through the page cache. A snapshot replaces the whole page
// image, so the page always holds exactly one readable snapshot (or none).
#include "index/hnsw_edges.h"

#include <shared_mutex>

#include "index/hnsw_edge_page.h"
#include "storage/try.h"

namespace orvane::index {

std::expected<std::uint64_t, std::string> persist_edges(const HnswGraph& graph,
                                                        storage::PageCache& cache,
                                                        storage::PageId edge_page) {
  const EdgePageImage image = build_edge_page(graph);
  if (auto written = cache.replace_page(edge_page, image.bytes); !written) {
    return std::unexpected(written.error().to_string());
  }
  return image.records;
}

storage::Result<void> restore_edges(HnswGraph& graph, storage::PageCache& cache,
                                    storage::PageId edge_page) {
  auto page = cache.fetch_page(edge_page);
  ORVANE_TRY(page);
  std::shared_lock lock((*page)->mutex());
  apply_edge_page(graph, edge_page, (*page)->bytes());
  return {};
}

}  // namespace orvane::index
