// Id bookkeeping: the id table and the heap's free space.
#include "engine/id_table.h"

#include <gtest/gtest.h>

#include <random>
#include <unordered_map>

#include "engine/heap_space.h"

namespace orvane::engine {
namespace {

TEST(IdTable, AgreesWithAStandardMapThroughInsertsAndErases) {
  std::vector<std::string> ids(5000);
  IdTable table(&ids);
  std::unordered_map<std::string, std::uint64_t> model;
  std::mt19937 rng(7);
  for (int step = 0; step < 40000; ++step) {
    const std::uint64_t slot = rng() % ids.size();
    const std::string id = "k" + std::to_string(rng() % 100000);
    if (!ids[slot].empty()) {
      table.erase(slot);
      model.erase(ids[slot]);
      ids[slot].clear();
    } else if (model.emplace(id, slot).second) {
      ids[slot] = id;
      table.insert(slot);
    }
  }
  EXPECT_EQ(table.size(), model.size());
  for (const auto& [id, slot] : model) EXPECT_EQ(table.find(id), slot);
  EXPECT_FALSE(table.find("absent"));
}

TEST(HeapSpace, TakesSmallestFitReusesFreedSpaceAfterCommitAndRollsBack) {
  HeapSpace h;
  // Stream of 100 bytes; live [10,20) and [50,60): gaps [0,10), [20,50), [60,100).
  h.reset(100, {{50, 10}, {10, 10}});
  EXPECT_EQ(h.free_bytes(), 80u);
  EXPECT_EQ(h.take(10), 0u);   // exact fit
  EXPECT_EQ(h.take(25), 20u);  // smallest gap that fits: [20,50)
  EXPECT_EQ(h.take(50), 60u);  // the gap that ends the stream grows it
  EXPECT_EQ(h.end(), 110u);
  EXPECT_EQ(h.take(3), 45u);  // the rest of [20,50)
  h.rollback();
  EXPECT_EQ(h.end(), 100u);
  EXPECT_EQ(h.free_bytes(), 80u);

  h.release(10, 10);
  EXPECT_EQ(h.take(30), 20u);  // released space is not reused before commit
  h.commit();
  EXPECT_EQ(h.free_bytes(), 60u);
  EXPECT_EQ(h.take(20), 0u);   // [0,10) and [10,20) coalesced
  EXPECT_EQ(h.take(0), 0u);    // an empty record takes nothing
  EXPECT_EQ(h.take(41), 60u);  // no gap of 41 bytes: [60,100) ends the stream, so it grows
  EXPECT_EQ(h.end(), 101u);
}

}  // namespace
}  // namespace orvane::engine
