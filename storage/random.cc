#include "storage/random.h"

#include <chrono>
#include <functional>
#include <thread>

namespace orvane::storage {
namespace {

struct ThreadState {
  bool seeded = false;
  std::uint64_t state = 0;
};
thread_local ThreadState tls;

std::uint64_t mix(std::uint64_t x) {  // splitmix64 finaliser
  x ^= x >> 30;
  x *= 0xbf58476d1ce4e5b9ULL;
  x ^= x >> 27;
  x *= 0x94d049bb133111ebULL;
  x ^= x >> 31;
  return x;
}

std::uint64_t& state() {
  if (!tls.seeded) {
    auto now = static_cast<std::uint64_t>(
        std::chrono::steady_clock::now().time_since_epoch().count());
    auto tid = static_cast<std::uint64_t>(std::hash<std::thread::id>{}(std::this_thread::get_id()));
    tls.state = mix(now ^ mix(tid));
    tls.seeded = true;
  }
  return tls.state;
}

}  // namespace

std::uint64_t wyrand_step(std::uint64_t& s) {
  s += 0x2d358dccaa6c78a5ULL;
  const std::uint64_t t = s ^ 0x8bb84b93962eacc9ULL;
  const unsigned __int128 p = static_cast<unsigned __int128>(s) * t;
  return static_cast<std::uint64_t>(p) ^ static_cast<std::uint64_t>(p >> 64);
}

std::uint64_t thread_random_next() { return wyrand_step(state()); }

double thread_random_unit() {
  for (;;) {
    const double u = static_cast<double>(thread_random_next() >> 1) * 0x1p-63;
    if (u < 1.0) return u;
  }
}

void thread_random_seed_for_testing(std::uint64_t s) {
  tls.state = s;
  tls.seeded = true;
}

}  // namespace orvane::storage
