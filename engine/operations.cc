// Collection operations: look the collection up (map lock, released at
// once), then hold its lock: shared for search and count; exclusive, inside
// the write mutex and one call unit, for insert and delete.
#include <mutex>

#include "engine/database_impl.h"
#include "engine/json_text.h"
#include "storage/try.h"

namespace orvane::engine {

EngineResult<std::string> Database::insert(const std::string& collection,
                                           std::optional<std::string> id,
                                           std::span<const float> vector,
                                           const nlohmann::json* metadata) {
  if (impl_->v2) return insert_v2(collection, std::move(id), vector, metadata);
  auto c = impl_->find(collection);
  ORVANE_TRY(c);
  std::lock_guard write(impl_->write_mutex);
  EngineResult<std::string> result;
  {
    std::unique_lock lock((*c)->mutex());
    CallUnit unit(*impl_->cache, *impl_->wal);
    result = (*c)->insert(std::move(id), vector, metadata, unit);
  }
  if (result) impl_->after_call();
  return result;
}

EngineResult<std::vector<SearchResult>> Database::search(
    const std::string& collection, std::optional<std::span<const float>> query,
    std::uint64_t top_k) {
  if (impl_->v2) {
    ORVANE_TRY(impl_->owner.check());
    if (!query) return std::unexpected(EngineError::invalid_configuration(kQueryRequired));
    auto found = search_batch(collection, *query, 1, top_k, nullptr, 0, 1, true);
    ORVANE_TRY(found);
    std::vector<SearchResult> out;
    for (std::uint64_t i = 0; i < found->counts[0]; ++i) {
      out.push_back({found->ids[i], found->scores[i], found->metadata[i]});
    }
    return out;
  }
  auto c = impl_->find(collection);
  ORVANE_TRY(c);
  std::shared_lock lock((*c)->mutex());
  if (!query) return std::unexpected(EngineError::invalid_configuration(kQueryRequired));
  return (*c)->search(*query, top_k);
}

EngineResult<void> Database::remove(const std::string& collection, const std::string& id) {
  if (impl_->v2) {
    auto removed = remove_batch(collection, std::span(&id, 1), nullptr);
    ORVANE_TRY(removed);
    return {};
  }
  auto c = impl_->find(collection);
  ORVANE_TRY(c);
  std::lock_guard write(impl_->write_mutex);
  EngineResult<void> result;
  {
    std::unique_lock lock((*c)->mutex());
    CallUnit unit(*impl_->cache, *impl_->wal);
    result = (*c)->remove(id, unit);
  }
  if (result) impl_->after_call();
  return result;
}

EngineResult<std::uint64_t> Database::count(const std::string& collection) {
  if (impl_->v2) {
    auto info = collection_info(collection);
    ORVANE_TRY(info);
    return info->count;
  }
  auto c = impl_->find(collection);
  ORVANE_TRY(c);
  std::shared_lock lock((*c)->mutex());
  return (*c)->live_count();
}

EngineResult<std::string> Database::insert_v2(const std::string& collection,
                                              std::optional<std::string> id,
                                              std::span<const float> vector,
                                              const nlohmann::json* metadata) {
  std::vector<std::optional<std::string>> text;
  if (metadata) {
    RenderedJson rendered = render_json(*metadata);
    if (!rendered.text) {
      return std::unexpected(
          MetadataError(MetadataError::Kind::Serialization, std::move(rendered.error)));
    }
    text.push_back(std::move(rendered.text));
  }
  std::vector<std::string> ids;
  if (id) ids.push_back(std::move(*id));
  auto added = add(collection, vector, 1, ids, text, WriteMode::Upsert);
  ORVANE_TRY(added);
  return std::move(added->front());
}

}  // namespace orvane::engine
