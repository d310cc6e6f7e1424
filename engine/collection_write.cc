// Insert and delete. Both check everything that can refuse the call before
// changing anything, append their records inside the call unit, change the
// in-memory state, and commit; a commit that fails undoes the in-memory
// change, so a failed call leaves no trace (the id counter may advance),
// except the id that an insert of the wrong length registers.
#include <mutex>

#include "engine/collection.h"
#include "engine/id_counter.h"
#include "engine/json_text.h"
#include "engine/record_format.h"
#include "index/hnsw_edges.h"
#include "storage/page.h"

namespace orvane::engine {

std::string Collection::draw_external_id() const {
  // The counter is reset at every open and shared by every database of the
  // process, so a drawn number can name an id that already exists.
  for (;;) {
    std::string id = "doc_" + std::to_string(draw_id());
    if (!ids_.contains(id)) return id;
  }
}

std::uint64_t Collection::draw_internal_id() const {
  // 0 is never handed out: the edge page uses it for "no entry point".
  for (;;) {
    const std::uint64_t id = draw_id();
    if (id != 0 && !externals_.contains(id) && !index_.contains(id)) return id;
  }
}

EngineResult<bool> Collection::fits(storage::PageId page_id, std::size_t length) const {
  auto page = cache_->fetch_page(page_id);
  if (!page) return std::unexpected(EngineError(page.error()));
  std::shared_lock lock((*page)->mutex());
  return storage::record_fits(std::as_const(**page).bytes(), length);
}

void Collection::forget(const std::string& id) {
  auto it = ids_.find(id);
  if (it == ids_.end()) return;
  index_.remove(it->second);
  externals_.erase(it->second);
  ids_.erase(it);
}

EngineResult<std::string> Collection::insert(std::optional<std::string> given_id,
                                             std::span<const float> vector,
                                             const nlohmann::json* metadata, CallUnit& unit) {
  // Both draws come first, so the ids a later call generates do not depend
  // on whether or why this one fails.
  std::string id = given_id ? std::move(*given_id) : draw_external_id();
  const auto known = ids_.find(id);
  const bool is_new = known == ids_.end();
  const std::uint64_t internal_id = is_new ? draw_internal_id() : known->second;

  auto refuse = [&](EngineError e) -> EngineResult<std::string> {
    unit.rollback();
    return std::unexpected(std::move(e));
  };
  if (!recorded_) return refuse(EngineError::internal(kCatalogFull));
  if (vector.size() != config_.dimension) {
    // The id stays known without a vector, as a later delete expects: it
    // writes its marker. Nothing reaches the pages.
    if (is_new) {
      ids_.emplace(id, internal_id);
      externals_.emplace(internal_id, id);
    }
    return refuse(EngineError::dimension_mismatch(config_.dimension, vector.size()));
  }

  // Everything else that can refuse the call is checked before anything changes.
  auto vector_fits = fits(config_.data_root_page, vector_record_length(id.size(), vector.size()));
  if (!vector_fits) return refuse(vector_fits.error());
  if (!*vector_fits) return refuse(EngineError::internal(kVectorPageFull));
  std::optional<std::string> metadata_text;
  if (metadata) {
    RenderedJson rendered = render_json(*metadata);
    if (!rendered.text) {
      return refuse(MetadataError(MetadataError::Kind::Serialization, std::move(rendered.error)));
    }
    metadata_text = std::move(rendered.text);
    auto doc_fits =
        fits(config_.metadata_root_page, marker_length(id.size()) + metadata_text->size());
    if (!doc_fits) return refuse(doc_fits.error());
    if (!*doc_fits) return refuse(EngineError::internal(kMetadataPageFull));
  }

  auto appended = unit.cache().append_record(config_.data_root_page,
                                             encode_vector_record(id, internal_id, vector));
  if (!appended) return refuse(appended.error());
  if (!*appended) return refuse(EngineError::internal(kVectorPageFull));
  if (metadata_text) {
    appended = unit.cache().append_record(config_.metadata_root_page,
                                          encode_metadata_record(id, *metadata_text));
    if (!appended) return refuse(appended.error());
    if (!*appended) return refuse(EngineError::internal(kMetadataPageFull));
  }

  if (auto r = index_.insert(internal_id, vector); !r) {
    unit.rollback();
    // The graph drops a replaced node before it re-inserts it; put the
    // stored vector back when the re-insert fails.
    if (!is_new && !index_.contains(internal_id)) {
      if (auto old = vector_on_page(id)) (void)index_.insert(internal_id, old->components);
    }
    return std::unexpected(EngineError(r.error()));
  }
  if (is_new) {
    ids_.emplace(id, internal_id);
    externals_.emplace(internal_id, id);
  }
  std::optional<nlohmann::json> old_document;
  if (metadata) {
    if (const nlohmann::json* old = metadata_.find(id)) old_document = *old;
    metadata_.upsert(id, *metadata);
  }
  if (index::HnswGraph* graph = index_.graph(); graph && config_.hnsw_edge_page != 0) {
    // A snapshot that cannot be written costs only link quality at the next
    // open; the insert itself is complete.
    (void)index::persist_edges(*graph, unit.cache(), config_.hnsw_edge_page);
  }

  if (auto r = unit.commit(); !r) {
    // The pages are back as before the call: make memory agree with them.
    if (is_new) {
      forget(id);
    } else if (auto old = vector_on_page(id)) {
      (void)index_.insert(internal_id, old->components);
    } else {
      index_.remove(internal_id);  // the id was known without a vector
    }
    if (metadata) {
      if (old_document) {
        metadata_.upsert(id, std::move(*old_document));
      } else {
        metadata_.erase(id);
      }
    }
    return std::unexpected(EngineError(r.error()));
  }
  return id;
}

EngineResult<void> Collection::remove(const std::string& id, CallUnit& unit) {
  if (!recorded_) {
    unit.rollback();
    return std::unexpected(EngineError::internal(kCatalogFull));
  }
  const bool known = ids_.contains(id);
  if (known) {
    // A deletion that cannot be stored would come back at the next open:
    // refuse it instead of reporting it done.
    const Bytes marker = encode_deletion_marker(id);
    auto appended = unit.cache().append_record(config_.data_root_page, marker);
    if (!appended || !*appended) {
      unit.rollback();
      if (!appended) return std::unexpected(EngineError(appended.error()));
      return std::unexpected(EngineError::internal(kVectorPageFull));
    }
  }
  if (config_.metadata_root_page != 0) {
    // Best effort: a marker that does not fit changes nothing.
    (void)unit.cache().append_record(config_.metadata_root_page, encode_deletion_marker(id));
  }
  if (auto r = unit.commit(); !r) {
    if (known) return std::unexpected(EngineError(r.error()));
    return {};  // only the best-effort marker was lost
  }
  forget(id);
  metadata_.erase(id);
  return {};
}

}  // namespace orvane::engine
