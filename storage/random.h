// Thread random generator (wyrand), one 64-bit state per thread, seeded on
// first use from the monotonic clock and the thread's identity. Used for the
// log's salts and for HNSW level drawing.
#pragma once

#include <cstdint>

namespace orvane::storage {

// One wyrand step on the calling thread's state; returns r.
std::uint64_t thread_random_next();
// A 64-bit float in [0, 1): (r >> 1) * 2^-63, redrawn while it rounds to 1.0.
double thread_random_unit();
// Test hook: set the calling thread's state (never reachable from Python).
void thread_random_seed_for_testing(std::uint64_t state);

// The pure step, exposed for known-answer tests.
std::uint64_t wyrand_step(std::uint64_t& state);

}  // namespace orvane::storage
