// Format-2 search: the filter becomes a bitmap of the live slots it matches
// (its share of the live slots tells the graph when an exhaustive scan of
// them is cheaper than a walk), the index searches every query on its
// threads, and slot numbers become ids (and metadata) on the caller's thread.
#include "engine/filter.h"
#include "engine/v2_collection.h"

namespace orvane::engine {

std::vector<std::uint64_t> V2Collection::matching_slots(const Filter& filter) const {
  const BoundFilter bound = filter.bind(columns_);
  std::vector<std::uint64_t> out;
  for (std::uint64_t s = 0; s < slot_table_.size(); ++s) {
    if (slot_table_[s].generation != 0 && bound.matches(s)) out.push_back(s);
  }
  return out;
}

EngineResult<BatchSearchResult> V2Collection::search_batch(
    storage::PageCache& cache, std::span<const float> queries, std::uint64_t nq, std::uint64_t k,
    const Filter* filter, std::uint32_t ef, std::uint32_t threads, bool metadata) const {
  const std::uint64_t dim = config_.dimension;
  if (queries.size() != nq * dim) {
    return std::unexpected(
        EngineError::dimension_mismatch(dim, nq == 0 ? queries.size() : queries.size() / nq));
  }
  BatchSearchResult out;
  // No row can hold more hits than there are vectors: a huge k costs nothing.
  out.k = std::min<std::uint64_t>(k, ids_.size());
  out.counts.assign(nq, 0);
  out.ids.resize(nq * out.k);
  out.scores.resize(nq * out.k);
  if (metadata) out.metadata.resize(nq * out.k);
  if (nq == 0 || out.k == 0) return out;

  V2Index::Query query{.k = out.k, .ef = ef, .threads = threads};
  index::IdBitmap allowed;
  if (filter != nullptr) {
    const BoundFilter bound = filter->bind(columns_);
    if (!bound.matches_everything()) {
      allowed = index::IdBitmap(slot_table_.size());
      for (std::uint64_t s = 0; s < slot_table_.size(); ++s) {
        if (slot_table_[s].generation != 0 && bound.matches(s)) allowed.set(s);
      }
      // Nothing matches: every row is empty.
      if (allowed.count() == 0) return out;
      query.filter = &allowed;
      query.filter_fraction = static_cast<double>(allowed.count()) / ids_.size();
    }
  }
  auto hits = index_.search(queries, query);
  if (!hits) return std::unexpected(EngineError(hits.error()));
  for (std::uint64_t q = 0; q < nq; ++q) {
    const std::vector<index::ScoredId>& row = (*hits)[q];
    out.counts[q] = row.size();
    for (std::size_t i = 0; i < row.size(); ++i) {
      const std::uint64_t at = q * out.k + i;
      out.ids[at] = slot_ids_[row[i].id];
      out.scores[at] = row[i].distance;
      if (!metadata) continue;
      auto m = read_metadata(cache, row[i].id);
      if (!m) return std::unexpected(EngineError(m.error()));
      out.metadata[at] = std::move(*m);
    }
  }
  return out;
}

}  // namespace orvane::engine
