#include "index/errors.h"

namespace orvane::index {

VectorIndexError VectorIndexError::dimension_mismatch(std::uint64_t expected, std::uint64_t got) {
  return {Kind::DimensionMismatch,
          "expected " + std::to_string(expected) + ", got " + std::to_string(got)};
}
VectorIndexError VectorIndexError::vector_not_found(std::uint64_t id) {
  return {Kind::VectorNotFound, std::to_string(id)};
}
VectorIndexError VectorIndexError::index_empty() { return {Kind::IndexEmpty, ""}; }
VectorIndexError VectorIndexError::invalid_parameter(std::string text) {
  return {Kind::InvalidParameter, std::move(text)};
}
VectorIndexError VectorIndexError::storage(std::string text) {
  return {Kind::Storage, std::move(text)};
}

std::string VectorIndexError::to_string() const {
  switch (kind_) {
    case Kind::DimensionMismatch: return "Dimension mismatch: " + payload_;
    case Kind::VectorNotFound: return "Vector not found: id=" + payload_;
    case Kind::IndexEmpty: return "Index is empty";
    case Kind::InvalidParameter: return "Invalid parameter: " + payload_;
    case Kind::Storage: return "Storage error: " + payload_;
  }
  return payload_;
}

}  // namespace orvane::index
