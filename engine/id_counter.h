// The process-wide id counter: generated external ids ("doc_" N) and new
// internal ids are drawn from it by every collection of every database open
// in the process. Thread-safe (one atomic); draws need no lock.
#pragma once

#include <cstdint>

namespace orvane::engine {

// Returns the current value and advances it by one (wrapping).
std::uint64_t draw_id();
// Sets the counter to 10000 + largest_live_count, saturating at 2^64 - 1.
// Overwrites: opening a second database can lower the counter.
void reset_id_counter(std::uint64_t largest_live_count);
// The value the next draw returns (tests).
std::uint64_t peek_id_counter();

}  // namespace orvane::engine
