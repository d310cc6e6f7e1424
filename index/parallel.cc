#include "index/parallel.h"

#include <algorithm>
#include <system_error>
#include <thread>
#include <vector>

namespace orvane::index {

std::size_t thread_count(std::size_t threads) {
  const std::size_t cores = std::max<std::size_t>(1, std::thread::hardware_concurrency());
  // More threads than cores only adds switching.
  return threads == 0 ? cores : std::min(threads, cores);
}

void parallel_for(std::size_t count, std::size_t threads, std::size_t min_chunk,
                  const std::function<void(std::size_t, std::size_t)>& fn) {
  if (count == 0) return;
  const std::size_t by_size = std::max<std::size_t>(1, count / std::max<std::size_t>(1, min_chunk));
  const std::size_t chunks = std::min(thread_count(threads), by_size);
  // Chunk c covers [c * count / chunks, (c + 1) * count / chunks).
  auto bounds = [&](std::size_t c) { return c * count / chunks; };
  std::vector<std::jthread> workers;
  workers.reserve(chunks - 1);
  for (std::size_t c = 1; c < chunks; ++c) {
    try {
      workers.emplace_back([&fn, b = bounds(c), e = bounds(c + 1)] { fn(b, e); });
    } catch (const std::system_error&) {
      // No thread to be had (a process or memory limit): this thread runs
      // the chunk itself, so the call still completes.
      fn(bounds(c), bounds(c + 1));
    }
  }
  fn(0, bounds(1));
}

}  // namespace orvane::index
