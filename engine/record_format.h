// Byte layout of the records a collection appends to its pages. All integers
// little-endian; the id is the external id's UTF-8 bytes, no terminator.
//
// Vector record (vector data page), 16 + L + 4 * D bytes:
//   offset    size   field
//   0         4      L: byte length of the external id (u32)
//   4         L      external id
//   4 + L     8      internal id (u64)
//   12 + L    4      D: number of components (u32)
//   16 + L    4 * D  components, IEEE 754 single precision, in order
//
// Deletion marker (vector data page or metadata page), 4 + L bytes: the first
// two fields alone. A record whose length is exactly 4 + L is a marker
// wherever it is found.
//
// Metadata record (metadata page), 4 + L + J bytes:
//   0         4      L (u32)
//   4         L      external id
//   4 + L     J      compact JSON text of the document, to the end of the record
#pragma once

#include <cstddef>
#include <cstdint>

namespace orvane::engine {

inline constexpr std::size_t kIdLengthSize = 4;
inline constexpr std::size_t kInternalIdSize = 8;
inline constexpr std::size_t kComponentCountSize = 4;
inline constexpr std::size_t kComponentSize = 4;
// Fixed part of a vector record: L, internal id, D.
inline constexpr std::size_t kVectorRecordFixed =
    kIdLengthSize + kInternalIdSize + kComponentCountSize;

static_assert(kVectorRecordFixed == 16);

// Length of a vector record for an id of `id_len` bytes and `dim` components.
constexpr std::size_t vector_record_length(std::size_t id_len, std::size_t dim) {
  return kVectorRecordFixed + id_len + kComponentSize * dim;
}
constexpr std::size_t marker_length(std::size_t id_len) { return kIdLengthSize + id_len; }

}  // namespace orvane::engine
