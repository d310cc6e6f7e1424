#include "engine/v2_store.h"

#include "engine/v2_index.h"
#include "storage/try.h"

namespace orvane::engine {
namespace {

constexpr std::uint64_t kMaxDimension = std::uint64_t{1} << 24;

}  // namespace

EngineResult<std::unique_ptr<V2Store>> load_v2_store(std::shared_ptr<storage::PageCache> cache,
                                                     const storage::V2Header& header) {
  auto store = std::make_unique<V2Store>();
  store->pager = std::make_unique<storage::V2Pager>(std::move(cache), header);
  storage::V2Pager& pager = *store->pager;
  auto catalog = storage::Stream::open(pager, header.catalog_root);
  if (!catalog) return failed(catalog.error());
  store->catalog = std::move(*catalog);
  std::vector<std::uint8_t> bytes(store->catalog.size());
  if (auto r = store->catalog.read(pager.cache(), 0, bytes); !r) return failed(r.error());
  auto entries = decode_catalog(bytes);
  if (!entries) return failed(entries.error());
  for (const CatalogEntry& e : *entries) {
    if (!e.live) {
      store->dead_bytes += encode_catalog_entry(e).size();
      continue;
    }
    if (e.config.dimension > kMaxDimension) {
      return failed(storage::StorageError::invalid_database_file("collection " + e.name +
                                                                 ": dimension too large"));
    }
    auto c = V2Collection::load(pager, e);
    ORVANE_TRY(c);
    store->entry_offsets.emplace(e.name, e.offset);
    store->collections.emplace(e.name, std::move(*c));
  }
  pager.finish_open();
  return store;
}

EngineResult<V2Config> check_v2_config(std::uint64_t dim, std::string_view metric,
                                       const IndexSpec& index) {
  V2Config c;
  if (dim == 0 || dim > kMaxDimension) {
    return std::unexpected(EngineError::invalid_configuration(
        "dimension must be between 1 and " + std::to_string(kMaxDimension)));
  }
  c.dimension = dim;
  auto m = index::metric_from_name(metric);
  if (!m) {
    if (metric == "cosine") m = index::DistanceMetric::Cosine;
    if (metric == "euclidean" || metric == "l2") m = index::DistanceMetric::Euclidean;
    if (metric == "dot" || metric == "dotproduct" || metric == "ip") {
      m = index::DistanceMetric::DotProduct;
    }
  }
  if (!m) {
    return std::unexpected(EngineError::invalid_configuration(
        "unknown metric: " + std::string(metric)));
  }
  c.metric = *m;
  if (index.type != "flat" && index.type != "hnsw") {
    return std::unexpected(
        EngineError::invalid_configuration("index type must be \"flat\" or \"hnsw\""));
  }
  // The graph's own bounds, checked for "flat" too: the parameters are stored either way.
  if (!hnsw_params(index).check()) {
    return std::unexpected(EngineError::invalid_configuration(
        "m must be between 2 and 64, ef_construction and ef_search between 1 and 65536"));
  }
  c.index = index;
  return c;
}

storage::Result<CatalogAppend> append_entry(V2Store& store, storage::Stream& catalog,
                                           const CatalogEntry& entry) {
  storage::V2Pager& pager = *store.pager;
  CatalogAppend out;
  std::uint64_t at = catalog.size();
  if (store.dead_bytes > catalog.size() - store.dead_bytes) {
    // Rewritten compactly: only the live entries, each collection's roots as
    // they are now.
    std::vector<std::uint8_t> bytes;
    auto& offsets = out.compacted.emplace();
    for (const auto& [name, collection] : store.collections) {
      CatalogEntry e;
      e.name = name;
      e.config = collection->config();
      e.roots = collection->roots();
      offsets.emplace(name, bytes.size());
      const auto encoded = encode_catalog_entry(e);
      bytes.insert(bytes.end(), encoded.begin(), encoded.end());
    }
    ORVANE_TRY(catalog.resize(pager, bytes.size()));
    ORVANE_TRY(catalog.write(pager, 0, bytes));
    at = bytes.size();
  }
  const auto encoded = encode_catalog_entry(entry);
  ORVANE_TRY(catalog.resize(pager, at + encoded.size()));
  ORVANE_TRY(catalog.write(pager, at, encoded));
  out.offset = at;
  pager.set_catalog_root(catalog.root());
  return out;
}

}  // namespace orvane::engine
