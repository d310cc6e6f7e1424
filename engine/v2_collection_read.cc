// Format-2 reads by id: ids come from memory, vectors and metadata from the
// streams through the page cache.
#include <cstring>

#include "engine/v2_collection.h"
#include "storage/try.h"

namespace orvane::engine {

storage::Result<std::optional<std::string>> V2Collection::read_metadata(storage::PageCache& cache,
                                                                        std::uint64_t slot) const {
  const SlotRecord& r = slot_table_[slot];
  if (r.metadata_length == 0) return std::optional<std::string>();
  std::string text(r.metadata_length, '\0');
  auto bytes = std::span(reinterpret_cast<std::uint8_t*>(text.data()), text.size());
  ORVANE_TRY(heap_.read(cache, r.heap_offset + r.id_length, bytes));
  return std::optional<std::string>(std::move(text));
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

std::vector<std::string> V2Collection::live_ids() const {
  std::vector<std::string> out;
  out.reserve(ids_.size());
  for (std::uint64_t s = 0; s < slot_table_.size(); ++s) {
    if (slot_table_[s].generation != 0) out.push_back(slot_ids_[s]);
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
