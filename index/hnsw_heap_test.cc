#include "index/hnsw_heap.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace orvane::index {
namespace {

std::vector<std::uint32_t> slots_of(const std::vector<ScoredSlot>& v) {
  std::vector<std::uint32_t> out;
  for (const auto& s : v) out.push_back(s.slot);
  return out;
}

TEST(HnswHeap, OrderKeyIsTotalOrderWithNanLast) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  EXPECT_LT(distance_order_key(-inf), distance_order_key(-1.0f));
  EXPECT_LT(distance_order_key(-1.0f), distance_order_key(-0.0f));
  EXPECT_LT(distance_order_key(-0.0f), distance_order_key(0.0f));
  EXPECT_LT(distance_order_key(0.0f), distance_order_key(1e-45f));
  EXPECT_LT(distance_order_key(1.0f), distance_order_key(inf));
  // NaN of either sign (x86 makes 0/0 negative) after +inf, all NaNs equal.
  EXPECT_LT(distance_order_key(inf), distance_order_key(nan));
  EXPECT_LT(distance_order_key(inf), distance_order_key(-nan));
  EXPECT_EQ(distance_order_key(nan), distance_order_key(-nan));
}

TEST(HnswHeap, MinHeapPopOnTiesSiftsToBottomTakingRightChild) {
  std::vector<ScoredSlot> storage;
  CandidateHeap heap(storage);
  for (std::uint32_t s = 1; s <= 4; ++s) heap.push({s, 1.0f});
  // [1,2,3,4]: popping 1 moves 4 to the root, which sinks through the right
  // child (3) since 2 and 3 tie; 3 is then the root.
  std::vector<std::uint32_t> popped;
  while (!heap.empty()) popped.push_back(heap.pop().slot);
  EXPECT_EQ(popped, (std::vector<std::uint32_t>{1, 3, 2, 4}));
}

TEST(HnswHeap, MinHeapOrdersByDistanceThenMechanics) {
  std::vector<ScoredSlot> storage;
  CandidateHeap heap(storage);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  heap.push({1, 2.0f});
  heap.push({2, -nan});
  heap.push({3, 0.0f});
  heap.push({4, -0.0f});
  heap.push({5, 2.0f});
  heap.push({6, -1.0f});
  std::vector<std::uint32_t> popped;
  while (!heap.empty()) popped.push_back(heap.pop().slot);
  // -1 < -0 < +0 < 2 = 2 < NaN; of the two 2.0s, 1 comes out first: when 3
  // is popped, the last element sinks through the right child (1) on the tie.
  EXPECT_EQ(popped, (std::vector<std::uint32_t>{6, 4, 3, 1, 5, 2}));
}

TEST(HnswHeap, MaxHeapSortedOutputOnTies) {
  std::vector<ScoredSlot> storage;
  ResultHeap heap(storage);
  for (std::uint32_t s = 1; s <= 3; ++s) heap.push({s, 1.0f});
  heap.into_sorted();
  EXPECT_EQ(slots_of(storage), (std::vector<std::uint32_t>{2, 3, 1}));
}

TEST(HnswHeap, MaxHeapSortedOutputMixed) {
  // Pushed 5, 2, 2, 1, 1 (slots 1..5): the heap sort yields ascending
  // distances, equal ones in the order its sift-downs leave them.
  std::vector<ScoredSlot> storage;
  ResultHeap heap(storage);
  heap.push({1, 5.0f});
  heap.push({5, 2.0f});
  heap.push({4, 2.0f});
  heap.push({3, 1.0f});
  heap.push({2, 1.0f});
  EXPECT_EQ(slots_of(storage), (std::vector<std::uint32_t>{1, 5, 4, 3, 2}));
  heap.into_sorted();
  EXPECT_EQ(slots_of(storage), (std::vector<std::uint32_t>{3, 2, 5, 4, 1}));
}

TEST(HnswHeap, MaxHeapPopKeepsLargestOut) {
  std::vector<ScoredSlot> storage;
  ResultHeap heap(storage);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  heap.push({1, 3.0f});
  heap.push({2, nan});
  heap.push({3, 4.0f});
  heap.push({4, 4.0f});
  EXPECT_EQ(heap.top().slot, 2u);
  // Heap [2,4,3,1]. Popping 2 moves 1 to the root, which sinks through the
  // right child (3) on the 4/4 tie, so 3 leaves before 4.
  EXPECT_EQ(heap.pop().slot, 2u);
  EXPECT_EQ(heap.pop().slot, 3u);
  EXPECT_EQ(heap.pop().slot, 4u);
  EXPECT_EQ(heap.pop().slot, 1u);
  EXPECT_TRUE(heap.empty());
}

}  // namespace
}  // namespace orvane::index
