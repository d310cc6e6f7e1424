// IdTable: external id -> slot, an open-addressing table of 32-bit slot
// numbers whose keys live in the collection's per-slot id strings (no copy
// of an id is kept here). Each entry also holds 32 bits of its id's hash, so
// a probe reads an id string only when those bits match. Linear probing with
// backward-shift deletion.
// Memory: 8 bytes per entry at a load factor of at most one half.
// Thread-safety: none; the collection's lock guards it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orvane::engine {

class IdTable {
 public:
  // `ids` is the slot -> id array the keys are read from; it must outlive
  // the table and hold the id of every slot inserted.
  explicit IdTable(const std::vector<std::string>* ids) : ids_(ids) {}

  std::optional<std::uint64_t> find(std::string_view id) const;
  // REQUIRES: the id is absent and (*ids)[slot] holds it; slot < 2^32 - 1.
  void insert(std::uint64_t slot);
  // insert() when (*ids)[slot] is absent; false (nothing inserted) when
  // another slot holds the same id. One probe sequence for both.
  bool insert_new(std::uint64_t slot);
  // REQUIRES: (*ids)[slot] still holds the id being removed.
  void erase(std::uint64_t slot);
  // Brings the table's line for `id` towards the cache: a loader that
  // prefetches a block of ids before inserting them waits for memory once
  // per block instead of once per id.
  void prefetch(std::string_view id) const {
    if (!table_.empty()) __builtin_prefetch(&table_[home(id)]);
  }
  std::uint64_t size() const { return size_; }
  void reserve(std::uint64_t entries);

 private:
  static std::uint64_t hash(std::string_view id);
  std::uint64_t home(std::string_view id) const;
  void grow(std::uint64_t capacity);

  const std::vector<std::string>* ids_;
  // Low 32 bits: slot + 1 (0 = empty); high 32 bits: the id's hash >> 32.
  std::vector<std::uint64_t> table_;
  std::uint64_t size_ = 0;
};

}  // namespace orvane::engine
