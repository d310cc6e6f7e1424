#include "engine/id_counter.h"

#include <gtest/gtest.h>

#include <limits>

namespace orvane::engine {
namespace {

TEST(IdCounter, ResetDrawAndSaturation) {
  reset_id_counter(0);
  EXPECT_EQ(draw_id(), 10000u);
  EXPECT_EQ(draw_id(), 10001u);
  reset_id_counter(3);
  EXPECT_EQ(peek_id_counter(), 10003u);
  reset_id_counter(std::numeric_limits<std::uint64_t>::max() - 5);
  EXPECT_EQ(peek_id_counter(), std::numeric_limits<std::uint64_t>::max());
  reset_id_counter(0);
}

}  // namespace
}  // namespace orvane::engine
