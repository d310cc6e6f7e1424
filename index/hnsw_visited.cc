#include "index/hnsw_visited.h"

#include <algorithm>

namespace orvane::index {

SearchScratch& SearchScratch::begin(std::size_t slot_count) {
  thread_local SearchScratch scratch;
  scratch.reset(slot_count);
  return scratch;
}

void SearchScratch::reset(std::size_t slot_count) {
  // New stamps are 0, which no live epoch uses, so growth keeps them unvisited.
  if (stamps_.size() < slot_count) stamps_.resize(std::max(slot_count, stamps_.size() * 2));
  ++epoch_;
  if (epoch_ == 0) {
    std::fill(stamps_.begin(), stamps_.end(), std::uint16_t{0});
    epoch_ = 1;
  }
}

}  // namespace orvane::index
