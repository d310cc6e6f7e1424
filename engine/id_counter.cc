#include "engine/id_counter.h"

#include <atomic>
#include <limits>

namespace orvane::engine {

namespace {

constexpr std::uint64_t kIdCounterBase = 10000;
// Before any database is opened the counter starts at 1.
std::atomic<std::uint64_t> g_counter{1};

}  // namespace

std::uint64_t draw_id() { return g_counter.fetch_add(1, std::memory_order_relaxed); }

void reset_id_counter(std::uint64_t largest_live_count) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  const std::uint64_t value =
      largest_live_count > kMax - kIdCounterBase ? kMax : largest_live_count + kIdCounterBase;
  g_counter.store(value, std::memory_order_relaxed);
}

std::uint64_t peek_id_counter() { return g_counter.load(std::memory_order_relaxed); }

}  // namespace orvane::engine
