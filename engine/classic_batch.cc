#include "engine/classic_batch.h"

#include <unordered_map>

#include "engine/filter.h"
#include "engine/metadata_columns.h"
#include "storage/try.h"

namespace orvane::engine::classic_batch {

EngineError write_refused() {
  return EngineError::invalid_configuration(
      "a classic file takes one vector per call (Kestrum); convert it to format 2 for batch "
      "writes: python3 -m orvane convert SRC DST");
}

EngineResult<CollectionInfo> info(Database::Impl& db, const std::string& name) {
  auto c = db.find(name);
  ORVANE_TRY(c);
  std::shared_lock lock((*c)->mutex());
  const CollectionConfig& config = (*c)->config();
  CollectionInfo out;
  out.name = name;
  out.dimension = config.dimension;
  out.metric = std::string(index::metric_name(config.distance));
  out.index.type = config.uses_hnsw() ? "hnsw" : "flat";
  out.count = (*c)->live_count();
  return out;
}

EngineResult<BatchSearchResult> search(Database::Impl& db, const std::string& name,
                                       std::span<const float> queries, std::uint64_t nq,
                                       std::uint64_t k, const Filter* filter,
                                       bool include_metadata) {
  auto c = db.find(name);
  ORVANE_TRY(c);
  std::shared_lock lock((*c)->mutex());
  const std::uint64_t dim = (*c)->config().dimension;
  if (queries.size() != nq * dim) {
    return std::unexpected(
        EngineError::dimension_mismatch(dim, nq == 0 ? queries.size() : queries.size() / nq));
  }
  // A filter is tested on every stored vector's metadata; a classic
  // collection is small enough to rank all of its vectors and keep matches.
  std::unordered_map<std::string, std::uint64_t> slot_of;
  MetadataColumns columns;
  std::optional<BoundFilter> bound;
  if (filter != nullptr) {
    auto stored = (*c)->stored();
    ORVANE_TRY(stored);
    for (std::uint64_t s = 0; s < stored->size(); ++s) {
      const Collection::Stored& v = (*stored)[s];
      slot_of.emplace(v.id, s);
      if (v.metadata) columns.set_text(s, *v.metadata);
    }
    bound = filter->bind(columns);
  }
  const std::uint64_t ranked = filter != nullptr ? (*c)->live_count() : k;
  BatchSearchResult out;
  out.k = k;
  out.ids.resize(nq * k);
  out.scores.resize(nq * k);
  if (include_metadata) out.metadata.resize(nq * k);
  for (std::uint64_t q = 0; q < nq; ++q) {
    auto hits = (*c)->search(queries.subspan(q * dim, dim), ranked);
    ORVANE_TRY(hits);
    std::uint64_t n = 0;
    for (SearchResult& r : *hits) {
      if (n == k) break;
      if (bound) {
        auto it = slot_of.find(r.id);
        if (it == slot_of.end() || !bound->matches(it->second)) continue;
      }
      out.ids[q * k + n] = std::move(r.id);
      out.scores[q * k + n] = r.score;
      if (include_metadata) out.metadata[q * k + n] = std::move(r.metadata);
      ++n;
    }
    out.counts.push_back(n);
  }
  return out;
}

EngineResult<GetResult> get(Database::Impl& db, const std::string& name,
                            std::span<const std::string> ids, bool include_vectors) {
  auto c = db.find(name);
  ORVANE_TRY(c);
  std::shared_lock lock((*c)->mutex());
  auto stored = (*c)->stored();
  ORVANE_TRY(stored);
  std::unordered_map<std::string_view, const Collection::Stored*> by_id;
  for (const Collection::Stored& s : *stored) by_id.emplace(s.id, &s);
  GetResult out;
  for (const std::string& id : ids) {
    auto it = by_id.find(id);
    if (it == by_id.end()) continue;
    out.ids.push_back(id);
    if (include_vectors) {
      out.vectors.insert(out.vectors.end(), it->second->vector.begin(), it->second->vector.end());
    }
    out.metadata.push_back(it->second->metadata);
  }
  return out;
}

EngineResult<std::vector<std::string>> list_ids(Database::Impl& db, const std::string& name) {
  auto c = db.find(name);
  ORVANE_TRY(c);
  std::shared_lock lock((*c)->mutex());
  auto stored = (*c)->stored();
  ORVANE_TRY(stored);
  std::vector<std::string> out;
  out.reserve(stored->size());
  for (Collection::Stored& s : *stored) out.push_back(std::move(s.id));
  return out;
}

}  // namespace orvane::engine::classic_batch
