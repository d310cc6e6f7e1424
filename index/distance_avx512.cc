// AVX-512 kernels. Batches put four stored vectors in each 512-bit
// accumulator (one per 128-bit lane, each lane being that vector's four lane
// chains) and keep four accumulators in flight: sixteen vectors per step,
// enough independent FMA chains to hide their latency. Stored vectors are read
// 256 bits at a time and regrouped with one insert and one shuffle per
// accumulator update, so memory is read in whole half-lines.
#include <algorithm>

#include "index/distance_kernels.h"
#include "index/distance_x86.h"

namespace orvane::index::detail {
namespace {

constexpr std::size_t kGroup = 16;  // vectors per full group

template <DistanceMetric M>
inline void step(__m512 x, __m512 y, __m512& acc, __m512& nrm) {
  if constexpr (M == DistanceMetric::Euclidean) {
    const __m512 d = _mm512_sub_ps(x, y);
    acc = _mm512_fmadd_ps(d, d, acc);
  } else {
    acc = _mm512_fmadd_ps(x, y, acc);
    if constexpr (M == DistanceMetric::Cosine) nrm = _mm512_fmadd_ps(y, y, nrm);
  }
}

// [a, b] and [c, d] (256-bit halves of four vectors at the same offset).
inline __m512 pair_halves(const float* a, const float* b) {
  return _mm512_insertf32x8(_mm512_castps256_ps512(_mm256_loadu_ps(a)), _mm256_loadu_ps(b), 1);
}

inline __m512 four_blocks(const float* a, const float* b, const float* c, const float* d) {
  __m512 v = _mm512_castps128_ps512(_mm_loadu_ps(a));
  v = _mm512_insertf32x4(v, _mm_loadu_ps(b), 1);
  v = _mm512_insertf32x4(v, _mm_loadu_ps(c), 2);
  return _mm512_insertf32x4(v, _mm_loadu_ps(d), 3);
}

inline __m128 reduce_lanes_zmm(__m512 v) {
  return reduce_lanes4(_mm512_castps512_ps128(v), _mm512_extractf32x4_ps(v, 1),
                       _mm512_extractf32x4_ps(v, 2), _mm512_extractf32x4_ps(v, 3));
}

// Scores the 4 * G vectors p[0 .. 4G) and stores the first `keep` results.
template <DistanceMetric M, int G>
void group(const BatchQuery& bq, const float* const* p, float* out, std::size_t keep) {
  __m512 acc[G], nrm[G];
  for (int g = 0; g < G; ++g) acc[g] = nrm[g] = _mm512_setzero_ps();
  std::size_t i = 0;
  for (; i + 8 <= bq.blocked; i += 8) {
    const __m512 x0 = _mm512_broadcast_f32x4(_mm_loadu_ps(bq.q + i));
    const __m512 x1 = _mm512_broadcast_f32x4(_mm_loadu_ps(bq.q + i + 4));
#pragma GCC unroll 4
    for (int g = 0; g < G; ++g) {
      const float* const* v = p + 4 * g;
      const __m512 ab = pair_halves(v[0] + i, v[1] + i);  // [a_i a_i+1 b_i b_i+1]
      const __m512 cd = pair_halves(v[2] + i, v[3] + i);
      step<M>(x0, _mm512_shuffle_f32x4(ab, cd, 0x88), acc[g], nrm[g]);  // block i
      step<M>(x1, _mm512_shuffle_f32x4(ab, cd, 0xDD), acc[g], nrm[g]);  // block i + 1
    }
  }
  if (i < bq.blocked) {  // an odd number of blocks
    const __m512 x = _mm512_broadcast_f32x4(_mm_loadu_ps(bq.q + i));
    for (int g = 0; g < G; ++g) {
      const float* const* v = p + 4 * g;
      step<M>(x, four_blocks(v[0] + i, v[1] + i, v[2] + i, v[3] + i), acc[g], nrm[g]);
    }
  }
  for (int g = 0; g < G && keep > 4 * static_cast<std::size_t>(g); ++g) {
    const __m128 sum = reduce_lanes_zmm(acc[g]);
    __m128 norm = _mm_setzero_ps();
    if constexpr (M == DistanceMetric::Cosine) norm = reduce_lanes_zmm(nrm[g]);
    const std::size_t done = 4 * static_cast<std::size_t>(g);
    store_first(out + done, finish4<M>(bq, p + done, sum, norm),
                std::min<std::size_t>(4, keep - done));
  }
}

// Full groups of sixteen, then one group of 4, 8 or 16 padded by repeating its
// first vector.
template <DistanceMetric M, class Source>
void run(const BatchQuery& bq, const Source& source, std::size_t count, float* out) {
  const float* p[kGroup];
  std::size_t first = 0;
  for (; first + kGroup <= count; first += kGroup) {
    for (std::size_t k = 0; k < kGroup; ++k) p[k] = source(first + k);
    group<M, 4>(bq, p, out + first, kGroup);
  }
  const std::size_t left = count - first;
  if (left == 0) return;
  for (std::size_t k = 0; k < kGroup; ++k) p[k] = source(first + (k < left ? k : 0));
  if (left <= 4) {
    group<M, 1>(bq, p, out + first, left);
  } else if (left <= 8) {
    group<M, 2>(bq, p, out + first, left);
  } else {
    group<M, 4>(bq, p, out + first, left);
  }
}

template <class Source>
void dispatch(DistanceMetric metric, const float* query, std::size_t n, const Source& source,
              std::size_t count, float* out) {
  const BatchQuery bq = make_batch_query(metric, query, n);
  switch (metric) {
    case DistanceMetric::Euclidean:
      return run<DistanceMetric::Euclidean>(bq, source, count, out);
    case DistanceMetric::DotProduct:
      return run<DistanceMetric::DotProduct>(bq, source, count, out);
    case DistanceMetric::Cosine:
      return run<DistanceMetric::Cosine>(bq, source, count, out);
  }
}

void batch(DistanceMetric metric, const float* query, const float* base, std::size_t n,
           std::size_t count, float* out) {
  dispatch(
      metric, query, n, [=](std::size_t i) { return base + i * n; }, count, out);
}

void batch_ptrs(DistanceMetric metric, const float* query, const float* const* vectors,
                std::size_t n, std::size_t count, float* out) {
  dispatch(
      metric, query, n, [=](std::size_t i) { return vectors[i]; }, count, out);
}

}  // namespace

const DistanceKernels kAvx512Kernels = {single, batch, batch_ptrs};

}  // namespace orvane::index::detail
