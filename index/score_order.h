// A total order on distances that is safe to hand to std::sort or a heap.
//
// score_key(f) maps a float to an unsigned key whose natural order is the
// ordinary less-than on numbers (-inf < ... < +inf, -0.0 equal to +0.0) with
// every NaN, whatever its sign or payload, equal to each other and after +inf.
// Equal keys are ties; callers break them by entry position. Cost: O(1).
#pragma once

#include <bit>
#include <cstdint>

namespace orvane::index {

constexpr std::uint32_t score_key(float f) {
  if (f != f) return 0xFFFFFFFFu;     // NaN: after every number
  if (f == 0.0f) return 0x80000000u;  // both zeros equal, as with less-than
  const std::uint32_t bits = std::bit_cast<std::uint32_t>(f);
  // Negative: flip all bits, so larger magnitudes sort lower. Positive: set
  // the sign bit, so they sort above every negative. +inf maps below 0xFFFFFFFF.
  return (bits & 0x80000000u) != 0 ? ~bits : (bits | 0x80000000u);
}

}  // namespace orvane::index
