// Little-endian fixed-width put/get on byte buffers. Callers bound every
// offset before calling; these helpers do no checking of their own.
#pragma once

#include <cstdint>
#include <cstring>

namespace orvane::storage {

inline void put_u16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void put_u32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline void put_u64(std::uint8_t* p, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline void put_f32(std::uint8_t* p, float f) {
  std::uint32_t v;
  std::memcpy(&v, &f, 4);
  put_u32(p, v);
}
inline std::uint16_t get_u16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline std::uint32_t get_u32(const std::uint8_t* p) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}
inline std::uint64_t get_u64(const std::uint8_t* p) {
  std::uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}
inline float get_f32(const std::uint8_t* p) {
  std::uint32_t v = get_u32(p);
  float f;
  std::memcpy(&f, &v, 4);
  return f;
}

}  // namespace orvane::storage
