// parallel_for: splits [0, count) into contiguous chunks run on their own
// threads, started for this call and joined before it returns. No pool
// outlives a call, so nothing is left for a forked child to inherit.
// Cost: about one thread start per extra chunk (tens of microseconds). When
// a thread cannot be started the caller runs that chunk itself.
#pragma once

#include <cstddef>
#include <functional>

namespace orvane::index {

// Threads a call uses for `threads`: 0 means every hardware thread; never
// more than those, never fewer than 1.
std::size_t thread_count(std::size_t threads);

// Runs fn(begin, end) over disjoint chunks covering [0, count), each of at
// least min_chunk items (but one), on at most thread_count(threads) threads;
// the calling thread runs the first chunk. fn must be safe to run
// concurrently on disjoint ranges.
void parallel_for(std::size_t count, std::size_t threads, std::size_t min_chunk,
                  const std::function<void(std::size_t, std::size_t)>& fn);

}  // namespace orvane::index
