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
