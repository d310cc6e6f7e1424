// Distance kernels at d = 128, 768, 1536 beside hnswlib's and faiss's kernels.
//
//   distance_{l2,ip}_batch/d:D/orvane   one distance_batch call over kStored
//                                        contiguous vectors (the others: the
//                                        peer's per-pair function in a loop over
//                                        the same vectors); same work per iteration
//   distance_{l2,ip}_pair/d:D/ENGINE    one pair per iteration, calls independent
//   distance_l2_latency/d:D/orvane      one pair per iteration, each call's query
//                                        address depending on the previous result
//   distance_latency_floor              that loop around a call that loads one float
//   cpu_add_chain, cpu_fma_chain        cycle time and FMA latency of this CPU
//
// hnswlib's L2 is the squared distance and its inner product is 1 - a·b: each
// engine computes its own metric over the same data. Counters: pairs/s and
// FLOP/s (3 per element for L2: subtract, multiply, add; 2 for the inner product).
#include <benchmark/benchmark.h>
#include <immintrin.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "index/distance.h"

#ifdef ORVANE_HAVE_HNSWLIB
#include <hnswlib/hnswlib.h>
#endif
#ifdef ORVANE_HAVE_FAISS
#include <faiss/utils/distances.h>
#endif

namespace orvane::index {
namespace {

constexpr std::size_t kStored = 64;  // about one graph node's neighbour list
constexpr std::size_t kDims[] = {128, 768, 1536};

struct Data {
  std::vector<float> query;
  std::vector<float> stored;  // kStored * d
  std::vector<const float*> ptrs;
};

Data make_data(std::size_t d) {
  std::mt19937 rng(static_cast<unsigned>(d));
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  Data data;
  data.query.resize(d);
  data.stored.resize(kStored * d);
  for (float& x : data.query) x = u(rng);
  for (float& x : data.stored) x = u(rng);
  for (std::size_t i = 0; i < kStored; ++i)
    data.ptrs.push_back(data.stored.data() + ((i * 37) % kStored) * d);
  return data;
}

void set_counters(benchmark::State& state, std::size_t pairs, std::size_t d,
                  double flops_per_elem) {
  state.counters["pairs/s"] =
      benchmark::Counter(static_cast<double>(pairs), benchmark::Counter::kIsIterationInvariantRate);
  state.counters["FLOP/s"] = benchmark::Counter(flops_per_elem * static_cast<double>(pairs * d),
                                                benchmark::Counter::kIsIterationInvariantRate);
}

using PairFn = float (*)(const float*, const float*, std::size_t);

void batch_orvane(benchmark::State& state, DistanceMetric metric, std::size_t d, double flops,
                  bool via_ptrs) {
  const Data data = make_data(d);
  std::vector<float> out(kStored);
  for (auto _ : state) {
    if (via_ptrs) {
      distance_batch_ptrs(metric, data.query.data(), data.ptrs.data(), d, kStored, out.data());
    } else {
      distance_batch(metric, data.query.data(), data.stored.data(), d, kStored, out.data());
    }
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  set_counters(state, kStored, d, flops);
}

template <class Fn>
void batch_peer(benchmark::State& state, std::size_t d, double flops, Fn fn) {
  const Data data = make_data(d);
  std::vector<float> out(kStored);
  for (auto _ : state) {
    for (std::size_t i = 0; i < kStored; ++i)
      out[i] = fn(data.query.data(), data.stored.data() + i * d);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  set_counters(state, kStored, d, flops);
}

template <class Fn>
void pair_loop(benchmark::State& state, std::size_t d, double flops, Fn fn) {
  const Data data = make_data(d);
  std::size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(fn(data.query.data(), data.stored.data() + i * d));
    i = (i + 1) % kStored;
  }
  set_counters(state, 1, d, flops);
}

// The next call's query address depends on the previous result (through a
// mask that is zero at run time), so calls cannot overlap: this is latency.
void latency_orvane(benchmark::State& state, std::size_t d) {
  const Data data = make_data(d);
  volatile std::uint32_t zero = 0;
  const std::uint32_t mask = zero;
  float r = 0.0f;
  std::size_t i = 0;
  for (auto _ : state) {
    const float* q = data.query.data() + (std::bit_cast<std::uint32_t>(r) & mask);
    r = distance(DistanceMetric::Euclidean, q, data.stored.data() + i * d, d);
    i = (i + 1) % kStored;
  }
  benchmark::DoNotOptimize(r);
  set_counters(state, 1, d, 3.0);
}

// The same dependent loop around a call that only loads one float: the part of
// distance_l2_latency that is the harness (and the first load), not the kernel.
__attribute__((noinline)) float first_element(const float* a, const float*, std::size_t) {
  return a[0];
}

void latency_floor(benchmark::State& state) {
  const Data data = make_data(128);
  volatile std::uint32_t zero = 0;
  const std::uint32_t mask = zero;
  float r = 0.0f;
  for (auto _ : state) {
    const float* q = data.query.data() + (std::bit_cast<std::uint32_t>(r) & mask);
    r = first_element(q, data.stored.data(), 128);
  }
  benchmark::DoNotOptimize(r);
}

// 64 dependent integer adds per iteration: one cycle each.
void cpu_add_chain(benchmark::State& state) {
  std::uint64_t x = 0;
  for (auto _ : state) {
    for (int i = 0; i < 64; ++i) asm volatile("add $1, %0" : "+r"(x));
  }
  benchmark::DoNotOptimize(x);
  state.counters["adds/s"] = benchmark::Counter(64, benchmark::Counter::kIsIterationInvariantRate);
}

// 64 dependent 128-bit FMAs per iteration.
void cpu_fma_chain(benchmark::State& state) {
  __m128 acc = _mm_setzero_ps();
  const __m128 a = _mm_set1_ps(0.5f), b = _mm_set1_ps(0.25f);
  for (auto _ : state) {
    for (int i = 0; i < 64; ++i) {
      acc = _mm_fmadd_ps(a, b, acc);
      asm volatile("" : "+x"(acc));
    }
  }
  benchmark::DoNotOptimize(acc);
  state.counters["fmas/s"] = benchmark::Counter(64, benchmark::Counter::kIsIterationInvariantRate);
}

float orvane_l2(const float* a, const float* b, std::size_t d) {
  return distance(DistanceMetric::Euclidean, a, b, d);
}
float orvane_ip(const float* a, const float* b, std::size_t d) {
  return distance(DistanceMetric::DotProduct, a, b, d);
}

// Machines shared with other work are noisy: every benchmark also reports the
// fastest of its repetitions.
double min_of(const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); }

template <class... A>
void add(A&&... args) {
  benchmark::RegisterBenchmark(std::forward<A>(args)...)->ComputeStatistics("min", min_of);
}

void register_all() {
  add("cpu_add_chain", cpu_add_chain);
  add("cpu_fma_chain", cpu_fma_chain);
  add("distance_latency_floor", latency_floor);
  for (std::size_t d : kDims) {
    const std::string dn = "/d:" + std::to_string(d);
    add(("distance_l2_batch" + dn + "/orvane").c_str(), batch_orvane, DistanceMetric::Euclidean, d,
        3.0, false);
    add(("distance_l2_batch_ptrs" + dn + "/orvane").c_str(), batch_orvane,
        DistanceMetric::Euclidean, d, 3.0, true);
    add(("distance_ip_batch" + dn + "/orvane").c_str(), batch_orvane, DistanceMetric::DotProduct, d,
        2.0, false);
    add(("distance_cos_batch" + dn + "/orvane").c_str(), batch_orvane, DistanceMetric::Cosine, d,
        4.0, false);
    add(("distance_l2_pair" + dn + "/orvane").c_str(), [d](benchmark::State& s) {
      pair_loop(s, d, 3.0, [d](const float* a, const float* b) { return orvane_l2(a, b, d); });
    });
    add(("distance_ip_pair" + dn + "/orvane").c_str(), [d](benchmark::State& s) {
      pair_loop(s, d, 2.0, [d](const float* a, const float* b) { return orvane_ip(a, b, d); });
    });
    add(("distance_l2_latency" + dn + "/orvane").c_str(), latency_orvane, d);
#ifdef ORVANE_HAVE_HNSWLIB
    auto l2 = std::make_shared<hnswlib::L2Space>(d);
    auto ip = std::make_shared<hnswlib::InnerProductSpace>(d);
    // As hnswlib's own index does: the function and its parameter fetched once.
    auto hl2 = [l2, f = l2->get_dist_func(), p = l2->get_dist_func_param()](
                   const float* a, const float* b) { return f(a, b, p); };
    auto hip = [ip, f = ip->get_dist_func(), p = ip->get_dist_func_param()](
                   const float* a, const float* b) { return f(a, b, p); };
    add(("distance_l2_batch" + dn + "/hnswlib").c_str(),
        [d, hl2](benchmark::State& s) { batch_peer(s, d, 3.0, hl2); });
    add(("distance_ip_batch" + dn + "/hnswlib").c_str(),
        [d, hip](benchmark::State& s) { batch_peer(s, d, 2.0, hip); });
    add(("distance_l2_pair" + dn + "/hnswlib").c_str(),
        [d, hl2](benchmark::State& s) { pair_loop(s, d, 3.0, hl2); });
    add(("distance_ip_pair" + dn + "/hnswlib").c_str(),
        [d, hip](benchmark::State& s) { pair_loop(s, d, 2.0, hip); });
#endif
#ifdef ORVANE_HAVE_FAISS
    auto fl2 = [d](const float* a, const float* b) { return faiss::fvec_L2sqr(a, b, d); };
    auto fip = [d](const float* a, const float* b) { return faiss::fvec_inner_product(a, b, d); };
    add(("distance_l2_batch" + dn + "/faiss").c_str(),
        [d, fl2](benchmark::State& s) { batch_peer(s, d, 3.0, fl2); });
    add(("distance_ip_batch" + dn + "/faiss").c_str(),
        [d, fip](benchmark::State& s) { batch_peer(s, d, 2.0, fip); });
    add(("distance_l2_pair" + dn + "/faiss").c_str(),
        [d, fl2](benchmark::State& s) { pair_loop(s, d, 3.0, fl2); });
    add(("distance_ip_pair" + dn + "/faiss").c_str(),
        [d, fip](benchmark::State& s) { pair_loop(s, d, 2.0, fip); });
#endif
  }
}

}  // namespace
}  // namespace orvane::index

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  orvane::index::register_all();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
