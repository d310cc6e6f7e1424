// Internal: the metric switch and batch glue of the SIMD kernel files.
// distance_avx2.cc and distance_avx512.cc each define a policy type with
//   template <DistanceMetric M, class Source>
//   static void run(const BatchQuery&, const Source&, std::size_t count, float* out);
// and, optionally,
//   template <DistanceMetric M>
//   static bool multi(const float* queries, std::size_t query_count, const float* base,
//                     std::size_t n, std::size_t count, float* out);
// (false: not handled, the glue scores query by query), then take their table
// from KernelGlue<Policy>. The anonymous namespace keeps each file's
// instantiation apart at link time.
#pragma once

#include <cstddef>

#include "index/distance_kernels.h"
#include "index/distance_x86.h"

namespace orvane::index::detail {
namespace {

// Scores `count` vectors in groups of kGroup: full groups, then one group of
// the rest padded by repeating its first vector (so the kernel never reads
// past the caller's vectors). `group(p, out, left)` scores p[0..kGroup) and
// stores the first `left` scores; it picks its width by `left`.
template <std::size_t kGroup, class Source, class Group>
void for_each_group(const Source& source, std::size_t count, float* out, const Group& group) {
  const float* p[kGroup];
  std::size_t first = 0;
  for (; first + kGroup <= count; first += kGroup) {
    for (std::size_t k = 0; k < kGroup; ++k) p[k] = source(first + k);
    group(p, out + first, kGroup);
  }
  const std::size_t left = count - first;
  if (left == 0) return;
  for (std::size_t k = 0; k < kGroup; ++k) p[k] = source(first + (k < left ? k : 0));
  group(p, out + first, left);
}

template <class Policy>
struct KernelGlue {
  template <class Source>
  static void dispatch(DistanceMetric metric, const float* query, std::size_t n,
                       const Source& source, std::size_t count, float* out) {
    const BatchQuery bq = make_batch_query(metric, query, n);
    switch (metric) {
      case DistanceMetric::Euclidean:
        return Policy::template run<DistanceMetric::Euclidean>(bq, source, count, out);
      case DistanceMetric::DotProduct:
        return Policy::template run<DistanceMetric::DotProduct>(bq, source, count, out);
      case DistanceMetric::Cosine:
        return Policy::template run<DistanceMetric::Cosine>(bq, source, count, out);
    }
  }

  static void batch(DistanceMetric metric, const float* query, const float* base, std::size_t n,
                    std::size_t count, float* out) {
    dispatch(
        metric, query, n, [=](std::size_t i) { return base + i * n; }, count, out);
  }

  static void batch_ptrs(DistanceMetric metric, const float* query, const float* const* vectors,
                         std::size_t n, std::size_t count, float* out) {
    dispatch(
        metric, query, n, [=](std::size_t i) { return vectors[i]; }, count, out);
  }

  static void multi(DistanceMetric metric, const float* queries, std::size_t query_count,
                    const float* base, std::size_t n, std::size_t count, float* out) {
    bool done = false;
    if constexpr (requires { Policy::template multi<DistanceMetric::Euclidean>; }) {
      switch (metric) {
        case DistanceMetric::Euclidean:
          done = Policy::template multi<DistanceMetric::Euclidean>(queries, query_count, base, n,
                                                                   count, out);
          break;
        case DistanceMetric::DotProduct:
          done = Policy::template multi<DistanceMetric::DotProduct>(queries, query_count, base, n,
                                                                    count, out);
          break;
        case DistanceMetric::Cosine:
          done = Policy::template multi<DistanceMetric::Cosine>(queries, query_count, base, n,
                                                                count, out);
          break;
      }
    }
    if (done) return;
    for (std::size_t q = 0; q < query_count; ++q) {
      batch(metric, queries + q * n, base, n, count, out + q * count);
    }
  }

  static constexpr DistanceKernels table() {
    return {single, batch, batch_ptrs, multi};
  }
};

}  // namespace
}  // namespace orvane::index::detail
