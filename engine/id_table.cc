#include "engine/id_table.h"

#include <bit>
#include <functional>

namespace orvane::engine {

std::uint64_t IdTable::hash(std::string_view id) {
  // std::hash is seeded per build only; mix it so that low bits spread.
  std::uint64_t x = std::hash<std::string_view>{}(id);
  x ^= x >> 33;
  x *= 0xff51afd7ed558ccdULL;
  x ^= x >> 33;
  return x;
}

namespace {

// An entry's home is the top bits of its hash, which the entry keeps: growing
// the table moves entries without reading a single id.
std::uint64_t home_of(std::uint64_t hash, std::uint64_t mask) {
  return static_cast<std::uint64_t>(static_cast<unsigned __int128>(hash >> 32) * (mask + 1) >> 32);
}

std::uint64_t entry_of(std::uint64_t hash, std::uint64_t slot) {
  return (hash & 0xffffffff00000000ULL) | (slot + 1);
}
std::uint64_t slot_of(std::uint64_t entry) { return (entry & 0xffffffffULL) - 1; }

}  // namespace

std::uint64_t IdTable::home(std::string_view id) const {
  return home_of(hash(id), table_.size() - 1);
}

std::optional<std::uint64_t> IdTable::find(std::string_view id) const {
  if (table_.empty()) return std::nullopt;
  const std::uint64_t h = hash(id);
  const std::uint64_t mask = table_.size() - 1;
  for (std::uint64_t i = home_of(h, mask);; i = (i + 1) & mask) {
    const std::uint64_t e = table_[i];
    if (e == 0) return std::nullopt;
    if ((e >> 32) == (h >> 32) && (*ids_)[slot_of(e)] == id) return slot_of(e);
  }
}

void IdTable::reserve(std::uint64_t entries) {
  std::uint64_t capacity = std::bit_ceil(std::max<std::uint64_t>(16, entries * 2));
  if (capacity > table_.size()) grow(capacity);
}

void IdTable::grow(std::uint64_t capacity) {
  std::vector<std::uint64_t> old;
  old.swap(table_);
  table_.assign(capacity, 0);
  const std::uint64_t mask = capacity - 1;
  for (std::uint64_t e : old) {
    if (e == 0) continue;
    std::uint64_t i = home_of(e, mask);
    while (table_[i] != 0) i = (i + 1) & mask;
    table_[i] = e;
  }
}

void IdTable::insert(std::uint64_t slot) { (void)insert_new(slot); }

bool IdTable::insert_new(std::uint64_t slot) {
  if ((size_ + 1) * 2 > table_.size()) grow(std::max<std::uint64_t>(16, table_.size() * 2));
  const std::string& id = (*ids_)[slot];
  const std::uint64_t h = hash(id);
  const std::uint64_t mask = table_.size() - 1;
  std::uint64_t i = home_of(h, mask);
  for (; table_[i] != 0; i = (i + 1) & mask) {
    const std::uint64_t e = table_[i];
    if ((e >> 32) == (h >> 32) && (*ids_)[slot_of(e)] == id) return false;
  }
  table_[i] = entry_of(h, slot);
  ++size_;
  return true;
}

void IdTable::erase(std::uint64_t slot) {
  if (table_.empty()) return;
  const std::uint64_t mask = table_.size() - 1;
  std::uint64_t i = home_of(hash((*ids_)[slot]), mask);
  while (table_[i] == 0 || slot_of(table_[i]) != slot) {
    if (table_[i] == 0) return;
    i = (i + 1) & mask;
  }
  // Backward shift: pull later entries of the cluster into the hole when
  // their home lies at or before it.
  for (std::uint64_t j = (i + 1) & mask;; j = (j + 1) & mask) {
    const std::uint64_t e = table_[j];
    if (e == 0) break;
    const std::uint64_t home = home_of(e, mask);
    if (((j - home) & mask) >= ((j - i) & mask)) {
      table_[i] = e;
      i = j;
    }
  }
  table_[i] = 0;
  --size_;
}

}  // namespace orvane::engine
