// The batch API. On a format-2 file every mutating call is one unit of the
// pager: prepare (check, write pages), commit the log, apply to memory.
#include <mutex>

#include "engine/classic_batch.h"
#include "engine/database.h"
#include "engine/database_impl.h"
#include "engine/json_text.h"
#include "engine/v2_graph_store.h"
#include "storage/try.h"

namespace orvane::engine {

EngineResult<std::shared_ptr<V2Collection>> find_v2(Database::Impl& db, const std::string& name) {
  ORVANE_TRY(db.owner.check());
  if (!db.v2) return std::unexpected(classic_batch::write_refused());
  std::shared_lock lock(db.map_mutex);
  auto it = db.v2->collections.find(name);
  if (it == db.v2->collections.end()) return std::unexpected(EngineError::collection_not_found(name));
  return it->second;
}

namespace {

// At the log's threshold the frames go into the file; the cache's pages are
// then copies of the file and may be evicted, and graphs that changed much
// since their last image get a new one (after the call's unit: the call's
// own commit never waits for a graph).
void after_v2_call(Database::Impl& db) {
  (void)db.wal->offer_checkpoint(db.resolved_path);
  if (db.wal->frame_count() != 0) return;
  db.cache->mark_all_clean();
  auto saved = save_graphs(*db.v2, *db.wal, GraphSave::QuarterChanged);
  // An image rewrites its old pages through the log: into the file with them
  // at once, so that the log stays short and the file current.
  if (saved && *saved != 0 && db.wal->checkpoint(db.resolved_path)) db.cache->mark_all_clean();
}

// One mutating call on a collection. REQUIRES: write_mutex held.
template <class Prepare>
EngineResult<std::unique_ptr<V2Collection::Pending>> run_unit(Database::Impl& db,
                                                              V2Collection& c,
                                                              Prepare&& prepare) {
  storage::V2Pager& pager = *db.v2->pager;
  std::unique_lock lock(c.mutex());
  pager.begin();
  auto pending = prepare(pager);
  if (!pending) {
    pager.rollback();
    return pending;
  }
  const StreamRoots before = c.roots();
  const StreamRoots after = (*pending)->roots();
  if (!std::equal(before.begin(), before.begin() + 3, after.begin())) {
    const StreamRoots roots = {after[0], after[1], after[2], before[3]};
    const auto bytes = encode_roots(roots);
    const std::uint64_t at = db.v2->entry_offsets.at(c.name()) + kCatalogRootsOffset;
    if (auto r = db.v2->catalog.write(pager, at, bytes); !r) {
      pager.rollback();
      c.discard(**pending);
      return failed(r.error());
    }
  }
  if (auto r = pager.commit(*db.wal); !r) {
    c.discard(**pending);
    return failed(r.error());
  }
  c.apply(**pending);
  return pending;
}

}  // namespace

// On a classic file: a Flat collection through the classic create, which
// takes the metric by its argument name.
EngineResult<CollectionInfo> Database::create_classic(const std::string& name,
                                                      const V2Config& config) {
  if (config.index.type != "flat") {
    return std::unexpected(EngineError::invalid_configuration(
        "a classic file holds Flat collections only: create it with index \"flat\", or convert "
        "the file to format 2: python3 -m orvane convert SRC DST"));
  }
  const char* argument = config.metric == index::DistanceMetric::Euclidean    ? "euclidean"
                         : config.metric == index::DistanceMetric::DotProduct ? "dot"
                                                                              : "cosine";
  ORVANE_TRY(create_collection(name, config.dimension, argument));
  return classic_batch::info(*impl_, name);
}

FileFormat Database::format() const { return impl_->v2 ? FileFormat::V2 : FileFormat::Classic; }

EngineResult<CollectionInfo> Database::create_collection(const std::string& name,
                                                         std::uint64_t dim,
                                                         std::string_view metric,
                                                         const IndexSpec& index) {
  Impl& db = *impl_;
  ORVANE_TRY(db.owner.check());
  auto config = check_v2_config(dim, metric, index);
  ORVANE_TRY(config);
  if (!db.v2) return create_classic(name, *config);
  std::lock_guard write(db.write_mutex);
  {
    std::shared_lock lock(db.map_mutex);
    if (db.v2->collections.contains(name)) {
      return std::unexpected(EngineError::collection_already_exists(name));
    }
  }
  storage::V2Pager& pager = *db.v2->pager;
  CatalogEntry entry;
  entry.name = name;
  entry.config = *config;
  storage::Stream catalog = db.v2->catalog;
  pager.begin();
  auto appended = append_entry(*db.v2, catalog, entry);
  if (!appended) {
    pager.rollback();
    return failed(appended.error());
  }
  if (auto r = pager.commit(*db.wal); !r) return failed(r.error());
  if (appended->compacted) {
    db.v2->dead_bytes = 0;
    db.v2->entry_offsets = std::move(*appended->compacted);
  }
  db.v2->entry_offsets[name] = appended->offset;
  db.v2->catalog = std::move(catalog);
  auto collection = std::make_shared<V2Collection>(name, *config);
  CollectionInfo info = collection->info();
  {
    std::unique_lock lock(db.map_mutex);
    db.v2->collections.emplace(name, std::move(collection));
  }
  after_v2_call(db);
  return info;
}

EngineResult<CollectionInfo> Database::collection_info(const std::string& name) {
  if (!impl_->v2) return classic_batch::info(*impl_, name);
  auto c = find_v2(*impl_, name);
  ORVANE_TRY(c);
  std::shared_lock lock((*c)->mutex());
  return (*c)->info();
}

EngineResult<void> Database::delete_collection(const std::string& name) {
  Impl& db = *impl_;
  auto c = find_v2(db, name);
  ORVANE_TRY(c);
  std::lock_guard write(db.write_mutex);
  // Deleted by another thread since the look-up.
  {
    std::shared_lock lock(db.map_mutex);
    auto it = db.v2->collections.find(name);
    if (it == db.v2->collections.end() || it->second != *c) {
      return std::unexpected(EngineError::collection_not_found(name));
    }
  }
  storage::V2Pager& pager = *db.v2->pager;
  const std::uint64_t offset = db.v2->entry_offsets.at(name);
  pager.begin();
  (*c)->release_pages(pager);
  const std::array<std::uint8_t, 4> dead{};
  if (auto r = db.v2->catalog.write(pager, offset + kCatalogFlagsOffset, dead); !r) {
    pager.rollback();
    return failed(r.error());
  }
  if (auto r = pager.commit(*db.wal); !r) return failed(r.error());
  CatalogEntry entry;
  entry.name = name;
  entry.config = (*c)->config();
  db.v2->dead_bytes += encode_catalog_entry(entry).size();
  db.v2->entry_offsets.erase(name);
  {
    std::unique_lock lock(db.map_mutex);
    db.v2->collections.erase(name);
  }
  after_v2_call(db);
  return {};
}

EngineResult<std::vector<std::string>> Database::add(
    const std::string& collection, std::span<const float> vectors, std::uint64_t rows,
    std::span<const std::string> ids, std::span<const std::optional<std::string>> metadata,
    WriteMode mode) {
  Impl& db = *impl_;
  auto c = find_v2(db, collection);
  ORVANE_TRY(c);
  std::lock_guard write(db.write_mutex);
  auto pending = run_unit(db, **c, [&](storage::V2Pager& pager) {
    return (*c)->prepare_add(pager, vectors, rows, ids, metadata, mode);
  });
  ORVANE_TRY(pending);
  after_v2_call(db);
  return std::move((*pending)->ids);
}

EngineResult<BatchSearchResult> Database::search_batch(const std::string& collection,
                                                       std::span<const float> queries,
                                                       std::uint64_t nq, std::uint64_t k,
                                                       const Filter* filter, std::uint32_t ef,
                                                       std::uint32_t threads,
                                                       bool include_metadata) {
  if (!impl_->v2) {
    return classic_batch::search(*impl_, collection, queries, nq, k, filter, include_metadata);
  }
  auto c = find_v2(*impl_, collection);
  ORVANE_TRY(c);
  std::shared_lock lock((*c)->mutex());
  return (*c)->search_batch(*impl_->cache, queries, nq, k, filter, ef, threads, include_metadata);
}

EngineResult<GetResult> Database::get(const std::string& collection,
                                      std::span<const std::string> ids, bool include_vectors) {
  if (!impl_->v2) return classic_batch::get(*impl_, collection, ids, include_vectors);
  auto c = find_v2(*impl_, collection);
  ORVANE_TRY(c);
  std::shared_lock lock((*c)->mutex());
  return (*c)->get(*impl_->cache, ids, include_vectors);
}

EngineResult<std::uint64_t> Database::remove_batch(const std::string& collection,
                                                   std::span<const std::string> ids,
                                                   const Filter* filter) {
  Impl& db = *impl_;
  auto c = find_v2(db, collection);
  ORVANE_TRY(c);
  std::lock_guard write(db.write_mutex);
  auto pending = run_unit(db, **c, [&](storage::V2Pager& pager) {
    return (*c)->prepare_remove(pager, ids, filter);
  });
  ORVANE_TRY(pending);
  after_v2_call(db);
  return (*pending)->freed.size();
}

}  // namespace orvane::engine
