// create_collection: checks that the catalog record will fit, allocates the
// collection's pages, records it in the catalog and writes the header and
// the catalog page to the file, all as one call unit. A creation that fails
// leaves no collection behind: the map, the catalog and the header are as
// before (pages already written to the file stay allocated and unused).
#include "engine/catalog_writer.h"
#include "engine/collection.h"
#include "engine/database_impl.h"
#include "storage/try.h"

namespace orvane::engine {

EngineResult<std::uint64_t> Database::create_collection(const std::string& name, std::uint64_t dim,
                                                        std::optional<std::string_view> distance) {
  Impl& db = *impl_;
  ORVANE_TRY(db.owner.check());
  if (db.v2) {
    // Flat, as on classic files.
    IndexSpec flat;
    flat.type = "flat";
    const auto metric = index::metric_name(metric_from_argument(distance));
    auto info = create_collection(name, dim, metric, flat);
    ORVANE_TRY(info);
    return dim;
  }
  std::lock_guard write(db.write_mutex);
  {
    std::shared_lock lock(db.map_mutex);
    if (db.collections.contains(name)) {
      return std::unexpected(EngineError::collection_already_exists(name));
    }
  }
  CollectionConfig config;
  config.name = name;
  config.dimension = dim;
  config.distance = metric_from_argument(distance);
  ORVANE_TRY(check_catalog_room(*db.cache, std::span(&config, 1)));

  CallUnit unit(*db.cache, *db.wal);
  auto collection = Collection::materialise(config, db.cache);
  ORVANE_TRY(collection);
  auto catalog = catalog_page(*db.cache);
  ORVANE_TRY(catalog);
  ORVANE_TRY(append_config(*db.cache, *catalog, config));
  ORVANE_TRY(write_through(unit, *catalog));
  {
    std::unique_lock lock(db.map_mutex);
    db.collections.emplace(name, std::move(*collection));
  }
  db.after_call();
  return dim;
}

}  // namespace orvane::engine
