// Format-2 reads: search through the index, get by id; ids come from memory,
// vectors and metadata from the streams through the page cache.
#include <cstring>

#include "engine/v2_collection.h"

namespace orvane::engine {

storage::Result<std::optional<std::string>> V2Collection::read_metadata(storage::PageCache& cache,
                                                                        std::uint64_t slot) const {
  const SlotRecord& r = slot_table_[slot];
  if (r.metadata_length == 0) return std::optional<std::string>();
  std::string text(r.metadata_length, '\0');
  auto bytes = std::span(reinterpret_cast<std::uint8_t*>(text.data()), text.size());
  if (auto rr = heap_.read(cache, r.heap_offset + r.id_length, bytes); !rr) {
    return std::unexpected(rr.error());
  }
  return std::optional<std::string>(std::move(text));
}

EngineResult<std::vector<SearchResult>> V2Collection::search(storage::PageCache& cache,
                                                             std::span<const float> query,
                                                             std::uint64_t k,
                                                             bool metadata) const {
  if (query.size() != config_.dimension) {
    return std::unexpected(EngineError::dimension_mismatch(config_.dimension, query.size()));
  }
  auto hits = index_.search(query, k);
  if (!hits) return std::unexpected(EngineError(hits.error()));
  std::vector<SearchResult> out;
  out.reserve(hits->size());
  for (const index::ScoredId& hit : *hits) {
    SearchResult r;
    r.id = slot_ids_[hit.id];
    r.score = hit.distance;
    if (metadata) {
      auto m = read_metadata(cache, hit.id);
      if (!m) return std::unexpected(EngineError(m.error()));
      r.metadata = std::move(*m);
    }
    out.push_back(std::move(r));
  }
  return out;
}

EngineResult<GetResult> V2Collection::get(storage::PageCache& cache,
                                          std::span<const std::string> ids,
                                          bool include_vectors) const {
  GetResult out;
  const std::uint64_t bytes_per = 4 * config_.dimension;
  std::vector<std::uint8_t> bytes(bytes_per);
  for (const std::string& id : ids) {
    auto slot = ids_.find(id);
    if (!slot) continue;
    out.ids.push_back(id);
    if (include_vectors) {
      if (auto r = vectors_.read(cache, *slot * bytes_per, bytes); !r) {
        return std::unexpected(EngineError(r.error()));
      }
      const std::size_t at = out.vectors.size();
      out.vectors.resize(at + config_.dimension);
      std::memcpy(out.vectors.data() + at, bytes.data(), bytes_per);
    }
    auto m = read_metadata(cache, *slot);
    if (!m) return std::unexpected(EngineError(m.error()));
    out.metadata.push_back(std::move(*m));
  }
  return out;
}

CollectionInfo V2Collection::info() const {
  CollectionInfo info;
  info.name = name_;
  info.dimension = config_.dimension;
  info.metric = std::string(index::metric_name(config_.metric));
  info.index = config_.index;
  info.count = ids_.size();
  return info;
}

}  // namespace orvane::engine
