// The database object: open, close and destruction, and the collection
// lifecycle (create, get, list). The open sequence itself is in
// database_open.cc, the collection operations in operations.cc.
#include "engine/database.h"

#include "engine/database_impl.h"
#include "engine/file_validation.h"

namespace orvane::engine {

namespace {

std::unexpected<EngineError> failed(const storage::StorageError& e) {
  return std::unexpected<EngineError>(e);
}

}  // namespace

EngineResult<std::shared_ptr<Collection>> Database::Impl::find(const std::string& name) const {
  std::shared_lock lock(map_mutex);
  auto it = collections.find(name);
  if (it == collections.end()) return std::unexpected(EngineError::collection_not_found(name));
  return it->second;
}

void Database::Impl::after_call() {
  // At the threshold the log is written into the file and emptied; a
  // failure leaves the frames in the log, where the next offer finds them.
  (void)wal->offer_checkpoint(resolved_path);
}

Database::Database(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

EngineResult<std::shared_ptr<Database>> Database::open(const std::string& path) {
  auto impl = open_database(path);
  if (!impl) return std::unexpected(impl.error());
  return std::shared_ptr<Database>(new Database(std::move(*impl)));
}

Database::~Database() {
  if (impl_) (void)close();
}

const std::string& Database::path() const { return impl_->path; }

EngineResult<void> Database::close() {
  Impl& db = *impl_;
  std::lock_guard write(db.write_mutex);
  if (auto r = db.cache->flush_all(); !r) return failed(r.error());
  if (auto r = db.wal->checkpoint(db.resolved_path); !r) {
    return std::unexpected(
        EngineError::internal(kWalCheckpointFailedPrefix + r.error().to_string()));
  }
  if (storage::path_exists(db.wal->path())) {
    if (auto r = storage::remove_file(db.wal->path()); !r) {
      return std::unexpected(
          EngineError::internal(kWalCleanupFailedPrefix + r.error().to_string()));
    }
  }
  return {};
}

EngineResult<std::uint64_t> Database::get_collection(const std::string& name) {
  auto collection = impl_->find(name);
  if (!collection) return std::unexpected(collection.error());
  return (*collection)->config().dimension;
}

std::vector<std::string> Database::list_collections() {
  std::shared_lock lock(impl_->map_mutex);
  std::vector<std::string> names;
  names.reserve(impl_->collections.size());
  for (const auto& [name, collection] : impl_->collections) names.push_back(name);
  return names;
}

}  // namespace orvane::engine
