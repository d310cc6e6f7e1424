#include "engine/heap_space.h"

#include <gtest/gtest.h>

namespace orvane::engine {
namespace {

TEST(HeapSpace, TakesSmallestFitReusesFreedSpaceAfterCommitAndRollsBack) {
  HeapSpace h;
  // Stream of 100 bytes; live [10,20) and [50,60): gaps [0,10), [20,50), [60,100).
  h.reset(100, {{50, 10}, {10, 10}});
  EXPECT_EQ(h.free_bytes(), 80u);
  EXPECT_EQ(h.take(10), 0u);    // exact fit
  EXPECT_EQ(h.take(25), 20u);   // smallest gap that fits: [20,50)
  EXPECT_EQ(h.take(50), 60u);   // the gap that ends the stream grows it
  EXPECT_EQ(h.end(), 110u);
  EXPECT_EQ(h.take(3), 45u);    // the rest of [20,50)
  h.rollback();
  EXPECT_EQ(h.end(), 100u);
  EXPECT_EQ(h.free_bytes(), 80u);

  h.release(10, 10);
  EXPECT_EQ(h.take(30), 20u);   // released space is not reused before commit
  h.commit();
  EXPECT_EQ(h.free_bytes(), 60u);
  EXPECT_EQ(h.take(20), 0u);    // [0,10) and [10,20) coalesced
  EXPECT_EQ(h.take(0), 0u);     // an empty record takes nothing
  EXPECT_EQ(h.take(41), 60u);  // no gap of 41 bytes: [60,100) ends the stream, so it grows
  EXPECT_EQ(h.end(), 101u);
}

}  // namespace
}  // namespace orvane::engine
