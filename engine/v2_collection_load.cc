// Loading a format-2 collection at open: the slots stream is read in large
// runs and decoded, ids and metadata are read out of the heap in offset order
// (metadata into the filter columns), and the vectors stream is read in runs
// straight into the index's array. Everything read is bounded before use: a
// damaged collection fails the open.
#include <algorithm>
#include <cstring>

#include "engine/v2_collection.h"
#include "engine/v2_graph_store.h"
#include "storage/coding.h"
#include "storage/try.h"

namespace orvane::engine {
namespace {

constexpr std::uint64_t kChunkPages = 2048;  // 8 MiB per read

storage::StorageError damaged(const std::string& name, const std::string& text) {
  return storage::StorageError::invalid_database_file("collection " + name + ": " + text);
}

// Bytes [begin, end) of a stream, read as whole pages into `buffer`.
storage::Result<const std::uint8_t*> read_range(storage::PageCache& cache,
                                                const storage::Stream& stream, std::uint64_t begin,
                                                std::uint64_t end, std::vector<std::uint8_t>& buffer) {
  const std::uint64_t first_page = begin / storage::kPageSize;
  const std::uint64_t n = (end + storage::kPageSize - 1) / storage::kPageSize - first_page;
  buffer.resize(n * storage::kPageSize);
  ORVANE_TRY(stream.read_pages(cache, first_page, n, buffer));
  return buffer.data() + (begin - first_page * storage::kPageSize);
}

}  // namespace

V2Collection::V2Collection(std::string name, V2Config config)
    : name_(std::move(name)),
      config_(std::move(config)),
      index_(config_) {}

StreamRoots V2Collection::roots() const {
  return {slots_.root(), vectors_.root(), heap_.root(), graph_.root()};
}

std::vector<storage::PageId> V2Collection::pages() const {
  std::vector<storage::PageId> out;
  for (const storage::Stream* s : {&slots_, &vectors_, &heap_, &graph_}) {
    auto p = s->pages();
    out.insert(out.end(), p.begin(), p.end());
  }
  return out;
}

EngineResult<std::shared_ptr<V2Collection>> V2Collection::load(storage::V2Pager& pager,
                                                               const CatalogEntry& entry) {
  if (entry.config.index.type == "hnsw") {
    if (auto r = hnsw_params(entry.config.index).check(); !r) {
      return failed(damaged(entry.name, r.error().to_string()));
    }
  }
  auto c = std::make_shared<V2Collection>(entry.name, entry.config);
  std::array<storage::Stream*, 4> streams = {&c->slots_, &c->vectors_, &c->heap_, &c->graph_};
  for (std::size_t i = 0; i < streams.size(); ++i) {
    auto s = storage::Stream::open(pager, entry.roots[i]);
    if (!s) return failed(s.error());
    *streams[i] = std::move(*s);
  }
  ORVANE_TRY(c->load_slots(pager.cache()));
  ORVANE_TRY(c->load_ids(pager.cache()));
  ORVANE_TRY(c->load_vectors(pager.cache()));
  return c;
}

EngineResult<void> V2Collection::load_slots(storage::PageCache& cache) {
  const std::uint64_t dim = config_.dimension;
  if (dim == 0 && vectors_.size() != 0) return failed(damaged(name_, "vectors of dimension 0"));
  const std::uint64_t slot_count = slots_held(slots_.size(), vectors_.size(), dim);
  slot_table_.resize(slot_count);
  slot_ids_.resize(slot_count);
  std::vector<std::uint8_t> buffer;
  const std::uint64_t per_chunk = kChunkPages * storage::kPageSize / kSlotSize;
  // Records past the last vector are room no call has used: one in use
  // means a damaged length that would hide a live vector.
  const std::uint64_t records = slots_.size() / kSlotSize;
  for (std::uint64_t s0 = 0; s0 < records; s0 += per_chunk) {
    const std::uint64_t s1 = std::min(s0 + per_chunk, records);
    auto base = read_range(cache, slots_, s0 * kSlotSize, s1 * kSlotSize, buffer);
    if (!base) return failed(base.error());
    for (std::uint64_t s = s0; s < s1; ++s) {
      const std::uint8_t* record = *base + (s - s0) * kSlotSize;
      if (s >= slot_count) {
        if (storage::get_u64(record) != 0) {
          return failed(damaged(name_, "slot " + std::to_string(s) + " has no vector"));
        }
        continue;
      }
      SlotRecord& r = slot_table_[s];
      r.generation = storage::get_u64(record);
      r.heap_offset = storage::get_u64(record + 8);
      r.id_length = storage::get_u32(record + 16);
      r.metadata_length = storage::get_u32(record + 20);
    }
  }
  std::vector<std::pair<std::uint64_t, std::uint64_t>> used;
  for (std::uint64_t s = 0; s < slot_count; ++s) {
    SlotRecord& r = slot_table_[s];
    if (r.generation == 0) {
      r = SlotRecord{};
      free_slots_.insert(free_slots_.end(), s);
      continue;
    }
    const std::uint64_t length = std::uint64_t{r.id_length} + r.metadata_length;
    if (r.heap_offset > heap_.size() || length > heap_.size() - r.heap_offset) {
      return failed(damaged(name_, "slot " + std::to_string(s) + " lies past the heap's end"));
    }
    used.emplace_back(r.heap_offset, length);
  }
  // Live records never overlap: a damaged file could make two share bytes.
  if (!std::is_sorted(used.begin(), used.end())) std::sort(used.begin(), used.end());
  for (std::size_t i = 1; i < used.size(); ++i) {
    if (used[i].second != 0 && used[i - 1].first + used[i - 1].second > used[i].first) {
      return failed(damaged(name_, "heap records overlap"));
    }
  }
  heap_space_.reset(heap_.size(), std::move(used));
  return {};
}

EngineResult<void> V2Collection::load_ids(storage::PageCache& cache) {
  std::vector<std::uint64_t> live;
  for (std::uint64_t s = 0; s < slot_table_.size(); ++s) {
    if (slot_table_[s].generation != 0) live.push_back(s);
  }
  // Already in heap order unless slots were reused: check before sorting.
  auto by_heap = [&](std::uint64_t a, std::uint64_t b) {
    return slot_table_[a].heap_offset < slot_table_[b].heap_offset;
  };
  if (!std::is_sorted(live.begin(), live.end(), by_heap)) {
    std::sort(live.begin(), live.end(), by_heap);
  }
  ids_.reserve(live.size());
  // A window of whole heap pages, moved forward to the next record not in it.
  std::vector<std::uint8_t> window;
  std::uint64_t window_start = 0;
  constexpr std::size_t kBlock = 16;  // ids whose table lines are fetched together
  for (std::size_t b = 0; b < live.size(); b += kBlock) {
    const std::size_t e = std::min(live.size(), b + kBlock);
    for (std::size_t i = b; i < e; ++i) {
      const std::uint64_t s = live[i];
      const SlotRecord& r = slot_table_[s];
      const std::uint64_t end = r.heap_offset + r.id_length + r.metadata_length;
      if (end != r.heap_offset &&
          (r.heap_offset < window_start || end > window_start + window.size())) {
        const std::uint64_t first_page = r.heap_offset / storage::kPageSize;
        const std::uint64_t last_page = (end - 1) / storage::kPageSize;
        const std::uint64_t n =
            std::min(std::max(kChunkPages, last_page - first_page + 1),
                     heap_.data_page_count() - first_page);
        window.resize(n * storage::kPageSize);
        if (auto rr = heap_.read_pages(cache, first_page, n, window); !rr) {
          return failed(rr.error());
        }
        window_start = first_page * storage::kPageSize;
      }
      // An empty record may lie anywhere, even where no window was read.
      std::string_view record;
      if (end != r.heap_offset) {
        record = {reinterpret_cast<const char*>(window.data()) + (r.heap_offset - window_start),
                  end - r.heap_offset};
      }
      slot_ids_[s].assign(record.substr(0, r.id_length));
      ids_.prefetch(slot_ids_[s]);
      if (r.metadata_length != 0) {
        columns_.set_text(s, record.substr(r.id_length));
      }
    }
    for (std::size_t i = b; i < e; ++i) {
      if (!ids_.insert_new(live[i])) {
        return failed(damaged(name_, "id " + slot_ids_[live[i]] + " is stored twice"));
      }
    }
  }
  return {};
}

EngineResult<void> V2Collection::load_vectors(storage::PageCache& cache) {
  const std::uint64_t bytes = slot_table_.size() * 4 * config_.dimension;
  std::span<float> floats = index_.load_buffer(slot_table_.size());
  const std::span<std::uint8_t> target(reinterpret_cast<std::uint8_t*>(floats.data()), bytes);
  // Whole pages straight into the index's array, the partial last one through a copy.
  const std::uint64_t whole = bytes / storage::kPageSize;
  for (std::uint64_t p0 = 0; p0 < whole; p0 += kChunkPages) {
    const std::uint64_t n = std::min(kChunkPages, whole - p0);
    auto out = target.subspan(p0 * storage::kPageSize, n * storage::kPageSize);
    if (auto r = vectors_.read_pages(cache, p0, n, out); !r) return failed(r.error());
  }
  if (const std::uint64_t tail = bytes % storage::kPageSize; tail != 0) {
    std::vector<std::uint8_t> page(storage::kPageSize);
    if (auto r = vectors_.read_pages(cache, whole, 1, page); !r) return failed(r.error());
    std::memcpy(target.data() + whole * storage::kPageSize, page.data(), tail);
  }
  const std::vector<std::uint64_t> slots = generations();
  if (index_.graph() != nullptr) {
    // The open rule: the image's nodes whose slot is unchanged, the rest
    // inserted (free slots hold garbage the graph never looks at).
    auto restored = restore_graph(cache, graph_, index_.take_graph(), slots);
    ORVANE_TRY(restored);
    // Links the open made count as changes, so that the next image holds
    // them and later opens do not search for them again.
    graph_changes_ = restored->snapshot_error
                         ? restored->graph.node_count()
                         : restored->removed + restored->inserted + restored->linked;
    index_.install_graph(std::move(restored->graph));
  } else {
    index_.finish_load(slots);
  }
  return {};
}

std::vector<std::uint64_t> V2Collection::generations() const {
  std::vector<std::uint64_t> out(slot_table_.size());
  for (std::uint64_t s = 0; s < out.size(); ++s) out[s] = slot_table_[s].generation;
  return out;
}

}  // namespace orvane::engine
