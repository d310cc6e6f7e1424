// AVX2+FMA kernels. Batches put two stored vectors in each 256-bit
// accumulator (one per 128-bit half, each half being that vector's four lane
// chains) and keep four accumulators in flight, so eight vectors advance per
// step while every vector's sums are formed exactly as in the reference.
#include <algorithm>

#include "index/distance_kernels.h"
#include "index/distance_glue.h"
#include "index/distance_x86.h"

namespace orvane::index::detail {
namespace {

constexpr std::size_t kGroup = 8;  // vectors per full group

// Scores the 2 * G vectors p[0 .. 2G) and stores the first `keep` results.
template <DistanceMetric M, int G>
void group(const BatchQuery& bq, const float* const* p, float* out, std::size_t keep) {
  static_assert(G % 2 == 0, "results are finished four at a time");
  __m256 acc[G], nrm[G];
  for (int g = 0; g < G; ++g) acc[g] = nrm[g] = _mm256_setzero_ps();
  for (std::size_t i = 0; i < bq.blocked; i += 4) {
    const __m256 x = _mm256_broadcast_ps(reinterpret_cast<const __m128*>(bq.q + i));
#pragma GCC unroll 4
    for (int g = 0; g < G; ++g) {
      const __m256 y = _mm256_loadu2_m128(p[2 * g + 1] + i, p[2 * g] + i);
      if constexpr (M == DistanceMetric::Euclidean) {
        const __m256 d = _mm256_sub_ps(x, y);
        acc[g] = _mm256_fmadd_ps(d, d, acc[g]);
      } else {
        acc[g] = _mm256_fmadd_ps(x, y, acc[g]);
        if constexpr (M == DistanceMetric::Cosine) nrm[g] = _mm256_fmadd_ps(y, y, nrm[g]);
      }
    }
  }
  for (int j = 0; j < G / 2 && keep > 4 * static_cast<std::size_t>(j); ++j) {
    const __m256 a0 = acc[2 * j], a1 = acc[2 * j + 1];
    const __m128 sum = reduce_lanes4(_mm256_castps256_ps128(a0), _mm256_extractf128_ps(a0, 1),
                                     _mm256_castps256_ps128(a1), _mm256_extractf128_ps(a1, 1));
    __m128 norm = _mm_setzero_ps();
    if constexpr (M == DistanceMetric::Cosine) {
      const __m256 n0 = nrm[2 * j], n1 = nrm[2 * j + 1];
      norm = reduce_lanes4(_mm256_castps256_ps128(n0), _mm256_extractf128_ps(n0, 1),
                           _mm256_castps256_ps128(n1), _mm256_extractf128_ps(n1, 1));
    }
    const std::size_t done = 4 * static_cast<std::size_t>(j);
    store_first(out + done, finish4<M>(bq, p + done, sum, norm),
                std::min<std::size_t>(4, keep - done));
  }
}

// Groups of eight; a last group of four or fewer runs at half width.
template <DistanceMetric M, class Source>
void run_groups(const BatchQuery& bq, const Source& source, std::size_t count, float* out) {
  for_each_group<kGroup>(source, count, out, [&](const float* const* p, float* o, std::size_t n) {
    if (n <= 4) return group<M, 2>(bq, p, o, n);
    group<M, 4>(bq, p, o, n);
  });
}

struct Avx2 {
  template <DistanceMetric M, class Source>
  static void run(const BatchQuery& bq, const Source& source, std::size_t count, float* out) {
    run_groups<M>(bq, source, count, out);
  }
};

}  // namespace

const DistanceKernels kAvx2Kernels = KernelGlue<Avx2>::table();

}  // namespace orvane::index::detail
