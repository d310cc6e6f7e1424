// Portable kernels: four scalar lanes updated with std::fma, which is exactly
// the 4-wide SIMD recurrence, so this file alone defines the result bits.
#include <cmath>

#include "index/distance_kernels.h"

namespace orvane::index::detail {
namespace {

float euclidean(const float* a, const float* b, std::size_t n) {
  float l[4] = {0.0f, 0.0f, 0.0f, 0.0f};
  const std::size_t blocked = n & ~std::size_t{3};
  for (std::size_t i = 0; i < blocked; i += 4) {
    for (std::size_t j = 0; j < 4; ++j) {
      const float d = a[i + j] - b[i + j];
      l[j] = std::fma(d, d, l[j]);
    }
  }
  float s = (l[0] + l[1]) + (l[2] + l[3]);
  for (std::size_t k = blocked; k < n; ++k) {
    const float d = a[k] - b[k];
    s = s + d * d;
  }
  return std::sqrt(s);
}

float dot_product(const float* a, const float* b, std::size_t n) {
  float l[4] = {0.0f, 0.0f, 0.0f, 0.0f};
  const std::size_t blocked = n & ~std::size_t{3};
  for (std::size_t i = 0; i < blocked; i += 4) {
    for (std::size_t j = 0; j < 4; ++j) l[j] = std::fma(a[i + j], b[i + j], l[j]);
  }
  float s = (l[0] + l[1]) + (l[2] + l[3]);
  for (std::size_t k = blocked; k < n; ++k) s = s + a[k] * b[k];
  return -s;
}

float cosine(const float* a, const float* b, std::size_t n) {
  float ab[4] = {0.0f, 0.0f, 0.0f, 0.0f};
  float aa[4] = {0.0f, 0.0f, 0.0f, 0.0f};
  float bb[4] = {0.0f, 0.0f, 0.0f, 0.0f};
  const std::size_t blocked = n & ~std::size_t{3};
  for (std::size_t i = 0; i < blocked; i += 4) {
    for (std::size_t j = 0; j < 4; ++j) {
      ab[j] = std::fma(a[i + j], b[i + j], ab[j]);
      aa[j] = std::fma(a[i + j], a[i + j], aa[j]);
      bb[j] = std::fma(b[i + j], b[i + j], bb[j]);
    }
  }
  float tab = 0.0f, taa = 0.0f, tbb = 0.0f;
  for (std::size_t k = blocked; k < n; ++k) {
    tab = tab + a[k] * b[k];
    taa = taa + a[k] * a[k];
    tbb = tbb + b[k] * b[k];
  }
  const float nb = tbb + ((bb[0] + bb[1]) + (bb[2] + bb[3]));
  if (nb == 0.0f) return 1.0f;
  const float na = taa + ((aa[0] + aa[1]) + (aa[2] + aa[3]));
  if (na == 0.0f) return 1.0f;
  const float dot = tab + ((ab[0] + ab[1]) + (ab[2] + ab[3]));
  return 1.0f - dot / (std::sqrt(nb) * std::sqrt(na));
}

float single(DistanceMetric metric, const float* a, const float* b, std::size_t n) {
  switch (metric) {
    case DistanceMetric::Euclidean:
      return euclidean(a, b, n);
    case DistanceMetric::DotProduct:
      return dot_product(a, b, n);
    case DistanceMetric::Cosine:
      break;
  }
  return cosine(a, b, n);
}

void batch(DistanceMetric metric, const float* query, const float* base, std::size_t n,
           std::size_t count, float* out) {
  for (std::size_t i = 0; i < count; ++i) out[i] = single(metric, query, base + i * n, n);
}

void batch_ptrs(DistanceMetric metric, const float* query, const float* const* vectors,
                std::size_t n, std::size_t count, float* out) {
  for (std::size_t i = 0; i < count; ++i) out[i] = single(metric, query, vectors[i], n);
}

void multi(DistanceMetric metric, const float* queries, std::size_t query_count,
           const float* base, std::size_t n, std::size_t count, float* out) {
  for (std::size_t q = 0; q < query_count; ++q) {
    batch(metric, queries + q * n, base, n, count, out + q * count);
  }
}

}  // namespace

const DistanceKernels kScalarKernels = {single, batch, batch_ptrs, multi};

}  // namespace orvane::index::detail
