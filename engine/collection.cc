// Loading a collection (page allocation, replay) and reading it (search).
// Writing is in collection_write.cc.
#include "engine/collection.h"

#include <mutex>
#include <optional>
#include <unordered_map>

#include "engine/json_text.h"
#include "index/hnsw_edges.h"
#include "storage/page.h"
#include "storage/try.h"

namespace orvane::engine {

namespace {

storage::Result<void> allocate_if_missing(storage::PageCache& cache, storage::PageId& field,
                                          std::uint8_t page_type) {
  if (field != 0) return {};
  auto id = cache.allocate_page(page_type);
  ORVANE_TRY(id);
  field = *id;
  return {};
}

// Calls on_record(bytes) for every present record of the page, in slot order,
// holding the page's lock shared.
template <class OnRecord>
storage::Result<void> for_each_record(storage::PageCache& cache, storage::PageId id,
                                      OnRecord&& on_record) {
  auto page = cache.fetch_page(id);
  ORVANE_TRY(page);
  std::shared_lock lock((*page)->mutex());
  const auto bytes = std::as_const(**page).bytes();
  const std::uint16_t slots = storage::PageHeader::decode(bytes).slot_count;
  for (std::uint16_t slot = 0; slot < slots; ++slot) {
    if (auto record = storage::read_record(id, bytes, slot)) on_record(*record);
  }
  return {};
}

}  // namespace

Collection::Collection(CollectionConfig config, std::shared_ptr<storage::PageCache> cache)
    : config_(std::move(config)),
      cache_(std::move(cache)),
      index_(config_.uses_hnsw(), config_.dimension, config_.distance) {}

EngineResult<std::shared_ptr<Collection>> Collection::materialise(
    CollectionConfig& config, std::shared_ptr<storage::PageCache> cache) {
  const bool hnsw = config.uses_hnsw();
  ORVANE_TRY(allocate_if_missing(*cache, config.data_root_page, storage::kPageTypeVectorData));
  ORVANE_TRY(allocate_if_missing(*cache, config.metadata_root_page, storage::kPageTypeMetadata));
  if (hnsw) {
    ORVANE_TRY(allocate_if_missing(*cache, config.hnsw_edge_page, storage::kPageTypeHnswEdges));
  }
  std::shared_ptr<Collection> c(new Collection(config, std::move(cache)));
  ORVANE_TRY(c->load());
  return c;
}

EngineResult<std::shared_ptr<Collection>> Collection::load_unrecorded(
    const CollectionConfig& config, std::shared_ptr<storage::PageCache> cache) {
  std::shared_ptr<Collection> c(new Collection(config, std::move(cache)));
  c->recorded_ = false;
  ORVANE_TRY(c->load());
  return c;
}

EngineResult<void> Collection::load() {
  ORVANE_TRY(replay_vector_page());
  ORVANE_TRY(replay_metadata_page());
  if (config_.uses_hnsw() && config_.hnsw_edge_page != 0) {
    // The stored snapshot replaces the links that re-inserting produced.
    if (auto r = index::restore_edges(*index_.graph(), *cache_, config_.hnsw_edge_page); !r) {
      return std::unexpected(EngineError::internal(r.error().to_string()));
    }
  }
  return {};
}

storage::Result<void> Collection::replay_vector_page() {
  if (config_.data_root_page == 0) return {};
  // A deletion marker hides only the records before it, so a vector deleted
  // and inserted again comes back.
  std::vector<std::optional<DecodedVector>> records;
  std::unordered_map<std::string, std::vector<std::size_t>> shown;  // id -> unhidden records
  // Internal id -> the id whose latest unhidden record holds it. A record
  // under an internal id that another id holds takes it, and that id is gone
  // for good: a marker that later hides the taker brings nothing back, as
  // when the same calls run against the open collection.
  std::unordered_map<std::uint64_t, std::string> holder;
  // Lets go of the internal id that `id`'s latest record holds.
  auto release = [&](const std::string& id, const std::vector<std::size_t>& at) {
    const std::uint64_t held = records[at.back()]->internal_id;
    if (auto h = holder.find(held); h != holder.end() && h->second == id) holder.erase(h);
  };
  auto hide = [&](const std::string& id) {
    auto it = shown.find(id);
    if (it == shown.end()) return;
    release(id, it->second);
    for (std::size_t i : it->second) records[i].reset();
    shown.erase(it);
  };
  auto read = for_each_record(*cache_, config_.data_root_page, [&](std::span<const std::uint8_t> rec) {
    if (auto id = decode_marker(rec)) {
      hide(*id);
    } else if (auto vector = decode_vector_record(rec)) {
      if (auto it = shown.find(vector->id); it != shown.end()) release(vector->id, it->second);
      if (auto h = holder.find(vector->internal_id); h != holder.end() && h->second != vector->id) {
        hide(std::string(h->second));
      }
      holder[vector->internal_id] = vector->id;
      shown[vector->id].push_back(records.size());
      records.push_back(std::move(vector));
    }
  });
  if (!read) return read;
  // The latest record of an id wins; one under another internal id before it
  // is dropped here rather than removed from the index later, which would
  // move other entries and change the order of equal scores.
  for (const auto& [id, indices] : shown) {
    const std::uint64_t latest = records[indices.back()]->internal_id;
    for (std::size_t i : indices) {
      if (records[i]->internal_id != latest) records[i].reset();
    }
  }
  // The index is built in the order the surviving records stand on the page.
  for (std::optional<DecodedVector>& record : records) {
    if (record) apply_vector(std::move(*record));
  }
  return {};
}

storage::Result<void> Collection::replay_metadata_page() {
  if (config_.metadata_root_page == 0) return {};
  // Same rule as the vector data page: a marker removes the documents before it.
  return for_each_record(*cache_, config_.metadata_root_page,
                         [&](std::span<const std::uint8_t> rec) {
                           if (auto id = decode_marker(rec)) {
                             metadata_.erase(*id);
                           } else if (auto doc = decode_metadata_record(rec)) {
                             metadata_.upsert(doc->id, std::move(doc->metadata));
                           }
                         });
}

void Collection::apply_vector(DecodedVector&& record) {
  // A record the index refuses (a wrong length) still names its id, as the
  // insert that fails the same way does; the index keeps what it held.
  if (record.components.size() == config_.dimension) {
    (void)index_.insert(record.internal_id, record.components);
  }
  if (auto it = ids_.find(record.id); it != ids_.end() && it->second != record.internal_id) {
    index_.remove(it->second);
    externals_.erase(it->second);
  }
  // An internal id names one external id: a file written while ids could
  // collide may hold two; the later record took the vector's place.
  if (auto it = externals_.find(record.internal_id);
      it != externals_.end() && it->second != record.id) {
    ids_.erase(it->second);
  }
  ids_.insert_or_assign(record.id, record.internal_id);
  externals_.insert_or_assign(record.internal_id, std::move(record.id));
}

EngineResult<std::vector<SearchResult>> Collection::search(std::span<const float> query,
                                                           std::uint64_t top_k) const {
  if (query.size() != config_.dimension) {
    return std::unexpected(EngineError::dimension_mismatch(config_.dimension, query.size()));
  }
  auto scored = index_.search(query, top_k);
  if (!scored) return std::unexpected(EngineError(scored.error()));
  std::vector<SearchResult> results;
  results.reserve(scored->size());
  for (const index::ScoredId& s : *scored) {
    SearchResult r;
    auto it = externals_.find(s.id);
    r.id = it != externals_.end() ? it->second : "unknown_" + std::to_string(s.id);
    r.score = s.distance;
    if (const nlohmann::json* doc = metadata_.find(r.id)) r.metadata = render_json(*doc).text;
    results.push_back(std::move(r));
  }
  return results;
}

std::optional<DecodedVector> Collection::vector_on_page(const std::string& id) const {
  std::optional<DecodedVector> latest;
  auto r = for_each_record(*cache_, config_.data_root_page, [&](std::span<const std::uint8_t> rec) {
    if (auto marker = decode_marker(rec)) {
      if (*marker == id) latest.reset();
    } else if (auto vector = decode_vector_record(rec)) {
      if (vector->id != id) return;
      // A record of the wrong length names the id without a vector.
      const bool usable = vector->components.size() == config_.dimension;
      latest = usable ? std::move(vector) : std::nullopt;
    }
  });
  if (!r) return std::nullopt;
  return latest;
}

EngineResult<std::vector<Collection::Stored>> Collection::stored() const {
  // The latest record of each id; a record after a marker stands anew. A
  // marker drops the entry outright: at dimension 0 an emptied vector would
  // still look whole.
  std::vector<Stored> all;
  std::vector<bool> dropped;
  std::unordered_map<std::string, std::size_t> at;
  auto r = for_each_record(*cache_, config_.data_root_page, [&](std::span<const std::uint8_t> rec) {
    if (auto marker = decode_marker(rec)) {
      if (auto it = at.find(*marker); it != at.end()) {
        dropped[it->second] = true;
        at.erase(it);
      }
    } else if (auto vector = decode_vector_record(rec)) {
      auto [it, added] = at.try_emplace(vector->id, all.size());
      if (added) {
        all.push_back(Stored{vector->id, {}, std::nullopt});
        dropped.push_back(false);
      }
      all[it->second].vector = std::move(vector->components);
    }
  });
  if (!r) return failed(r.error());
  std::vector<Stored> out;
  for (std::size_t i = 0; i < all.size(); ++i) {
    const auto id = ids_.find(all[i].id);
    if (dropped[i] || all[i].vector.size() != config_.dimension || id == ids_.end() ||
        !index_.contains(id->second)) {
      continue;
    }
    out.push_back(std::move(all[i]));
  }
  for (Stored& s : out) {
    if (const nlohmann::json* doc = metadata_.find(s.id)) s.metadata = render_json(*doc).text;
  }
  return out;
}

}  // namespace orvane::engine
