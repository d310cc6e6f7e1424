// Internal: one table of distance kernels per instruction set. Every table
// returns exactly the bits of the scalar reference (distance_ref.cc).
#pragma once

#include <cstddef>

#include "index/metric.h"

namespace orvane::index::detail {

struct DistanceKernels {
  float (*single)(DistanceMetric metric, const float* a, const float* b, std::size_t n);
  void (*batch)(DistanceMetric metric, const float* query, const float* base, std::size_t n,
                std::size_t count, float* out);
  void (*batch_ptrs)(DistanceMetric metric, const float* query, const float* const* vectors,
                     std::size_t n, std::size_t count, float* out);
  // out[q * count + i] = single(metric, queries + q * n, base + i * n, n).
  void (*multi)(DistanceMetric metric, const float* queries, std::size_t query_count,
                const float* base, std::size_t n, std::size_t count, float* out);
};

// Portable: std::fma on four scalar lanes. Runs on every CPU.
extern const DistanceKernels kScalarKernels;
// Compiled with AVX2+FMA / AVX-512F; call only when the CPU has them.
extern const DistanceKernels kAvx2Kernels;
extern const DistanceKernels kAvx512Kernels;

}  // namespace orvane::index::detail
