// Collection operations: look the collection up (map lock, released at
// once), then hold its lock: shared for search and count; exclusive, inside
// the write mutex and one call unit, for insert and delete.
#include <mutex>

#include "engine/database_impl.h"

namespace orvane::engine {

EngineResult<std::string> Database::insert(const std::string& collection,
                                           std::optional<std::string> id,
                                           std::span<const float> vector,
                                           const nlohmann::json* metadata) {
  auto c = impl_->find(collection);
  if (!c) return std::unexpected(c.error());
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
  auto c = impl_->find(collection);
  if (!c) return std::unexpected(c.error());
  std::shared_lock lock((*c)->mutex());
  if (!query) return std::unexpected(EngineError::invalid_configuration(kQueryRequired));
  return (*c)->search(*query, top_k);
}

EngineResult<void> Database::remove(const std::string& collection, const std::string& id) {
  auto c = impl_->find(collection);
  if (!c) return std::unexpected(c.error());
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
  auto c = impl_->find(collection);
  if (!c) return std::unexpected(c.error());
  std::shared_lock lock((*c)->mutex());
  return (*c)->live_count();
}

}  // namespace orvane::engine
