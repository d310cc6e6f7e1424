// Picks the kernel table once per process from the CPU's features; tests may
// force any runnable table, since every table gives the same bits.
#include <atomic>

#include "index/distance.h"
#include "index/distance_kernels.h"

namespace orvane::index {
namespace {

const detail::DistanceKernels* kernels_for(Isa isa) {
  switch (isa) {
    case Isa::Scalar:
      break;
    case Isa::Avx2:
      return &detail::kAvx2Kernels;
    case Isa::Avx512:
      return &detail::kAvx512Kernels;
  }
  return &detail::kScalarKernels;
}

// Ascending capability; the last entry is the default. A CPU with AVX-512F but
// not AVX2+FMA does not exist in practice, but the checks stay independent.
std::vector<Isa> detect() {
  std::vector<Isa> isas = {Isa::Scalar};
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) isas.push_back(Isa::Avx2);
  if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
      __builtin_cpu_supports("fma")) {
    isas.push_back(Isa::Avx512);
  }
  return isas;
}

const std::vector<Isa>& detected() {
  static const std::vector<Isa> isas = detect();
  return isas;
}

// Relaxed is enough: every table is immutable and any of them is correct.
std::atomic<const detail::DistanceKernels*> g_active{nullptr};
std::atomic<Isa> g_active_isa{Isa::Scalar};

const detail::DistanceKernels* active() {
  const detail::DistanceKernels* k = g_active.load(std::memory_order_relaxed);
  if (k != nullptr) return k;
  const Isa best = detected().back();
  k = kernels_for(best);
  g_active_isa.store(best, std::memory_order_relaxed);
  g_active.store(k, std::memory_order_relaxed);
  return k;
}

}  // namespace

float distance(DistanceMetric metric, const float* a, const float* b, std::size_t n) {
  return active()->single(metric, a, b, n);
}

void distance_batch(DistanceMetric metric, const float* query, const float* base, std::size_t n,
                    std::size_t count, float* out) {
  active()->batch(metric, query, base, n, count, out);
}

void distance_batch_ptrs(DistanceMetric metric, const float* query, const float* const* vectors,
                         std::size_t n, std::size_t count, float* out) {
  active()->batch_ptrs(metric, query, vectors, n, count, out);
}

void distance_multi(DistanceMetric metric, const float* queries, std::size_t query_count,
                    const float* base, std::size_t n, std::size_t count, float* out) {
  active()->multi(metric, queries, query_count, base, n, count, out);
}

std::vector<Isa> runnable_isas() { return detected(); }

Isa active_isa() {
  active();
  return g_active_isa.load(std::memory_order_relaxed);
}

bool force_isa_for_testing(Isa isa) {
  for (Isa runnable : detected()) {
    if (runnable != isa) continue;
    g_active_isa.store(isa, std::memory_order_relaxed);
    g_active.store(kernels_for(isa), std::memory_order_relaxed);
    return true;
  }
  return false;
}

}  // namespace orvane::index
