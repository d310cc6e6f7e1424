// Format-2 writes: prepare (check, then write pages into the open unit),
// then apply once the unit committed. Nothing in memory changes before the
// commit except the heap's free space, whose taken gaps a rollback returns.
#include <bit>
#include <cstring>
#include <nlohmann/json.hpp>
#include <unordered_map>

#include "engine/id_counter.h"
#include "engine/v2_collection.h"
#include "storage/coding.h"

namespace orvane::engine {
namespace {

static_assert(std::endian::native == std::endian::little,
              "vectors are stored as little-endian float32 straight from memory");

constexpr std::size_t kPrefetchBlock = 16;

void encode_slot(const SlotRecord& r, std::uint8_t* p) {
  storage::put_u64(p, r.generation);
  storage::put_u64(p + 8, r.heap_offset);
  storage::put_u32(p + 16, r.id_length);
  storage::put_u32(p + 20, r.metadata_length);
}

std::uint64_t whole_pages(std::uint64_t bytes) {
  return (bytes + storage::kPageSize - 1) / storage::kPageSize * storage::kPageSize;
}

bool is_json(const std::string& text) {
  return nlohmann::json::accept(text);
}

}  // namespace

StreamRoots V2Collection::Pending::roots() const {
  return {slots.root(), vectors.root(), heap.root(), 0};
}

storage::Result<void> V2Collection::write_rows(storage::V2Pager& pager, Pending& p) const {
  const std::uint64_t vector_bytes = 4 * config_.dimension;
  // Rows whose vector reaches past the vectors stream's end are a suffix:
  // rows take free slots (all within the streams) first, then new ones.
  std::size_t first_new = p.rows.size();
  while (first_new > 0 && (p.rows[first_new - 1].slot + 1) * vector_bytes > p.vectors.size()) {
    --first_new;
  }
  std::vector<std::uint8_t> buffer;
  // The vectors of rows [first, last) end to end in `buffer`.
  auto gather = [&](std::size_t first, std::size_t last) -> std::span<const std::uint8_t> {
    buffer.resize((last - first) * vector_bytes);
    for (std::size_t i = first; i < last; ++i) {
      std::memcpy(buffer.data() + (i - first) * vector_bytes, p.rows[i].vector, vector_bytes);
    }
    return buffer;
  };
  // Slot records, and vectors within the stream, one write per run of
  // consecutive slots.
  for (std::size_t begin = 0; begin < p.rows.size();) {
    std::size_t end = begin + 1;
    while (end < p.rows.size() && p.rows[end].slot == p.rows[end - 1].slot + 1) ++end;
    buffer.assign((end - begin) * kSlotSize, 0);
    for (std::size_t i = begin; i < end; ++i) {
      encode_slot(p.rows[i].record, buffer.data() + (i - begin) * kSlotSize);
    }
    if (auto r = p.slots.write(pager, p.rows[begin].slot * kSlotSize, buffer); !r) return r;
    const std::size_t within_end = std::min(end, first_new);
    if (begin < within_end && vector_bytes != 0) {
      const auto bytes = gather(begin, within_end);
      if (auto r = p.vectors.write(pager, p.rows[begin].slot * vector_bytes, bytes); !r) return r;
    }
    begin = end;
  }
  // The rest in one growing write, from the caller's array when the rows
  // lie in it end to end (no id given twice).
  if (first_new < p.rows.size() && vector_bytes != 0) {
    const std::size_t count = p.rows.size() - first_new;
    const float* start = p.rows[first_new].vector;
    bool contiguous = true;
    for (std::size_t i = first_new; i < p.rows.size() && contiguous; ++i) {
      contiguous = p.rows[i].vector == start + (i - first_new) * config_.dimension;
    }
    std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(start),
                                        count * vector_bytes);
    if (!contiguous) bytes = gather(first_new, p.rows.size());
    const std::uint64_t at = p.rows[first_new].slot * vector_bytes;
    if (auto r = p.vectors.write_growing(pager, at, bytes); !r) return r;
  }
  // Heap records in offset order, one write per run of adjacent records.
  std::vector<std::size_t> order(p.rows.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return p.rows[a].record.heap_offset < p.rows[b].record.heap_offset;
  });
  buffer.clear();
  std::uint64_t run_start = 0;
  auto flush = [&]() -> storage::Result<void> {
    if (buffer.empty()) return {};
    auto r = p.heap.write(pager, run_start, buffer);
    buffer.clear();
    return r;
  };
  for (std::size_t i : order) {
    const Row& row = p.rows[i];
    const std::uint64_t length = std::uint64_t{row.record.id_length} + row.record.metadata_length;
    if (length == 0) continue;
    if (buffer.empty() || run_start + buffer.size() != row.record.heap_offset) {
      if (auto r = flush(); !r) return r;
      run_start = row.record.heap_offset;
    }
    buffer.insert(buffer.end(), row.id.begin(), row.id.end());
    if (row.metadata != nullptr) buffer.insert(buffer.end(), row.metadata->begin(), row.metadata->end());
  }
  return flush();
}

EngineResult<std::unique_ptr<V2Collection::Pending>> V2Collection::prepare_add(
    storage::V2Pager& pager, std::span<const float> vectors, std::uint64_t rows,
    std::span<const std::string> ids, std::span<const std::optional<std::string>> metadata,
    WriteMode mode) {
  const std::uint64_t dim = config_.dimension;
  if ((dim == 0 && !vectors.empty()) || (dim != 0 && (vectors.size() % dim != 0 ||
                                                      vectors.size() / dim != rows))) {
    return std::unexpected(
        EngineError::dimension_mismatch(dim, rows == 0 ? vectors.size() : vectors.size() / rows));
  }
  if (!ids.empty() && ids.size() != rows) {
    return std::unexpected(EngineError::invalid_configuration(
        std::to_string(ids.size()) + " ids for " + std::to_string(rows) + " vectors"));
  }
  if (!metadata.empty() && metadata.size() != rows) {
    return std::unexpected(EngineError::invalid_configuration(
        std::to_string(metadata.size()) + " metadata entries for " + std::to_string(rows) +
        " vectors"));
  }
  for (std::uint64_t i = 0; i < metadata.size(); ++i) {
    if (!metadata[i]) continue;
    if (metadata[i]->size() > 0xffffffffu || !is_json(*metadata[i])) {
      return std::unexpected(MetadataError(MetadataError::Kind::Serialization,
                                           "metadata of row " + std::to_string(i) +
                                               " is not JSON"));
    }
  }

  std::vector<std::string> batch_ids;
  batch_ids.reserve(rows);
  std::unordered_map<std::string_view, std::size_t> last_row;
  last_row.reserve(rows);
  if (ids.empty()) {
    // The counter is shared by every database of the process: a drawn id
    // may exist already.
    for (std::uint64_t i = 0; i < rows; ++i) {
      std::string id;
      do {
        id = "doc_" + std::to_string(draw_id());
      } while (ids_.find(id) || last_row.contains(id));
      batch_ids.push_back(std::move(id));
      last_row.emplace(batch_ids.back(), i);
    }
  } else {
    batch_ids.assign(ids.begin(), ids.end());
    for (std::uint64_t i = 0; i < rows; ++i) {
      if (batch_ids[i].size() > 0xffffffffu) {
        return std::unexpected(EngineError::invalid_configuration("id longer than 4 GiB"));
      }
      auto [it, added] = last_row.emplace(batch_ids[i], i);
      if (added) continue;
      if (mode == WriteMode::Add) {
        return std::unexpected(
            EngineError::invalid_configuration("id given twice: " + batch_ids[i]));
      }
      it->second = i;  // the last row of an id wins
    }
    if (mode == WriteMode::Add) {
      // A block of table lines fetched at once: one wait for memory per block.
      for (std::size_t b = 0; b < batch_ids.size(); b += kPrefetchBlock) {
        const std::size_t e = std::min(batch_ids.size(), b + kPrefetchBlock);
        for (std::size_t i = b; i < e; ++i) ids_.prefetch(batch_ids[i]);
        for (std::size_t i = b; i < e; ++i) {
          if (ids_.find(batch_ids[i])) {
            return std::unexpected(EngineError::invalid_configuration("id exists: " + batch_ids[i]));
          }
        }
      }
    }
  }

  auto p = std::make_unique<Pending>();
  std::uint64_t next_new = slot_table_.size();
  auto free_it = free_slots_.begin();
  for (std::uint64_t i = 0; i < rows; ++i) {
    if (last_row.at(batch_ids[i]) != i) continue;
    std::uint64_t slot;
    if (free_it != free_slots_.end()) {
      slot = *free_it++;
    } else {
      slot = next_new++;
    }
    const std::string* text = metadata.empty() || !metadata[i] ? nullptr : &*metadata[i];
    p->rows.push_back({slot, {}, batch_ids[i], vectors.data() + i * dim, text});
  }
  if (next_new > kMaxSlots) {
    return std::unexpected(EngineError::invalid_configuration("collection holds 2^32 - 2 slots"));
  }
  p->next_new = next_new;
  p->slots = slots_;
  p->vectors = vectors_;
  p->heap = heap_;

  auto fail = [&](const storage::StorageError& e) -> EngineResult<std::unique_ptr<Pending>> {
    heap_space_.rollback();
    return std::unexpected(EngineError(e));
  };
  // Streams grow by whole pages, so that a call that adds a row rewrites a
  // stream's root directory (its length) only when a page is added.
  if (next_new * kSlotSize > p->slots.size()) {
    if (auto r = p->slots.resize(pager, whole_pages(next_new * kSlotSize)); !r) {
      return fail(r.error());
    }
  }

  // A replaced id's old slot is freed in the same call; its heap record
  // becomes free space once the call commits. An add has none (checked above).
  const std::array<std::uint8_t, 8> zero{};
  for (const Row& row : mode == WriteMode::Add ? std::span<const Row>() : std::span<const Row>(p->rows)) {
    auto old = ids_.find(row.id);
    if (!old) continue;
    const SlotRecord& r = slot_table_[*old];
    heap_space_.release(r.heap_offset, std::uint64_t{r.id_length} + r.metadata_length);
    p->freed.push_back(*old);
    if (auto w = p->slots.write(pager, *old * kSlotSize, zero); !w) return fail(w.error());
  }
  const std::uint64_t generation = pager.unit_counter();
  for (Row& row : p->rows) {
    row.record.generation = generation;
    row.record.id_length = static_cast<std::uint32_t>(row.id.size());
    row.record.metadata_length =
        row.metadata == nullptr ? 0 : static_cast<std::uint32_t>(row.metadata->size());
    row.record.heap_offset =
        heap_space_.take(std::uint64_t{row.record.id_length} + row.record.metadata_length);
  }
  if (heap_space_.end() > p->heap.size()) {
    if (auto r = p->heap.resize(pager, whole_pages(heap_space_.end())); !r) return fail(r.error());
  }
  if (auto r = write_rows(pager, *p); !r) return fail(r.error());
  p->slot_count = slots_held(p->slots.size(), p->vectors.size(), dim);
  p->ids = std::move(batch_ids);
  return p;
}

EngineResult<std::unique_ptr<V2Collection::Pending>> V2Collection::prepare_remove(
    storage::V2Pager& pager, std::span<const std::string> ids, const Filter* filter) {
  auto p = std::make_unique<Pending>();
  p->slot_count = slot_table_.size();
  p->slots = slots_;
  p->vectors = vectors_;
  p->heap = heap_;
  std::vector<std::uint64_t> slots;
  if (filter != nullptr) slots = matching_slots(*filter);
  for (const std::string& id : ids) {
    if (auto slot = ids_.find(id)) slots.push_back(*slot);
  }
  // Ascending and once each: an id may be given twice or also match.
  std::sort(slots.begin(), slots.end());
  slots.erase(std::unique(slots.begin(), slots.end()), slots.end());
  const std::array<std::uint8_t, 8> zero{};
  for (std::uint64_t slot : slots) {
    const SlotRecord& r = slot_table_[slot];
    heap_space_.release(r.heap_offset, std::uint64_t{r.id_length} + r.metadata_length);
    p->freed.push_back(slot);
    if (auto w = p->slots.write(pager, slot * kSlotSize, zero); !w) {
      heap_space_.rollback();
      return std::unexpected(EngineError(w.error()));
    }
  }
  return p;
}

void V2Collection::apply(Pending& p) {
  slots_ = std::move(p.slots);
  vectors_ = std::move(p.vectors);
  heap_ = std::move(p.heap);
  if (slot_table_.size() < p.slot_count) {
    // Slots the grown streams hold that no row took are free.
    for (std::uint64_t s = std::max<std::uint64_t>(slot_table_.size(), p.next_new);
         s < p.slot_count; ++s) {
      free_slots_.insert(free_slots_.end(), s);
    }
    slot_table_.resize(p.slot_count);
    slot_ids_.resize(p.slot_count);
  }
  for (std::uint64_t slot : p.freed) {
    index_.erase(slot);
    columns_.erase(slot);
    ids_.erase(slot);
    slot_ids_[slot] = std::string();
    slot_table_[slot] = SlotRecord{};
    free_slots_.insert(slot);
  }
  ids_.reserve(ids_.size() + p.rows.size());
  for (std::size_t i = 0; i < p.rows.size(); ++i) {
    if (i + kPrefetchBlock < p.rows.size()) ids_.prefetch(p.rows[i + kPrefetchBlock].id);
    Row& row = p.rows[i];
    free_slots_.erase(row.slot);
    slot_table_[row.slot] = row.record;
    slot_ids_[row.slot] = std::move(row.id);
    ids_.insert(row.slot);
    // Checked before the call: the dimension matches.
    (void)index_.set(row.slot, std::span(row.vector, config_.dimension));
    if (row.metadata != nullptr) columns_.set_text(row.slot, *row.metadata);
  }
  heap_space_.commit();
  graph_changes_ += p.freed.size() + p.rows.size();
}

void V2Collection::discard(Pending&) { heap_space_.rollback(); }

void V2Collection::release_pages(storage::V2Pager& pager) const {
  for (storage::PageId id : pages()) pager.release(id);
}

}  // namespace orvane::engine
