#include "engine/heap_space.h"

#include <algorithm>

namespace orvane::engine {

void HeapSpace::add_gap(std::uint64_t offset, std::uint64_t length) {
  by_offset_.emplace(offset, length);
  by_length_.emplace(length, offset);
}

void HeapSpace::remove_gap(std::uint64_t offset, std::uint64_t length) {
  by_offset_.erase(offset);
  by_length_.erase({length, offset});
}

void HeapSpace::insert_coalesced(std::uint64_t offset, std::uint64_t length) {
  auto next = by_offset_.lower_bound(offset);
  if (next != by_offset_.end() && next->first == offset + length) {
    length += next->second;
    remove_gap(next->first, next->second);
  }
  auto after = by_offset_.lower_bound(offset);
  if (after != by_offset_.begin()) {
    auto prev = std::prev(after);
    if (prev->first + prev->second == offset) {
      offset = prev->first;
      length += prev->second;
      remove_gap(prev->first, prev->second);
    }
  }
  add_gap(offset, length);
}

void HeapSpace::reset(std::uint64_t end, std::vector<std::pair<std::uint64_t, std::uint64_t>> used) {
  by_offset_.clear();
  by_length_.clear();
  taken_.clear();
  released_.clear();
  end_ = end;
  if (!std::is_sorted(used.begin(), used.end())) std::sort(used.begin(), used.end());
  std::uint64_t at = 0;
  for (const auto& [offset, length] : used) {
    if (length == 0) continue;
    if (offset > at) add_gap(at, offset - at);
    at = std::max(at, offset + length);
  }
  if (end > at) add_gap(at, end - at);
}

std::uint64_t HeapSpace::take(std::uint64_t length) {
  if (length == 0) return 0;
  auto it = by_length_.lower_bound({length, 0});
  if (it != by_length_.end()) {
    const auto [gap_length, gap_offset] = *it;
    remove_gap(gap_offset, gap_length);
    const bool split = gap_length > length;
    if (split) add_gap(gap_offset + length, gap_length - length);
    taken_.push_back({gap_offset, gap_length, end_, length, split});
    return gap_offset;
  }
  // A gap that ends the stream grows into the new end.
  if (!by_offset_.empty()) {
    auto last = std::prev(by_offset_.end());
    if (last->first + last->second == end_) {
      const auto [gap_offset, gap_length] = *last;
      remove_gap(gap_offset, gap_length);
      taken_.push_back({gap_offset, gap_length, end_, length, false});
      end_ = gap_offset + length;
      return gap_offset;
    }
  }
  taken_.push_back({end_, 0, end_, length, false});
  end_ += length;
  return end_ - length;
}

void HeapSpace::release(std::uint64_t offset, std::uint64_t length) {
  if (length != 0) released_.emplace_back(offset, length);
}

void HeapSpace::commit() {
  for (const auto& [offset, length] : released_) insert_coalesced(offset, length);
  released_.clear();
  taken_.clear();
}

void HeapSpace::rollback() {
  // In reverse, so that each step meets the state it left.
  for (auto it = taken_.rbegin(); it != taken_.rend(); ++it) {
    if (it->split) remove_gap(it->gap_offset + it->length, it->gap_length - it->length);
    if (it->gap_length != 0) add_gap(it->gap_offset, it->gap_length);
    end_ = it->old_end;
  }
  taken_.clear();
  released_.clear();
}

std::uint64_t HeapSpace::free_bytes() const {
  std::uint64_t total = 0;
  for (const auto& [offset, length] : by_offset_) total += length;
  return total;
}

}  // namespace orvane::engine
