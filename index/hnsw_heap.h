// Array-backed binary heaps of (slot, distance) pairs for graph search.
//
// The order among equal distances is part of the search's observable result
// (which of several equidistant nodes is kept, expanded first or returned
// first), so the mechanics are fixed exactly:
//  - push: append, sift up while the parent is strictly worse;
//  - pop: take the root, move the last element to the root, sift it down to
//    the bottom always taking the child that comes first (the right one on a
//    tie), then sift it up as after a push;
//  - into_sorted: in-place heap sort (swap root with the last element of the
//    shrinking heap, sift down taking the right child on a tie and stopping
//    when the element is not worse than that child).
// Distances are compared by distance_order_key: IEEE total order for numbers
// (-0.0 before +0.0), every NaN after every number and equal to other NaNs.
// The slot never breaks a tie.
//
// Not thread-safe; each search owns its heaps. Storage is a caller-provided
// vector so scratch memory can be reused across calls.
#pragma once

#include <bit>
#include <cstdint>
#include <utility>
#include <vector>

namespace orvane::index {

struct ScoredSlot {
  std::uint32_t slot = 0;
  float distance = 0.0f;
};

// Unsigned key whose natural order is the heaps' order on distances.
constexpr std::uint32_t distance_order_key(float d) {
  const std::uint32_t bits = std::bit_cast<std::uint32_t>(d);
  if ((bits & 0x7FFFFFFFu) > 0x7F800000u) return 0xFFFFFFFFu;  // NaN of either sign
  return (bits & 0x80000000u) != 0 ? ~bits : (bits | 0x80000000u);
}

// kMaxHeap: the root is the largest distance (result heap); otherwise the
// smallest (candidate heap).
template <bool kMaxHeap>
class SlotHeap {
 public:
  explicit SlotHeap(std::vector<ScoredSlot>& storage) : data_(storage) { data_.clear(); }

  bool empty() const { return data_.empty(); }
  std::size_t size() const { return data_.size(); }
  // REQUIRES: !empty().
  const ScoredSlot& top() const { return data_.front(); }

  void push(ScoredSlot item) {
    data_.push_back(item);
    sift_up(0, data_.size() - 1);
  }

  // REQUIRES: !empty().
  ScoredSlot pop() {
    ScoredSlot root = data_.front();
    const ScoredSlot last = data_.back();
    data_.pop_back();
    if (!data_.empty()) {
      data_.front() = last;
      sift_down_to_bottom(0);
    }
    return root;
  }

  // Sorts the storage in place: ascending for the max-heap, descending for
  // the min-heap. The heap is unusable afterwards.
  void into_sorted() {
    for (std::size_t end = data_.size(); end > 1;) {
      --end;
      std::swap(data_[0], data_[end]);
      sift_down_range(0, end);
    }
  }

 private:
  // True when a is strictly worse than b, i.e. b belongs nearer the root.
  static bool worse(const ScoredSlot& a, const ScoredSlot& b) {
    const std::uint32_t ka = distance_order_key(a.distance);
    const std::uint32_t kb = distance_order_key(b.distance);
    return kMaxHeap ? ka < kb : ka > kb;
  }

  void sift_up(std::size_t start, std::size_t pos) {
    const ScoredSlot item = data_[pos];
    while (pos > start) {
      const std::size_t parent = (pos - 1) / 2;
      if (!worse(data_[parent], item)) break;
      data_[pos] = data_[parent];
      pos = parent;
    }
    data_[pos] = item;
  }

  void sift_down_to_bottom(std::size_t pos) {
    const std::size_t end = data_.size();
    const std::size_t start = pos;
    const ScoredSlot item = data_[pos];
    std::size_t child = 2 * pos + 1;
    while (child + 1 < end) {
      if (!worse(data_[child + 1], data_[child])) ++child;
      data_[pos] = data_[child];
      pos = child;
      child = 2 * pos + 1;
    }
    if (child + 1 == end) {
      data_[pos] = data_[child];
      pos = child;
    }
    data_[pos] = item;
    sift_up(start, pos);
  }

  void sift_down_range(std::size_t pos, std::size_t end) {
    const ScoredSlot item = data_[pos];
    std::size_t child = 2 * pos + 1;
    while (child + 1 < end) {
      if (!worse(data_[child + 1], data_[child])) ++child;
      if (!worse(item, data_[child])) {
        data_[pos] = item;
        return;
      }
      data_[pos] = data_[child];
      pos = child;
      child = 2 * pos + 1;
    }
    if (child + 1 == end && worse(item, data_[child])) {
      data_[pos] = data_[child];
      pos = child;
    }
    data_[pos] = item;
  }

  std::vector<ScoredSlot>& data_;
};

using CandidateHeap = SlotHeap<false>;
using ResultHeap = SlotHeap<true>;

}  // namespace orvane::index
