#include "engine/errors.h"

namespace orvane::engine {

std::string MetadataError::to_string() const {
  switch (kind_) {
    case Kind::CollectionNotFound: return "Collection not found: " + text_;
    case Kind::DocumentNotFound: return "Document not found: id=" + text_;
    case Kind::InvalidFilter: return "Invalid filter expression: " + text_;
    case Kind::Storage: return "Storage error: " + text_;
    case Kind::Serialization: return "Serialization error: " + text_;
  }
  return text_;
}

EngineError EngineError::collection_not_found(std::string name) {
  return {Kind::CollectionNotFound, std::move(name)};
}
EngineError EngineError::collection_already_exists(std::string name) {
  return {Kind::CollectionAlreadyExists, std::move(name)};
}
EngineError EngineError::invalid_configuration(std::string text) {
  return {Kind::InvalidConfiguration, std::move(text)};
}
EngineError EngineError::dimension_mismatch(std::uint64_t expected, std::uint64_t got) {
  return {Kind::DimensionMismatch,
          "expected " + std::to_string(expected) + ", got " + std::to_string(got)};
}
EngineError EngineError::database_closed() { return {Kind::DatabaseClosed, ""}; }
EngineError EngineError::internal(std::string text) { return {Kind::Internal, std::move(text)}; }

const storage::StorageError* EngineError::storage_error() const {
  return std::get_if<storage::StorageError>(&inner_);
}

std::string EngineError::to_string() const {
  const std::string* text = std::get_if<std::string>(&inner_);
  switch (kind_) {
    case Kind::Storage: return "Storage error: " + std::get<storage::StorageError>(inner_).to_string();
    case Kind::Index: return "Index error: " + std::get<index::VectorIndexError>(inner_).to_string();
    case Kind::Metadata: return "Metadata error: " + std::get<MetadataError>(inner_).to_string();
    case Kind::CollectionNotFound: return "Collection not found: " + *text;
    case Kind::CollectionAlreadyExists: return "Collection already exists: " + *text;
    case Kind::InvalidConfiguration: return "Invalid configuration: " + *text;
    case Kind::DimensionMismatch: return "Dimension mismatch: " + *text;
    case Kind::DatabaseClosed: return "Database is closed";
    case Kind::Internal: return *text;
  }
  return {};
}

}  // namespace orvane::engine
