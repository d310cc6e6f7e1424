#include "index/distance.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

namespace orvane::index {
namespace {

using Vec = std::vector<float>;

std::uint32_t bits(float f) { return std::bit_cast<std::uint32_t>(f); }

// Bitwise equal, or both NaN (payloads may differ between instruction sets).
::testing::AssertionResult same(float want, float got) {
  if ((std::isnan(want) && std::isnan(got)) || bits(want) == bits(got)) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << "want " << want << " (0x" << std::hex << bits(want)
                                       << ") got " << got << " (0x" << bits(got) << ")";
}

constexpr DistanceMetric kMetrics[] = {DistanceMetric::Cosine, DistanceMetric::Euclidean,
                                       DistanceMetric::DotProduct};

float d(DistanceMetric m, const Vec& a, const Vec& b) {
  return distance(m, a.data(), b.data(), a.size());
}

// Known answers, zero norms (signed zeros, with and without a tail, beside a
// NaN norm) and empty vectors.
TEST(Distance, ReferenceValues) {
  using M = DistanceMetric;
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const struct {
    M m;
    Vec a, b;
    float want;
  } rows[] = {
      {M::Euclidean, {0, 0, 0}, {3, 4, 0}, 5.0f},
      {M::DotProduct, {1, 2, 3}, {4, 5, 6}, -32.0f},
      {M::DotProduct, {1, 0}, {0, 1}, -0.0f},
      {M::Cosine, {1, 2, 3, 4, 5}, {-1, -2, -3, -4, -5}, 2.0f},
      {M::Cosine, {0, -0.0f, 0, 0}, {0.5f, 0.5f, 0.5f, 0.5f}, 1.0f},
      {M::Cosine, {0.5f, 0.5f, 0.5f, 0.5f, 0.5f}, {0, 0, 0, 0, -0.0f}, 1.0f},
      {M::Cosine, {nan, 1}, {0, 0}, 1.0f},
      {M::Cosine, {0, 0}, {nan, 1}, 1.0f},
      {M::Cosine, {nan, 1}, {1, 1}, nan},
      {M::Euclidean, {}, {}, 0.0f},
      {M::DotProduct, {}, {}, -0.0f},
      {M::Cosine, {}, {}, 1.0f},
  };
  for (const auto& r : rows) EXPECT_TRUE(same(r.want, d(r.m, r.a, r.b)));
}

// Inputs chosen so that each plausible wrong order (lanes reduced left to
// right, a fused tail, tail terms added before the lanes are reduced) gives
// different bits from the right one: these answers pin the scalar kernel,
// which every other variant must then match bit for bit.
TEST(Distance, AccumulationOrderIsPinned) {
  using M = DistanceMetric;
  // (1e8 + 1) + (-1e8 + 1) rounds to 0; any other pairing gives 1 or 2.
  const Vec a = {3, -1, -1e8f, 2, 1e8f, 1e8f}, b = {-1, 1e8f, 0.3f, 3, 0.3f, 0.7f};
  const Vec c = {0.7f, 1.5f, 1.5f, 1e-3f, 1e-3f, 3, 1}, e = {-1, 3, 3, 1, 0.1f, 0.7f, 1.5f};
  const struct {
    M m;
    const Vec &x, &y;
    float want;
  } rows[] = {{M::DotProduct, a, b, 0x1.c9c38p+24f}, {M::Cosine, c, e, 0x1.6c12dcp-2f},
              {M::Euclidean, a, b, 0x1.7d784p+27f}, {M::Euclidean, c, e, 0x1.ddddfap+1f}};
  for (Isa isa : runnable_isas()) {
    ASSERT_TRUE(force_isa_for_testing(isa));
    EXPECT_EQ(bits(d(M::DotProduct, {1e8f, 1, -1e8f, 1}, {1, 1, 1, 1})), bits(-0.0f));
    for (const auto& r : rows) EXPECT_EQ(bits(d(r.m, r.x, r.y)), bits(r.want));
  }
}

// Values that stress rounding and special cases. Kinds: ordinary, wide
// exponents (overflow to inf, subnormal products), subnormal only, ordinary
// with sprinkled specials, raw bit patterns (NaN payloads, infs), signed
// zeros, small integers (exact ties).
Vec random_vector(std::mt19937& rng, std::size_t n, int kind) {
  auto unit = [&] { return static_cast<float>(rng() >> 8) * 0x1p-24f; };  // [0, 1)
  auto sign = [&] { return (rng() & 1) != 0 ? -1.0f : 1.0f; };
  const float specials[] = {std::numeric_limits<float>::quiet_NaN(),
                            -std::numeric_limits<float>::quiet_NaN(),
                            std::numeric_limits<float>::infinity(),
                            -std::numeric_limits<float>::infinity(),
                            std::numeric_limits<float>::max(),
                            std::numeric_limits<float>::denorm_min(),
                            -0.0f,
                            0.0f};
  Vec v(n);
  for (float& x : v) {
    switch (kind) {
      case 0:
        x = sign() * unit();
        break;
      case 1:
        x = sign() * std::ldexp(1.0f + unit(), static_cast<int>(rng() % 270) - 140);
        break;
      case 2:
        x = sign() * std::ldexp(unit(), -126);
        break;
      case 3:
        x = rng() % 16 == 0 ? specials[rng() % 8] : sign() * unit() * 100.0f;
        break;
      case 4:
        x = std::bit_cast<float>(static_cast<std::uint32_t>(rng()));
        break;
      case 5:
        x = (rng() & 1) != 0 ? -0.0f : 0.0f;
        break;
      default:
        x = static_cast<float>(static_cast<int>(rng() % 7) - 3);
        break;
    }
  }
  return v;
}

// The scalar kernel's answer, whatever variant is forced afterwards.
float reference(DistanceMetric m, const Vec& a, const Vec& b) {
  EXPECT_TRUE(force_isa_for_testing(Isa::Scalar));
  return d(m, a, b);
}

// Every runnable kernel variant, single and both batch entry points, against
// the scalar one, bit for bit, over dimensions 0..300.
TEST(Distance, EveryVariantMatchesReference) {
  constexpr std::size_t kStored = 37;
  constexpr float kSentinel = 12345.0f;
  std::mt19937 rng(20240611);
  const std::vector<Isa> isas = runnable_isas();
  for (std::size_t n = 0; n <= 300; ++n) {
    const Vec query = random_vector(rng, n, static_cast<int>(rng() % 7));
    std::vector<Vec> stored;
    const int shared_kind = static_cast<int>(rng() % 7);
    for (std::size_t i = 0; i < kStored; ++i) {
      stored.push_back(
          random_vector(rng, n, rng() % 2 != 0 ? shared_kind : static_cast<int>(rng() % 7)));
    }
    if (n > 0) stored[3] = query;  // identical pair
    // One buffer, starting one float past an aligned start on odd dimensions.
    const std::size_t offset = n % 2;
    Vec buffer(offset + kStored * n + 1);
    for (std::size_t i = 0; i < kStored; ++i) {
      std::copy(stored[i].begin(), stored[i].end(), buffer.begin() + offset + i * n);
    }
    const float* base = buffer.data() + offset;
    std::vector<const float*> ptrs(kStored);
    std::vector<std::size_t> order(kStored);
    for (std::size_t i = 0; i < kStored; ++i) order[i] = (i * 11 + n) % kStored;
    for (std::size_t i = 0; i < kStored; ++i) ptrs[i] = stored[order[i]].data();

    for (DistanceMetric m : kMetrics) {
      std::vector<float> want(kStored);
      for (std::size_t i = 0; i < kStored; ++i) want[i] = reference(m, query, stored[i]);
      for (Isa isa : isas) {
        ASSERT_TRUE(force_isa_for_testing(isa));
        const auto where = [&](std::size_t count, std::size_t i) {
          return ::testing::Message()
                 << "isa " << static_cast<int>(isa) << " metric " << static_cast<int>(m) << " n "
                 << n << " count " << count << " i " << i;
        };
        for (std::size_t i = 0; i < kStored; ++i) {
          EXPECT_TRUE(same(want[i], distance(m, query.data(), stored[i].data(), n))) << where(1, i);
        }
        for (std::size_t count : {0u, 1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u, 9u, 16u, 17u, 37u}) {
          std::vector<float> out(count + 1, kSentinel);
          distance_batch(m, query.data(), base, n, count, out.data());
          for (std::size_t i = 0; i < count; ++i)
            EXPECT_TRUE(same(want[i], out[i])) << where(count, i);
          EXPECT_EQ(bits(out[count]), bits(kSentinel)) << where(count, count);
          std::fill(out.begin(), out.end(), kSentinel);
          distance_batch_ptrs(m, query.data(), ptrs.data(), n, count, out.data());
          for (std::size_t i = 0; i < count; ++i) {
            EXPECT_TRUE(same(want[order[i]], out[i])) << where(count, i) << " (ptrs)";
          }
          EXPECT_EQ(bits(out[count]), bits(kSentinel)) << where(count, count) << " (ptrs)";
        }
      }
    }
    // Several queries per pass: the stored vectors double as queries.
    for (DistanceMetric m : kMetrics) {
      if (n > 24 && n % 13 != 0) break;
      std::vector<float> want(9 * kStored);
      for (std::size_t j = 0; j < want.size(); ++j) {
        want[j] = reference(m, stored[j / kStored], stored[j % kStored]);
      }
      for (Isa isa : isas) {
        ASSERT_TRUE(force_isa_for_testing(isa));
        for (std::size_t queries : {1u, 5u, 9u}) {
          for (std::size_t count : {0u, 9u, 37u}) {
            std::vector<float> out(queries * count + 1, kSentinel);
            distance_multi(m, base, queries, base, n, count, out.data());
            for (std::size_t q = 0; q < queries; ++q) {
              for (std::size_t i = 0; i < count; ++i) {
                EXPECT_TRUE(same(want[q * kStored + i], out[q * count + i]))
                    << "isa " << static_cast<int>(isa) << " metric " << static_cast<int>(m)
                    << " n " << n << " queries " << queries << " q " << q << " i " << i;
              }
            }
            EXPECT_EQ(bits(out[queries * count]), bits(kSentinel));
          }
        }
      }
    }
    if (HasFailure()) break;
  }
  ASSERT_TRUE(force_isa_for_testing(isas.back()));
}

}  // namespace
}  // namespace orvane::index
