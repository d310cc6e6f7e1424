#include "index/distance.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <tuple>
#include <vector>

#include "index/hnsw_heap.h"

namespace orvane::index {
namespace {

using Vec = std::vector<float>;
using M = DistanceMetric;
constexpr float kNan = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

// The bits, one value for any NaN (payloads differ between instruction sets).
std::uint32_t key(float f) { return distance_order_key(f); }

// Known answers: zero norms (signed zeros, with and without a tail, beside a
// NaN norm), empty vectors, and inputs where each plausible wrong order (lanes
// reduced left to right, a fused tail, tail before lanes) gives other bits.
TEST(Distance, KnownAnswersPinTheAccumulationOrder) {
  // (1e8 + 1) + (-1e8 + 1) rounds to 0; any other pairing gives 1 or 2.
  const Vec a = {3, -1, -1e8f, 2, 1e8f, 1e8f}, b = {-1, 1e8f, 0.3f, 3, 0.3f, 0.7f};
  const Vec c = {0.7f, 1.5f, 1.5f, 1e-3f, 1e-3f, 3, 1}, e = {-1, 3, 3, 1, 0.1f, 0.7f, 1.5f};
  const std::tuple<M, Vec, Vec, float> rows[] = {
      {M::Euclidean, {0, 0, 0}, {3, 4, 0}, 5.0f},
      {M::DotProduct, {1, 2, 3}, {4, 5, 6}, -32.0f},
      {M::DotProduct, {1, 0}, {0, 1}, -0.0f},
      {M::Cosine, {1, 2, 3, 4, 5}, {-1, -2, -3, -4, -5}, 2.0f},
      {M::Cosine, {0, -0.0f, 0, 0}, {0.5f, 0.5f, 0.5f, 0.5f}, 1.0f},
      {M::Cosine, {0.5f, 0.5f, 0.5f, 0.5f, 0.5f}, {0, 0, 0, 0, -0.0f}, 1.0f},
      {M::Cosine, {kNan, 1}, {0, 0}, 1.0f},
      {M::Cosine, {0, 0}, {kNan, 1}, 1.0f},
      {M::Cosine, {kNan, 1}, {1, 1}, kNan},
      {M::Euclidean, {}, {}, 0.0f},
      {M::DotProduct, {}, {}, -0.0f},
      {M::Cosine, {}, {}, 1.0f},
      {M::DotProduct, {1e8f, 1, -1e8f, 1}, {1, 1, 1, 1}, -0.0f},
      {M::DotProduct, a, b, 0x1.c9c38p+24f},
      {M::Cosine, c, e, 0x1.6c12dcp-2f},
      {M::Euclidean, a, b, 0x1.7d784p+27f},
      {M::Euclidean, c, e, 0x1.ddddfap+1f},
  };
  for (Isa isa : runnable_isas()) {
    ASSERT_TRUE(force_isa_for_testing(isa));
    for (const auto& [m, x, y, want] : rows) {
      EXPECT_EQ(key(want), key(distance(m, x.data(), y.data(), x.size())));
    }
  }
}

// By kind: ordinary, wide exponents (overflow, subnormal products), subnormal,
// sprinkled extremes, raw bits (NaN payloads, infs), signed zeros.
float random_value(std::mt19937& rng, unsigned kind) {
  const float extremes[] = {kNan, -kNan, kInf, -kInf, 0x1.fffffep127f, 0x1p-149f, -0.0f, 0.0f};
  const float unit = static_cast<float>(rng() >> 8) * 0x1p-24f;  // [0, 1)
  const float sign = (rng() & 1) != 0 ? -1.0f : 1.0f;
  const std::uint32_t r = rng();
  const float of_kind[] = {sign * unit,
                           sign * std::ldexp(1.0f + unit, static_cast<int>(r % 270) - 140),
                           sign * std::ldexp(unit, -126),
                           r % 16 == 0 ? extremes[r / 16 % 8] : sign * unit * 100,
                           std::bit_cast<float>(r),
                           sign * 0.0f};
  return of_kind[kind];
}

// Every variant and entry point against the scalar kernel over dimensions
// 0..300: 37 vectors back to back, one float past alignment on odd n; the
// first nine double as queries (vector 0 is the single one: it meets itself).
TEST(Distance, EveryVariantMatchesReference) {
  constexpr std::size_t kStored = 37, kQueries = 9;
  constexpr float kSentinel = 12345.0f;
  std::mt19937 rng(20240611);
  const std::vector<Isa> isas = runnable_isas();
  for (std::size_t n = 0; n <= 300 && !HasFailure(); ++n) {
    const unsigned shared_kind = rng() % 6;
    Vec buffer(n % 2 + kStored * n + 1);
    const float* base = buffer.data() + n % 2;
    for (std::size_t i = 0; i < kStored; ++i) {
      const unsigned kind = rng() % 2 != 0 ? shared_kind : rng() % 6;
      for (std::size_t j = 0; j < n; ++j) buffer[n % 2 + i * n + j] = random_value(rng, kind);
    }
    const auto order = [&](std::size_t i) { return (i * 11 + n) % kStored; };
    std::vector<const float*> ptrs(kStored);
    for (std::size_t i = 0; i < kStored; ++i) ptrs[i] = base + order(i) * n;

    for (M m : {M::Cosine, M::Euclidean, M::DotProduct}) {
      ASSERT_TRUE(force_isa_for_testing(Isa::Scalar));
      Vec want(kQueries * kStored);
      for (std::size_t j = 0; j < want.size(); ++j) {
        want[j] = distance(m, base + j / kStored * n, base + j % kStored * n, n);
      }
      for (Isa isa : isas) {
        ASSERT_TRUE(force_isa_for_testing(isa));
        SCOPED_TRACE(testing::Message() << "isa " << int(isa) << " m " << int(m) << " n " << n);
        for (std::size_t i = 0; i < kStored; ++i) {
          EXPECT_EQ(key(want[i]), key(distance(m, base, base + i * n, n)));
        }
        for (std::size_t count : {0u, 1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u, 9u, 16u, 17u, 37u}) {
          Vec out(count + 1, kSentinel), out_ptrs(count + 1, kSentinel);
          distance_batch(m, base, base, n, count, out.data());
          distance_batch_ptrs(m, base, ptrs.data(), n, count, out_ptrs.data());
          for (std::size_t i = 0; i < count; ++i) {
            EXPECT_EQ(key(want[i]), key(out[i]));
            EXPECT_EQ(key(want[order(i)]), key(out_ptrs[i]));
          }
          EXPECT_EQ(out[count], kSentinel);
          EXPECT_EQ(out_ptrs[count], kSentinel);
        }
        if (n > 24 && n % 13 != 0) continue;
        for (std::size_t queries : {1u, 5u, 9u}) {
          for (std::size_t count : {0u, 9u, 37u}) {
            Vec out(queries * count + 1, kSentinel);
            distance_multi(m, base, queries, base, n, count, out.data());
            for (std::size_t j = 0; j < queries * count; ++j) {
              EXPECT_EQ(key(want[j / count * kStored + j % count]), key(out[j]));
            }
            EXPECT_EQ(out.back(), kSentinel);
          }
        }
      }
    }
  }
  ASSERT_TRUE(force_isa_for_testing(isas.back()));
}

}  // namespace
}  // namespace orvane::index
