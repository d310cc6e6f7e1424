// EngineError: every failure an engine operation reports. Wraps the lower
// layers' errors adding exactly one prefix; rendering never fails.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <variant>

#include "index/errors.h"
#include "storage/errors.h"

namespace orvane::engine {

class MetadataError {
 public:
  enum class Kind : std::uint8_t { CollectionNotFound, DocumentNotFound, InvalidFilter, Storage, Serialization };
  MetadataError(Kind kind, std::string text) : kind_(kind), text_(std::move(text)) {}
  Kind kind() const { return kind_; }
  std::string to_string() const;

 private:
  Kind kind_;
  std::string text_;
};

class EngineError {
 public:
  enum class Kind : std::uint8_t {
    Storage,
    Index,
    Metadata,
    CollectionNotFound,
    CollectionAlreadyExists,
    InvalidConfiguration,
    DimensionMismatch,
    DatabaseClosed,
    Internal,
  };

  EngineError(storage::StorageError e) : kind_(Kind::Storage), inner_(std::move(e)) {}   // NOLINT
  EngineError(index::VectorIndexError e) : kind_(Kind::Index), inner_(std::move(e)) {}  // NOLINT
  EngineError(MetadataError e) : kind_(Kind::Metadata), inner_(std::move(e)) {}         // NOLINT

  static EngineError collection_not_found(std::string name);
  static EngineError collection_already_exists(std::string name);
  static EngineError invalid_configuration(std::string text);
  static EngineError dimension_mismatch(std::uint64_t expected, std::uint64_t got);
  static EngineError database_closed();
  static EngineError internal(std::string text);

  Kind kind() const { return kind_; }
  // The wrapped storage error, when kind() == Storage.
  const storage::StorageError* storage_error() const;
  // The wrapped metadata error, when kind() == Metadata.
  const MetadataError* metadata_error() const { return std::get_if<MetadataError>(&inner_); }
  // The wrapped index error, when kind() == Index.
  const index::VectorIndexError* index_error() const {
    return std::get_if<index::VectorIndexError>(&inner_);
  }
  std::string to_string() const;

 private:
  EngineError(Kind kind, std::string text) : kind_(kind), inner_(std::move(text)) {}
  Kind kind_;
  std::variant<std::string, storage::StorageError, index::VectorIndexError, MetadataError> inner_;
};

template <class T>
using EngineResult = std::expected<T, EngineError>;

// A storage failure as this layer's result: `return failed(r.error());`.
inline std::unexpected<EngineError> failed(const storage::StorageError& e) {
  return std::unexpected<EngineError>(e);
}

// Fixed texts.
inline constexpr const char* kVectorPageFull = "Vector data page full";
inline constexpr const char* kMetadataPageFull = "Metadata page full";
inline constexpr const char* kQueryRequired = "Query vector is required for search";
inline constexpr const char* kCatalogFull = "Catalog page full \xE2\x80\x94 cannot persist collection";
inline constexpr const char* kSerializeFailedPrefix = "Failed to serialize collection config: ";
inline constexpr const char* kWalOpenFailedPrefix = "Failed to open WAL: ";
inline constexpr const char* kWalCheckpointFailedPrefix = "WAL checkpoint failed: ";
inline constexpr const char* kWalCleanupFailedPrefix = "WAL cleanup failed: ";

}  // namespace orvane::engine
