// AVX-512 kernels. Batches put four stored vectors in each 512-bit
// accumulator (one per 128-bit lane, each lane being that vector's four lane
// chains) and keep four accumulators in flight: sixteen vectors per step,
// enough independent FMA chains to hide their latency. Stored vectors are read
// 256 bits at a time and regrouped with one insert and one shuffle per
// accumulator update, so memory is read in whole half-lines.
#include <algorithm>
#include <cmath>
#include <vector>

#include "index/distance_kernels.h"
#include "index/distance_glue.h"
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

// Groups of sixteen; a last group of up to 4 or 8 runs at a quarter or half width.
template <DistanceMetric M, class Source>
void run_groups(const BatchQuery& bq, const Source& source, std::size_t count, float* out) {
  for_each_group<kGroup>(source, count, out, [&](const float* const* p, float* o, std::size_t n) {
    if (n <= 4) return group<M, 1>(bq, p, o, n);
    if (n <= 8) return group<M, 2>(bq, p, o, n);
    group<M, 4>(bq, p, o, n);
  });
}

// ---- Several queries per pass over the stored vectors ----
//
// Queries are packed by four: for each 4-float block, the four queries' blocks
// side by side in one 512-bit register, so each 128-bit lane is one (query,
// vector) pair's four lane chains. A stored vector's block is broadcast to all
// four lanes with one load, so no shuffles are needed: a tile of QG query
// groups by VT vectors costs QG + VT loads and QG * VT updates per block.

constexpr int kTileGroups = 2;
constexpr int kTileVectors = 8;

struct MultiQueries {
  const float* packed;  // groups * blocked * 4 floats
  const float* const* rows;  // query rows, padded to a multiple of four
  const float* sqrt_na;      // Cosine: per padded query
  const float* na;
  std::size_t n, blocked;
};

// Scores QG query groups against VT vectors v[0 .. VT) and stores the results
// of real queries (q < query_count) at out[q * count + i].
template <DistanceMetric M, int QG, int VT>
void multi_tile(const MultiQueries& mq, std::size_t g0, const float* const* v, const float* nb,
                std::size_t query_count, std::size_t i0, std::size_t count, float* out) {
  __m512 acc[QG][VT];
  for (int g = 0; g < QG; ++g)
    for (int j = 0; j < VT; ++j) acc[g][j] = _mm512_setzero_ps();
  const std::size_t group_floats = mq.blocked * 4;
  for (std::size_t i = 0; i < mq.blocked; i += 4) {
    __m512 x[QG];
    for (int g = 0; g < QG; ++g) x[g] = _mm512_loadu_ps(mq.packed + (g0 + g) * group_floats + i * 4);
#pragma GCC unroll 8
    for (int j = 0; j < VT; ++j) {
      const __m512 y = _mm512_broadcast_f32x4(_mm_loadu_ps(v[j] + i));
      for (int g = 0; g < QG; ++g) {
        if constexpr (M == DistanceMetric::Euclidean) {
          const __m512 d = _mm512_sub_ps(x[g], y);
          acc[g][j] = _mm512_fmadd_ps(d, d, acc[g][j]);
        } else {
          acc[g][j] = _mm512_fmadd_ps(x[g], y, acc[g][j]);
        }
      }
    }
  }
  for (int g = 0; g < QG; ++g) {
    const std::size_t q0 = (g0 + g) * 4;
    const float* const* rows = mq.rows + q0;
    for (int j = 0; j < VT; ++j) {
      const float* y = v[j];
      __m128 s = reduce_lanes_zmm(acc[g][j]);
      __m128 r;
      if constexpr (M == DistanceMetric::Cosine) {
        __m128 tab = _mm_setzero_ps();
        for (std::size_t k = mq.blocked; k < mq.n; ++k) {
          const __m128 xq = _mm_setr_ps(rows[0][k], rows[1][k], rows[2][k], rows[3][k]);
          tab = _mm_add_ps(tab, _mm_mul_ps(xq, _mm_set1_ps(y[k])));
        }
        const __m128 dot = _mm_add_ps(tab, s);
        const __m128 cos = _mm_sub_ps(
            _mm_set1_ps(1.0f),
            _mm_div_ps(dot, _mm_mul_ps(_mm_set1_ps(std::sqrt(nb[j])), _mm_loadu_ps(mq.sqrt_na + q0))));
        __m128 one = _mm_cmp_ps(_mm_loadu_ps(mq.na + q0), _mm_setzero_ps(), _CMP_EQ_OQ);
        if (nb[j] == 0.0f) one = _mm_castsi128_ps(_mm_set1_epi32(-1));
        r = _mm_blendv_ps(cos, _mm_set1_ps(1.0f), one);
      } else {
        for (std::size_t k = mq.blocked; k < mq.n; ++k) {
          const __m128 xq = _mm_setr_ps(rows[0][k], rows[1][k], rows[2][k], rows[3][k]);
          const __m128 yk = _mm_set1_ps(y[k]);
          if constexpr (M == DistanceMetric::Euclidean) {
            const __m128 d = _mm_sub_ps(xq, yk);
            s = _mm_add_ps(s, _mm_mul_ps(d, d));
          } else {
            s = _mm_add_ps(s, _mm_mul_ps(xq, yk));
          }
        }
        if constexpr (M == DistanceMetric::Euclidean) {
          r = _mm_sqrt_ps(s);
        } else {
          r = _mm_xor_ps(s, _mm_set1_ps(-0.0f));
        }
      }
      alignas(16) float lanes[4];
      _mm_store_ps(lanes, r);
      for (std::size_t l = 0; l < 4 && q0 + l < query_count; ++l) {
        out[(q0 + l) * count + i0 + static_cast<std::size_t>(j)] = lanes[l];
      }
    }
  }
}

template <DistanceMetric M, int VT>
void multi_column(const MultiQueries& mq, std::size_t groups, const float* const* v,
                  const float* nb, std::size_t query_count, std::size_t i0, std::size_t count,
                  float* out) {
  std::size_t g = 0;
  for (; g + kTileGroups <= groups; g += kTileGroups) {
    multi_tile<M, kTileGroups, VT>(mq, g, v, nb, query_count, i0, count, out);
  }
  if (g < groups) multi_tile<M, 1, VT>(mq, g, v, nb, query_count, i0, count, out);
}

struct MultiScratch {
  std::vector<float> packed, sqrt_na, na;
  std::vector<const float*> rows;
};

template <DistanceMetric M>
bool multi_queries(const float* queries, std::size_t query_count, const float* base, std::size_t n,
                   std::size_t count, float* out) {
  // Fewer than four queries would leave lanes idle: scoring them one at a
  // time is as fast.
  if (query_count < 4) return false;
  thread_local MultiScratch scratch;
  const std::size_t blocked = n & ~std::size_t{3};
  const std::size_t groups = (query_count + 3) / 4;
  const std::size_t padded = groups * 4;
  scratch.rows.resize(padded);
  for (std::size_t q = 0; q < padded; ++q) {
    scratch.rows[q] = queries + std::min(q, query_count - 1) * n;
  }
  scratch.packed.resize(groups * blocked * 4);
  for (std::size_t g = 0; g < groups; ++g) {
    float* dst = scratch.packed.data() + g * blocked * 4;
    for (std::size_t i = 0; i < blocked; i += 4) {
      for (std::size_t l = 0; l < 4; ++l) {
        std::copy_n(scratch.rows[g * 4 + l] + i, 4, dst + i * 4 + l * 4);
      }
    }
  }
  if constexpr (M == DistanceMetric::Cosine) {
    scratch.na.resize(padded);
    scratch.sqrt_na.resize(padded);
    for (std::size_t q = 0; q < padded; ++q) {
      scratch.na[q] = squared_norm(scratch.rows[q], n);
      scratch.sqrt_na[q] = std::sqrt(scratch.na[q]);
    }
  }
  const MultiQueries mq{scratch.packed.data(), scratch.rows.data(), scratch.sqrt_na.data(),
                        scratch.na.data(), n, blocked};
  const float* v[kTileVectors];
  float nb[kTileVectors] = {};
  std::size_t i = 0;
  for (; i + kTileVectors <= count; i += kTileVectors) {
    for (int j = 0; j < kTileVectors; ++j) {
      v[j] = base + (i + static_cast<std::size_t>(j)) * n;
      if constexpr (M == DistanceMetric::Cosine) nb[j] = squared_norm(v[j], n);
    }
    multi_column<M, kTileVectors>(mq, groups, v, nb, query_count, i, count, out);
  }
  for (; i < count; ++i) {
    v[0] = base + i * n;
    if constexpr (M == DistanceMetric::Cosine) nb[0] = squared_norm(v[0], n);
    multi_column<M, 1>(mq, groups, v, nb, query_count, i, count, out);
  }
  return true;
}

struct Avx512 {
  template <DistanceMetric M, class Source>
  static void run(const BatchQuery& bq, const Source& source, std::size_t count, float* out) {
    run_groups<M>(bq, source, count, out);
  }
  template <DistanceMetric M>
  static bool multi(const float* queries, std::size_t query_count, const float* base,
                    std::size_t n, std::size_t count, float* out) {
    return multi_queries<M>(queries, query_count, base, n, count, out);
  }
};

}  // namespace

const DistanceKernels kAvx512Kernels = KernelGlue<Avx512>::table();

}  // namespace orvane::index::detail
