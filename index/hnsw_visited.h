// Per-thread scratch of graph searches: the visited set (epoch-stamped array
// indexed by dense slot) and the candidate heap's storage.
//
// Starting a search bumps the epoch instead of clearing the table, so a search
// costs nothing proportional to the graph size; the table is cleared only when
// the 16-bit epoch wraps. One scratch per thread serves every graph used on
// that thread, which keeps concurrent searches (shared lock) independent.
// Memory: 2 bytes per slot of the largest graph searched on the thread, kept
// for the thread's life.
// A search must finish with its scratch before the next one on the same
// thread starts (searches do not nest).
#pragma once

#include <cstdint>
#include <vector>

#include "index/hnsw_heap.h"

namespace orvane::index {

class SearchScratch {
 public:
  // The calling thread's scratch, reset for a search over `slot_count` slots.
  static SearchScratch& begin(std::size_t slot_count);

  bool visited(std::uint32_t slot) const { return stamps_[slot] == epoch_; }
  void mark(std::uint32_t slot) { stamps_[slot] = epoch_; }
  void prefetch(std::uint32_t slot) const { __builtin_prefetch(stamps_.data() + slot); }
  std::vector<ScoredSlot>& candidates() { return candidates_; }

 private:
  void reset(std::size_t slot_count);

  std::vector<std::uint16_t> stamps_;
  std::uint16_t epoch_ = 0;
  std::vector<ScoredSlot> candidates_;
};

}  // namespace orvane::index
