// Score order: keys, stable sorting, and the graph's heaps on ties and NaN.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <limits>
#include <vector>

#include "index/hnsw_heap.h"
#include "index/score_order.h"

namespace orvane::index {
namespace {

// Both keys (the flat scan's and the graph heaps'): numbers in IEEE order,
// NaN of any sign or payload after +inf (x86 makes 0/0 negative). The flat
// scan's key makes the zeros equal, the heaps' puts -0.0 first.
TEST(ScoreOrder, KeysFollowLessThanWithNanLast) {
  constexpr float inf = std::numeric_limits<float>::infinity();
  constexpr float nan = std::numeric_limits<float>::quiet_NaN();
  constexpr float tiny = std::numeric_limits<float>::denorm_min();
  constexpr float big = std::numeric_limits<float>::max();
  const float ascending[] = {-inf, -big, -1.0f, -tiny, 0.0f, tiny, std::numeric_limits<float>::min(),
                             1.0f, 2.0f, big, inf, nan};
  for (const bool heaps : {false, true}) {
    auto key = [&](float f) { return heaps ? distance_order_key(f) : score_key(f); };
    for (std::size_t i = 0; i + 1 < std::size(ascending); ++i) {
      EXPECT_LT(key(ascending[i]), key(ascending[i + 1])) << i;
    }
    EXPECT_EQ(key(-0.0f) < key(0.0f), heaps);
    EXPECT_LE(key(-0.0f), key(0.0f));
    for (std::uint32_t bits : {0xFFC00000u, 0x7F800001u, 0xFFFFFFFFu}) {
      EXPECT_EQ(key(std::bit_cast<float>(bits)), key(nan));
    }
  }
}

TEST(ScoreOrder, SortByKeyAndPositionIsTheStableOrder) {
  constexpr float nan = std::numeric_limits<float>::quiet_NaN();
  const std::vector<float> scores = {
      nan, 1.0f, -0.0f, -nan, 0.0f, 1.0f, std::numeric_limits<float>::infinity(), -2.0f};
  std::vector<std::size_t> order(scores.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(),
            [&](std::size_t a, std::size_t b) { return score_before(scores[a], a, scores[b], b); });
  EXPECT_EQ(order, (std::vector<std::size_t>{7, 2, 4, 1, 5, 6, 0, 3}));
}

using Slots = std::vector<std::uint32_t>;
const float kNan = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();

// Equal distances leave in the order the sift-downs give them (a pop sinks
// the last element through the right child on a tie): search results on
// ties depend on exactly this.
TEST(HnswHeap, PopOrderOnTies) {
  struct Row {
    bool max_heap;
    std::vector<ScoredSlot> pushed;
    Slots popped;
  };
  const Row rows[] = {
      {false, {{1, 1}, {2, 1}, {3, 1}, {4, 1}}, {1, 3, 2, 4}},
      {false, {{1, 2}, {2, -kNan}, {3, 0.0f}, {4, -0.0f}, {5, 2}, {6, -1}}, {6, 4, 3, 1, 5, 2}},
      {true, {{1, 3}, {2, kNan}, {3, 4}, {4, 4}}, {2, 3, 4, 1}},
  };
  for (const Row& r : rows) {
    std::vector<ScoredSlot> storage;
    Slots popped;
    if (r.max_heap) {
      ResultHeap heap(storage);
      for (const ScoredSlot& s : r.pushed) heap.push(s);
      while (!heap.empty()) popped.push_back(heap.pop().slot);
    } else {
      CandidateHeap heap(storage);
      for (const ScoredSlot& s : r.pushed) heap.push(s);
      while (!heap.empty()) popped.push_back(heap.pop().slot);
    }
    EXPECT_EQ(popped, r.popped);
  }
}

TEST(HnswHeap, SortedOutputOnTies) {
  const struct {
    std::vector<ScoredSlot> pushed;
    Slots sorted;
  } rows[] = {
      {{{1, 1}, {2, 1}, {3, 1}}, {2, 3, 1}},
      {{{1, 5}, {5, 2}, {4, 2}, {3, 1}, {2, 1}}, {3, 2, 5, 4, 1}},
  };
  for (const auto& r : rows) {
    std::vector<ScoredSlot> storage;
    ResultHeap heap(storage);
    for (const ScoredSlot& s : r.pushed) heap.push(s);
    heap.into_sorted();
    Slots got;
    for (const auto& s : storage) got.push_back(s.slot);
    EXPECT_EQ(got, r.sorted);
  }
}

}  // namespace
}  // namespace orvane::index
