// Encoding and decoding of the records a collection appends to its pages
// (layout in engine/record_format.h). Pure functions; every length read from
// a record is bounded by the record's size before use.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace orvane::engine {

using Bytes = std::vector<std::uint8_t>;

// REQUIRES: id.size() and components.size() fit in 32 bits (callers check the
// record against the page size first, which bounds both far lower).
Bytes encode_vector_record(std::string_view id, std::uint64_t internal_id,
                           std::span<const float> components);
Bytes encode_deletion_marker(std::string_view id);
// `json_text` is the document's compact JSON text.
Bytes encode_metadata_record(std::string_view id, std::string_view json_text);

// What one record of a vector data page or a metadata page holds.
struct DecodedVector {
  std::string id;
  std::uint64_t internal_id = 0;
  std::vector<float> components;
};
struct DecodedDocument {
  std::string id;
  nlohmann::json metadata;
};

// A deletion marker: exactly 4 + L bytes with a valid UTF-8 id. Returns the id.
std::optional<std::string> decode_marker(std::span<const std::uint8_t> record);
// A vector record that is complete and has a valid UTF-8 id; markers,
// truncated records and bad ids yield nothing.
std::optional<DecodedVector> decode_vector_record(std::span<const std::uint8_t> record);
// A metadata record whose text after the id is exactly one JSON value
// (surrounded by blanks at most) and whose id is valid UTF-8.
std::optional<DecodedDocument> decode_metadata_record(std::span<const std::uint8_t> record);

}  // namespace orvane::engine
