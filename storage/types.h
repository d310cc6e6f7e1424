// Basic storage types shared by every layer.
#pragma once

#include <cstdint>

namespace orvane::storage {

using PageId = std::uint64_t;

inline constexpr std::uint32_t kPageSize = 4096;
inline constexpr std::uint64_t kCacheCapacity = 16384;

}  // namespace orvane::storage
