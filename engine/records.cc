#include "engine/records.h"

#include "engine/json_text.h"
#include "engine/record_format.h"
#include "engine/utf8.h"
#include "storage/coding.h"

namespace orvane::engine {

using storage::get_f32;
using storage::get_u32;
using storage::get_u64;
using storage::put_f32;
using storage::put_u32;
using storage::put_u64;

namespace {

void put_id(Bytes& out, std::string_view id) {
  put_u32(out.data(), static_cast<std::uint32_t>(id.size()));
  std::copy(id.begin(), id.end(), out.begin() + kIdLengthSize);
}

// The id of a record when its length field fits inside the record and the
// bytes are valid UTF-8.
std::optional<std::string_view> read_id(std::span<const std::uint8_t> record) {
  if (record.size() < kIdLengthSize) return std::nullopt;
  const std::uint64_t len = get_u32(record.data());
  if (record.size() - kIdLengthSize < len) return std::nullopt;
  std::string_view id(reinterpret_cast<const char*>(record.data() + kIdLengthSize), len);
  if (!is_valid_utf8(id)) return std::nullopt;
  return id;
}

}  // namespace

Bytes encode_vector_record(std::string_view id, std::uint64_t internal_id,
                           std::span<const float> components) {
  Bytes out(vector_record_length(id.size(), components.size()));
  put_id(out, id);
  std::uint8_t* p = out.data() + kIdLengthSize + id.size();
  put_u64(p, internal_id);
  put_u32(p + kInternalIdSize, static_cast<std::uint32_t>(components.size()));
  p += kInternalIdSize + kComponentCountSize;
  for (float f : components) {
    put_f32(p, f);
    p += kComponentSize;
  }
  return out;
}

Bytes encode_deletion_marker(std::string_view id) {
  Bytes out(marker_length(id.size()));
  put_id(out, id);
  return out;
}

Bytes encode_metadata_record(std::string_view id, std::string_view json_text) {
  Bytes out(marker_length(id.size()) + json_text.size());
  put_id(out, id);
  std::copy(json_text.begin(), json_text.end(), out.begin() + marker_length(id.size()));
  return out;
}

std::optional<std::string> decode_marker(std::span<const std::uint8_t> record) {
  if (record.size() < kIdLengthSize) return std::nullopt;
  if (record.size() != kIdLengthSize + std::uint64_t{get_u32(record.data())}) return std::nullopt;
  auto id = read_id(record);
  if (!id) return std::nullopt;
  return std::string(*id);
}

std::optional<DecodedVector> decode_vector_record(std::span<const std::uint8_t> record) {
  if (record.size() < kIdLengthSize) return std::nullopt;
  const std::uint64_t len = get_u32(record.data());
  if (record.size() == kIdLengthSize + len) return std::nullopt;  // a deletion marker
  if (record.size() < kVectorRecordFixed + len) return std::nullopt;
  auto id = read_id(record);
  if (!id) return std::nullopt;
  const std::uint8_t* p = record.data() + kIdLengthSize + len;
  const std::uint64_t internal_id = get_u64(p);
  const std::uint64_t dim = get_u32(p + kInternalIdSize);
  // Both terms are below 2^35, so the sum cannot wrap.
  if (record.size() < kVectorRecordFixed + len + kComponentSize * dim) return std::nullopt;
  DecodedVector out{std::string(*id), internal_id, {}};
  out.components.resize(dim);
  p += kInternalIdSize + kComponentCountSize;
  for (std::uint64_t i = 0; i < dim; ++i) out.components[i] = get_f32(p + kComponentSize * i);
  return out;
}

std::optional<DecodedDocument> decode_metadata_record(std::span<const std::uint8_t> record) {
  auto id = read_id(record);
  if (!id) return std::nullopt;
  const std::size_t start = kIdLengthSize + id->size();
  std::string_view text(reinterpret_cast<const char*>(record.data() + start),
                        record.size() - start);
  auto value = parse_json_text(text);
  if (!value) return std::nullopt;  // a deletion marker has no text and lands here too
  return DecodedDocument{std::string(*id), std::move(*value)};
}

}  // namespace orvane::engine
