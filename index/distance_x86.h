// Internal: 128-bit pieces shared by the AVX2 and AVX-512 kernel files. Only
// those two files include it; each compiles it with its own flags, and the
// anonymous namespace keeps the two copies apart at link time.
//
// A 128-bit register holds one vector's four lane accumulators, so the
// per-lane chains, the (l0 + l1) + (l2 + l3) reduction and the unfused tail are
// the scalar reference's operations, one for one.
#pragma once

// GCC 12's AVX-512 intrinsics fill unused operands with an undefined value and
// then warn about it; the warning points into the system header, not at us.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop

#include <cmath>
#include <cstddef>

#include "index/metric.h"

namespace orvane::index::detail {
namespace {

// (l0 + l1) + (l2 + l3) of one accumulator.
inline float reduce_lanes(__m128 v) {
  const __m128 pairs = _mm_add_ps(v, _mm_movehdup_ps(v));  // l0+l1 at 0, l2+l3 at 2
  return _mm_cvtss_f32(_mm_add_ss(pairs, _mm_movehl_ps(pairs, pairs)));
}

// (l0 + l1) + (l2 + l3) of four accumulators, one per result lane.
inline __m128 reduce_lanes4(__m128 v0, __m128 v1, __m128 v2, __m128 v3) {
  // hadd(x, y) = [x0+x1, x2+x3, y0+y1, y2+y3]: exactly the pairing we need.
  return _mm_hadd_ps(_mm_hadd_ps(v0, v1), _mm_hadd_ps(v2, v3));
}

inline float euclidean_single(const float* a, const float* b, std::size_t n) {
  const std::size_t blocked = n & ~std::size_t{3};
  __m128 acc = _mm_setzero_ps();
  for (std::size_t i = 0; i < blocked; i += 4) {
    const __m128 d = _mm_sub_ps(_mm_loadu_ps(a + i), _mm_loadu_ps(b + i));
    acc = _mm_fmadd_ps(d, d, acc);
  }
  float s = reduce_lanes(acc);
  for (std::size_t k = blocked; k < n; ++k) {
    const float d = a[k] - b[k];
    s = s + d * d;
  }
  return std::sqrt(s);
}

inline float dot_single(const float* a, const float* b, std::size_t n) {
  const std::size_t blocked = n & ~std::size_t{3};
  __m128 acc = _mm_setzero_ps();
  for (std::size_t i = 0; i < blocked; i += 4) {
    acc = _mm_fmadd_ps(_mm_loadu_ps(a + i), _mm_loadu_ps(b + i), acc);
  }
  float s = reduce_lanes(acc);
  for (std::size_t k = blocked; k < n; ++k) s = s + a[k] * b[k];
  return -s;
}

inline float cosine_single(const float* a, const float* b, std::size_t n) {
  const std::size_t blocked = n & ~std::size_t{3};
  __m128 ab = _mm_setzero_ps(), aa = _mm_setzero_ps(), bb = _mm_setzero_ps();
  for (std::size_t i = 0; i < blocked; i += 4) {
    const __m128 x = _mm_loadu_ps(a + i), y = _mm_loadu_ps(b + i);
    ab = _mm_fmadd_ps(x, y, ab);
    aa = _mm_fmadd_ps(x, x, aa);
    bb = _mm_fmadd_ps(y, y, bb);
  }
  float tab = 0.0f, taa = 0.0f, tbb = 0.0f;
  for (std::size_t k = blocked; k < n; ++k) {
    tab = tab + a[k] * b[k];
    taa = taa + a[k] * a[k];
    tbb = tbb + b[k] * b[k];
  }
  const float nb = tbb + reduce_lanes(bb);
  if (nb == 0.0f) return 1.0f;
  const float na = taa + reduce_lanes(aa);
  if (na == 0.0f) return 1.0f;
  const float dot = tab + reduce_lanes(ab);
  return 1.0f - dot / (std::sqrt(nb) * std::sqrt(na));
}

inline float single(DistanceMetric metric, const float* a, const float* b, std::size_t n) {
  switch (metric) {
    case DistanceMetric::Euclidean:
      return euclidean_single(a, b, n);
    case DistanceMetric::DotProduct:
      return dot_single(a, b, n);
    case DistanceMetric::Cosine:
      break;
  }
  return cosine_single(a, b, n);
}

// The query's squared norm exactly as the Cosine kernel forms na. It does not
// depend on the stored vector, so batches form it once.
inline float squared_norm(const float* a, std::size_t n) {
  const std::size_t blocked = n & ~std::size_t{3};
  __m128 aa = _mm_setzero_ps();
  for (std::size_t i = 0; i < blocked; i += 4) {
    const __m128 x = _mm_loadu_ps(a + i);
    aa = _mm_fmadd_ps(x, x, aa);
  }
  float taa = 0.0f;
  for (std::size_t k = blocked; k < n; ++k) taa = taa + a[k] * a[k];
  return taa + reduce_lanes(aa);
}

// Query facts a batch needs besides the query itself.
struct BatchQuery {
  const float* q;
  std::size_t n;
  std::size_t blocked;  // n rounded down to a multiple of 4
  float na;             // Cosine: squared norm of q
  float sqrt_na;
};

inline BatchQuery make_batch_query(DistanceMetric metric, const float* q, std::size_t n) {
  BatchQuery bq{q, n, n & ~std::size_t{3}, 0.0f, 0.0f};
  if (metric == DistanceMetric::Cosine) {
    bq.na = squared_norm(q, n);
    bq.sqrt_na = std::sqrt(bq.na);
  }
  return bq;
}

// Finishes four stored vectors p[0..3] from their reduced lane sums: adds the
// unfused tail in index order, then applies the metric's final step. `sum` is
// the reduced a·b (Cosine, DotProduct) or squared-difference sum (Euclidean);
// `norm` is the reduced b·b (Cosine only).
template <DistanceMetric M>
inline __m128 finish4(const BatchQuery& bq, const float* const* p, __m128 sum, __m128 norm) {
  if constexpr (M == DistanceMetric::Cosine) {
    __m128 tab = _mm_setzero_ps(), tbb = _mm_setzero_ps();
    for (std::size_t k = bq.blocked; k < bq.n; ++k) {
      const __m128 y = _mm_setr_ps(p[0][k], p[1][k], p[2][k], p[3][k]);
      tab = _mm_add_ps(tab, _mm_mul_ps(_mm_set1_ps(bq.q[k]), y));
      tbb = _mm_add_ps(tbb, _mm_mul_ps(y, y));
    }
    const __m128 nb = _mm_add_ps(tbb, norm);
    const __m128 dot = _mm_add_ps(tab, sum);
    const __m128 cos = _mm_sub_ps(
        _mm_set1_ps(1.0f), _mm_div_ps(dot, _mm_mul_ps(_mm_sqrt_ps(nb), _mm_set1_ps(bq.sqrt_na))));
    // Ordered compare: a NaN norm is not zero and yields NaN, like the reference.
    __m128 zero = _mm_cmp_ps(nb, _mm_setzero_ps(), _CMP_EQ_OQ);
    if (bq.na == 0.0f) zero = _mm_castsi128_ps(_mm_set1_epi32(-1));
    return _mm_blendv_ps(cos, _mm_set1_ps(1.0f), zero);
  } else {
    __m128 s = sum;
    for (std::size_t k = bq.blocked; k < bq.n; ++k) {
      const __m128 y = _mm_setr_ps(p[0][k], p[1][k], p[2][k], p[3][k]);
      const __m128 x = _mm_set1_ps(bq.q[k]);
      if constexpr (M == DistanceMetric::Euclidean) {
        const __m128 d = _mm_sub_ps(x, y);
        s = _mm_add_ps(s, _mm_mul_ps(d, d));
      } else {
        s = _mm_add_ps(s, _mm_mul_ps(x, y));
      }
    }
    if constexpr (M == DistanceMetric::Euclidean) return _mm_sqrt_ps(s);
    return _mm_xor_ps(s, _mm_set1_ps(-0.0f));  // negation is exact
  }
}

// Stores the first `count` (1..4) lanes.
inline void store_first(float* out, __m128 v, std::size_t count) {
  if (count == 4) {
    _mm_storeu_ps(out, v);
    return;
  }
  alignas(16) float tmp[4];
  _mm_store_ps(tmp, v);
  for (std::size_t i = 0; i < count; ++i) out[i] = tmp[i];
}

}  // namespace
}  // namespace orvane::index::detail
