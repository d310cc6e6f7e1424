#include "index/batch_search.h"

#include <algorithm>
#include <mutex>
#include <optional>

#include "index/hnsw_graph_impl.h"
#include "index/parallel.h"
#include "storage/try.h"

namespace orvane::index {
namespace {

// Below these a thread costs more than it saves.
constexpr std::size_t kGraphQueriesPerThread = 4;
constexpr std::size_t kFlatQueriesPerThread = 16;

// The query count of a buffer, or the error search() gives for its length.
IndexResult<std::size_t> query_count(std::span<const float> queries, std::uint64_t dimension) {
  if (dimension == 0 || queries.size() % dimension != 0) {
    return std::unexpected(VectorIndexError::dimension_mismatch(dimension, queries.size()));
  }
  return queries.size() / dimension;
}

// The first error any chunk met (chunks record theirs and stop).
class FirstError {
 public:
  void record(const VectorIndexError& e) {
    std::lock_guard lock(mutex_);
    if (!error_) error_ = e;
  }
  const std::optional<VectorIndexError>& get() const { return error_; }

 private:
  std::mutex mutex_;
  std::optional<VectorIndexError> error_;
};

// Below this many queries a batch that scans the allowed nodes scans them
// where they lie, one query at a time.
constexpr std::size_t kGatherQueries = 8;

// The graph's exhaustive filtered search for a whole batch: the allowed
// nodes' vectors are copied once, in node-slot order, into a DenseFlat that
// scores a block of queries per pass. Positions follow node-slot order, so
// ties break exactly as the graph's own scan breaks them.
IndexResult<std::vector<std::vector<ScoredId>>> scan_batch(const HnswGraph& graph,
                                                           std::span<const float> queries,
                                                           std::uint64_t k, const IdFilter& filter,
                                                           std::size_t threads) {
  const HnswNodes& nodes = HnswGraphAccess::impl(graph).nodes;
  DenseFlat allowed(graph.dimension(), graph.metric());
  std::vector<std::uint64_t> ids;
  const auto slot_count = static_cast<std::uint32_t>(nodes.slot_count());
  for (std::uint32_t s = 0; s < slot_count; ++s) {
    if (!nodes.is_node(s) || !filter.allows(nodes.id(s))) continue;
    ids.push_back(nodes.id(s));
    (void)allowed.append(std::span<const float>(nodes.vector(s), graph.dimension()));
  }
  auto found = search_batch(allowed, queries, k, nullptr, threads);
  if (!found) return found;
  for (std::vector<ScoredId>& row : *found) {
    for (ScoredId& hit : row) hit.id = ids[hit.id];
  }
  return found;
}

}  // namespace

IndexResult<std::vector<std::vector<ScoredId>>> search_batch(const HnswGraph& graph,
                                                             std::span<const float> queries,
                                                             std::uint64_t k,
                                                             const SearchOptions& options,
                                                             std::size_t threads) {
  const std::uint64_t dim = graph.dimension();
  auto count = query_count(queries, dim);
  ORVANE_TRY(count);
  if (options.filter != nullptr && options.filter_fraction >= 0.0 &&
      options.filter_fraction < options.exact_below && *count >= kGatherQueries) {
    return scan_batch(graph, queries, k, *options.filter, threads);
  }
  std::vector<std::vector<ScoredId>> results(*count);
  FirstError error;
  parallel_for(*count, threads, kGraphQueriesPerThread, [&](std::size_t begin, std::size_t end) {
    for (std::size_t q = begin; q < end; ++q) {
      auto hits = graph.search(queries.subspan(q * dim, dim), k, options);
      if (!hits) return error.record(hits.error());
      results[q] = std::move(*hits);
    }
  });
  if (error.get()) return std::unexpected(*error.get());
  return results;
}

IndexResult<std::vector<std::vector<ScoredId>>> search_batch(const DenseFlat& flat,
                                                             std::span<const float> queries,
                                                             std::uint64_t k,
                                                             const IdFilter* filter,
                                                             std::size_t threads) {
  const std::uint64_t dim = flat.dimension();
  auto count = query_count(queries, dim);
  ORVANE_TRY(count);
  std::vector<std::vector<ScoredId>> results(*count);
  FirstError error;
  parallel_for(*count, threads, kFlatQueriesPerThread, [&](std::size_t begin, std::size_t end) {
    auto part = flat.search_batch(queries.subspan(begin * dim, (end - begin) * dim), k, filter);
    if (!part) return error.record(part.error());
    std::move(part->begin(), part->end(), results.begin() + static_cast<std::ptrdiff_t>(begin));
  });
  if (error.get()) return std::unexpected(*error.get());
  return results;
}

}  // namespace orvane::index
