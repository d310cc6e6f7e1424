// Exhaustive top-10 over 100,000 clustered 128-d vectors (51.2 MB), one thread.
//
//   flat_top10/orvane            Flat::search, one query per iteration
//   flat_top10/faiss             IndexFlatL2::search with n = 1
//   flat_top10_batched/ENGINE    100 queries per iteration, time reported per
//                                query (faiss: one search call with n = 100,
//                                which goes through BLAS; orvane: 100 searches)
//   stream_sum                   one pass summing the same 51.2 MB: the
//                                memory-bandwidth floor for any exhaustive scan
//
// Every engine scans the same vectors with the same queries, round robin.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <random>
#include <vector>

#include "index/flat_index.h"

#ifdef ORVANE_HAVE_FAISS
#include <faiss/IndexFlat.h>
#include <omp.h>
#endif

namespace orvane::index {
namespace {

constexpr std::size_t kCount = 100000;
constexpr std::size_t kDim = 128;
constexpr std::size_t kClusters = 100;
constexpr std::size_t kQueries = 100;
constexpr std::size_t kK = 10;

struct Dataset {
  std::vector<float> vectors;  // kCount * kDim
  std::vector<float> queries;  // kQueries * kDim
};

// Points scattered around random centres, queries drawn the same way.
const Dataset& dataset() {
  static const Dataset data = [] {
    std::mt19937 rng(42);
    std::uniform_real_distribution<float> centre(-1.0f, 1.0f);
    std::normal_distribution<float> noise(0.0f, 0.15f);
    std::vector<float> centres(kClusters * kDim);
    for (float& x : centres) x = centre(rng);
    auto draw = [&](std::size_t count) {
      std::vector<float> out(count * kDim);
      for (std::size_t i = 0; i < count; ++i) {
        const float* c = centres.data() + (rng() % kClusters) * kDim;
        for (std::size_t j = 0; j < kDim; ++j) out[i * kDim + j] = c[j] + noise(rng);
      }
      return out;
    };
    Dataset d;
    d.vectors = draw(kCount);
    d.queries = draw(kQueries);
    return d;
  }();
  return data;
}

const Flat& flat() {
  static const Flat index = [] {
    Flat f(kDim, DistanceMetric::Euclidean);
    const Dataset& d = dataset();
    for (std::size_t i = 0; i < kCount; ++i) {
      (void)f.insert(i, std::span<const float>(d.vectors.data() + i * kDim, kDim));
    }
    return f;
  }();
  return index;
}

std::span<const float> query(std::size_t q) {
  return {dataset().queries.data() + (q % kQueries) * kDim, kDim};
}

void flat_orvane(benchmark::State& state) {
  const Flat& index = flat();
  std::size_t q = 0;
  for (auto _ : state) {
    auto hits = index.search(query(q++), kK);
    benchmark::DoNotOptimize(hits);
  }
  state.counters["bytes/s"] = benchmark::Counter(static_cast<double>(kCount * kDim * sizeof(float)),
                                                 benchmark::Counter::kIsIterationInvariantRate);
}

void flat_batched_orvane(benchmark::State& state) {
  const Flat& index = flat();
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    for (std::size_t q = 0; q < kQueries; ++q) {
      auto hits = index.search(query(q), kK);
      benchmark::DoNotOptimize(hits);
    }
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    state.SetIterationTime(took.count() / kQueries);
  }
}

// A plain sum with eight independent 16-float accumulators, so that only
// memory limits it (the compiler maps the vector type onto the widest SIMD).
void stream_sum(benchmark::State& state) {
  using V16 = float __attribute__((vector_size(64)));
  const std::vector<float>& v = dataset().vectors;
  for (auto _ : state) {
    V16 acc[8] = {};
    for (std::size_t i = 0; i + 128 <= v.size(); i += 128) {
      for (int k = 0; k < 8; ++k) {
        V16 x;
        std::memcpy(&x, v.data() + i + 16 * k, sizeof x);
        acc[k] += x;
      }
    }
    for (int k = 1; k < 8; ++k) acc[0] += acc[k];
    benchmark::DoNotOptimize(acc[0]);
  }
  state.counters["bytes/s"] = benchmark::Counter(static_cast<double>(v.size() * sizeof(float)),
                                                 benchmark::Counter::kIsIterationInvariantRate);
}

#ifdef ORVANE_HAVE_FAISS
const faiss::IndexFlatL2& faiss_index() {
  static const faiss::IndexFlatL2* index = [] {
    omp_set_num_threads(1);
    auto* f = new faiss::IndexFlatL2(kDim);
    f->add(kCount, dataset().vectors.data());
    return f;
  }();
  return *index;
}

void flat_faiss(benchmark::State& state) {
  const faiss::IndexFlatL2& index = faiss_index();
  std::vector<float> dist(kK);
  std::vector<faiss::Index::idx_t> ids(kK);
  std::size_t q = 0;
  for (auto _ : state) {
    index.search(1, query(q++).data(), kK, dist.data(), ids.data());
    benchmark::DoNotOptimize(ids.data());
  }
}

void flat_batched_faiss(benchmark::State& state) {
  const faiss::IndexFlatL2& index = faiss_index();
  std::vector<float> dist(kK * kQueries);
  std::vector<faiss::Index::idx_t> ids(kK * kQueries);
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    index.search(kQueries, dataset().queries.data(), kK, dist.data(), ids.data());
    benchmark::DoNotOptimize(ids.data());
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    state.SetIterationTime(took.count() / kQueries);
  }
}
#endif

// Machines shared with other work are noisy: every benchmark also reports the
// fastest of its repetitions.
double min_of(const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); }

BENCHMARK(stream_sum)
    ->Name("stream_sum")
    ->Unit(benchmark::kMicrosecond)
    ->ComputeStatistics("min", min_of);
BENCHMARK(flat_orvane)
    ->Name("flat_top10/orvane")
    ->Unit(benchmark::kMicrosecond)
    ->ComputeStatistics("min", min_of);
BENCHMARK(flat_batched_orvane)
    ->Name("flat_top10_batched/orvane")
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond)
    ->ComputeStatistics("min", min_of);
#ifdef ORVANE_HAVE_FAISS
BENCHMARK(flat_faiss)
    ->Name("flat_top10/faiss")
    ->Unit(benchmark::kMicrosecond)
    ->ComputeStatistics("min", min_of);
BENCHMARK(flat_batched_faiss)
    ->Name("flat_top10_batched/faiss")
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond)
    ->ComputeStatistics("min", min_of);
#endif

}  // namespace
}  // namespace orvane::index

BENCHMARK_MAIN();
