// The database object: open, close and destruction, and the collection
// lifecycle (create, get, list). The open sequence itself is in
// database_open.cc, the collection operations in operations.cc.
#include "engine/database.h"

#include "engine/database_impl.h"
#include "engine/file_validation.h"
#include "engine/open_registry.h"
#include "engine/v2_graph_store.h"
#include "storage/try.h"

namespace orvane::engine {

EngineResult<std::shared_ptr<Collection>> Database::Impl::find(const std::string& name) const {
  ORVANE_TRY(owner.check());
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
  return open(path, OpenOptions{});
}

EngineResult<std::shared_ptr<Database>> Database::open(const std::string& path,
                                                       const OpenOptions& options) {
  bool shared = false;
  auto db = OpenRegistry::instance().share_or_open(
      path,
      [&options](const std::string& p) -> EngineResult<OpenRegistry::Opened> {
        auto impl = open_database(p, options);
        ORVANE_TRY(impl);
        const FileOwner owner = (*impl)->owner;
        return OpenRegistry::Opened{std::shared_ptr<Database>(new Database(std::move(*impl))),
                                    owner};
      },
      shared);
  // The open sequence does not run again, but the id counter is reset as at
  // any open.
  if (db && shared) reset_id_counter_from(*(*db)->impl_);
  return db;
}

Database::~Database() {
  if (!impl_) return;
  // In a forked child the files are the parent's: nothing is written, and
  // close() refuses.
  if (!impl_->owner.here()) impl_->cache->abandon();
  (void)close();
  impl_.reset();  // closes the files, and with them the lock
  OpenRegistry::instance().forget(this);
}

EngineResult<void> Database::check_owner() const { return impl_->owner.check(); }

const std::string& Database::path() const { return impl_->path; }

EngineResult<void> Database::close() {
  Impl& db = *impl_;
  if (auto r = db.owner.check(); !r) return r;
  std::lock_guard write(db.write_mutex);
  // Graphs that changed go into their streams after a checkpoint. A failure
  // keeps the old images, which the open repairs: the close goes on.
  if (db.v2 && db.wal->checkpoint(db.resolved_path)) {
    db.cache->mark_all_clean();
    (void)save_graphs(*db.v2, *db.wal, GraphSave::Changed);
  }
  // Dirty pages are copies of frames: the log is made durable before they
  // overwrite pages in place.
  if (auto r = db.wal->sync(); !r) return failed(r.error());
  if (auto r = db.cache->flush_all(); !r) return failed(r.error());
  if (auto r = db.wal->checkpoint(db.resolved_path); !r) {
    return std::unexpected(
        EngineError::internal(kWalCheckpointFailedPrefix + r.error().to_string()));
  }
  if (db.v2) db.cache->mark_all_clean();
  // Only the log file this database holds: the file at the path may be the
  // live log of a database that took this one's place at its path.
  if (auto r = db.wal->remove_own_file(); !r) {
    return std::unexpected(EngineError::internal(kWalCleanupFailedPrefix + r.error().to_string()));
  }
  return {};
}

EngineResult<std::uint64_t> Database::get_collection(const std::string& name) {
  if (impl_->v2) {
    auto info = collection_info(name);
    ORVANE_TRY(info);
    return info->dimension;
  }
  auto collection = impl_->find(name);
  ORVANE_TRY(collection);
  return (*collection)->config().dimension;
}

std::vector<std::string> Database::list_collections() {
  std::vector<std::string> names;
  if (!impl_->owner.here()) return names;
  std::shared_lock lock(impl_->map_mutex);
  names.reserve(impl_->collections.size());
  for (const auto& [name, collection] : impl_->collections) names.push_back(name);
  if (impl_->v2) {
    for (const auto& [name, collection] : impl_->v2->collections) names.push_back(name);
  }
  return names;
}

}  // namespace orvane::engine
