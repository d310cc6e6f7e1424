// VectorIndexError: the error type of the vector indexes (Flat and HNSW).
#pragma once

#include <cstdint>
#include <expected>
#include <string>

namespace orvane::index {

class VectorIndexError {
 public:
  enum class Kind : std::uint8_t { DimensionMismatch, VectorNotFound, IndexEmpty, InvalidParameter, Storage };

  static VectorIndexError dimension_mismatch(std::uint64_t expected, std::uint64_t got);
  static VectorIndexError vector_not_found(std::uint64_t id);
  static VectorIndexError index_empty();
  static VectorIndexError invalid_parameter(std::string text);
  static VectorIndexError storage(std::string text);

  Kind kind() const { return kind_; }
  std::string to_string() const;

 private:
  VectorIndexError(Kind kind, std::string payload) : kind_(kind), payload_(std::move(payload)) {}
  Kind kind_;
  std::string payload_;
};

template <class T>
using IndexResult = std::expected<T, VectorIndexError>;

}  // namespace orvane::index
