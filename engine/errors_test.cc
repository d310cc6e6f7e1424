#include "engine/errors.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

namespace orvane::engine {
namespace {

using K = EngineError::Kind;
using index::VectorIndexError;
using storage::StorageError;

TEST(EngineError, EveryKindRendersItsText) {
  const EngineError storage_err = StorageError::io_unexpected_eof();
  EXPECT_EQ(storage_err.kind(), K::Storage);
  EXPECT_EQ(storage_err.to_string(), "Storage error: I/O error: failed to fill whole buffer");
  ASSERT_NE(storage_err.storage_error(), nullptr);
  EXPECT_EQ(storage_err.storage_error()->to_string(), "I/O error: failed to fill whole buffer");

  const EngineError index_err = VectorIndexError::dimension_mismatch(4, 3);
  EXPECT_EQ(index_err.kind(), K::Index);
  EXPECT_EQ(index_err.storage_error(), nullptr);
  EXPECT_EQ(index_err.to_string(), "Index error: Dimension mismatch: expected 4, got 3");
  EXPECT_EQ(EngineError(VectorIndexError::vector_not_found(42)).to_string(),
            "Index error: Vector not found: id=42");

  const EngineError meta_err = MetadataError(MetadataError::Kind::Storage, "disk gone");
  EXPECT_EQ(meta_err.kind(), K::Metadata);
  EXPECT_EQ(meta_err.to_string(), "Metadata error: Storage error: disk gone");

  EXPECT_EQ(EngineError::collection_not_found("").kind(), K::CollectionNotFound);
  EXPECT_EQ(EngineError::collection_not_found("").to_string(), "Collection not found: ");
  EXPECT_EQ(EngineError::collection_not_found("Docs \"x\"").to_string(),
            "Collection not found: Docs \"x\"");
  EXPECT_EQ(EngineError::collection_already_exists("a").kind(), K::CollectionAlreadyExists);
  EXPECT_EQ(EngineError::collection_already_exists("a").to_string(),
            "Collection already exists: a");
  EXPECT_EQ(EngineError::invalid_configuration(kQueryRequired).kind(), K::InvalidConfiguration);
  EXPECT_EQ(EngineError::invalid_configuration(kQueryRequired).to_string(),
            "Invalid configuration: Query vector is required for search");

  const EngineError dim = EngineError::dimension_mismatch(4, 3);
  EXPECT_EQ(dim.kind(), K::DimensionMismatch);
  EXPECT_EQ(dim.to_string(), "Dimension mismatch: expected 4, got 3");
  EXPECT_EQ(EngineError::dimension_mismatch(0, 18446744073709551615u).to_string(),
            "Dimension mismatch: expected 0, got 18446744073709551615");

  EXPECT_EQ(EngineError::database_closed().kind(), K::DatabaseClosed);
  EXPECT_EQ(EngineError::database_closed().to_string(), "Database is closed");
  EXPECT_EQ(EngineError::internal(kVectorPageFull).kind(), K::Internal);
  EXPECT_EQ(EngineError::internal(kVectorPageFull).to_string(), "Vector data page full");
  EXPECT_EQ(EngineError::internal("").to_string(), "");
}

TEST(EngineError, KindOrdinals) {
  EXPECT_EQ(static_cast<int>(K::Storage), 0);
  EXPECT_EQ(static_cast<int>(K::Index), 1);
  EXPECT_EQ(static_cast<int>(K::Metadata), 2);
  EXPECT_EQ(static_cast<int>(K::CollectionNotFound), 3);
  EXPECT_EQ(static_cast<int>(K::CollectionAlreadyExists), 4);
  EXPECT_EQ(static_cast<int>(K::InvalidConfiguration), 5);
  EXPECT_EQ(static_cast<int>(K::DimensionMismatch), 6);
  EXPECT_EQ(static_cast<int>(K::DatabaseClosed), 7);
  EXPECT_EQ(static_cast<int>(K::Internal), 8);
  EXPECT_EQ(static_cast<int>(VectorIndexError::Kind::Storage), 4);
  EXPECT_EQ(static_cast<int>(MetadataError::Kind::Serialization), 4);
}

TEST(EngineError, MetadataKinds) {
  using MK = MetadataError::Kind;
  EXPECT_EQ(MetadataError(MK::CollectionNotFound, "c").to_string(), "Collection not found: c");
  EXPECT_EQ(MetadataError(MK::DocumentNotFound, "doc_7").to_string(),
            "Document not found: id=doc_7");
  EXPECT_EQ(MetadataError(MK::InvalidFilter, "a >").to_string(), "Invalid filter expression: a >");
  EXPECT_EQ(MetadataError(MK::Storage, "s").to_string(), "Storage error: s");
  EXPECT_EQ(MetadataError(MK::Serialization, "bad json").to_string(),
            "Serialization error: bad json");
  EXPECT_EQ(MetadataError(MK::Serialization, "x").kind(), MK::Serialization);
  EXPECT_EQ(EngineError(MetadataError(MK::DocumentNotFound, "")).to_string(),
            "Metadata error: Document not found: id=");
}

TEST(EngineError, FixedTexts) {
  EXPECT_STREQ(kVectorPageFull, "Vector data page full");
  EXPECT_STREQ(kMetadataPageFull, "Metadata page full");
  EXPECT_STREQ(kQueryRequired, "Query vector is required for search");
  // The dash is U+2014 (three bytes), so the text is 47 bytes.
  EXPECT_EQ(std::strlen(kCatalogFull), 47u);
  EXPECT_EQ(std::string(kCatalogFull),
            std::string("Catalog page full ") + "\xE2\x80\x94" + " cannot persist collection");
  EXPECT_EQ(EngineError::internal(kCatalogFull).to_string(), kCatalogFull);
  EXPECT_STREQ(kSerializeFailedPrefix, "Failed to serialize collection config: ");
  EXPECT_STREQ(kWalOpenFailedPrefix, "Failed to open WAL: ");
  EXPECT_STREQ(kWalCheckpointFailedPrefix, "WAL checkpoint failed: ");
  EXPECT_STREQ(kWalCleanupFailedPrefix, "WAL cleanup failed: ");
}

// The engine wraps storage errors unchanged: one prefix, the storage text after it.
TEST(EngineError, WrappedStorageTexts) {
  const std::string enoent = std::strerror(ENOENT);
  EXPECT_EQ(EngineError(StorageError::io_errno(ENOENT)).to_string(),
            "Storage error: I/O error: " + enoent + " (os error 2)");
  EXPECT_EQ(EngineError(StorageError::io_write_zero()).to_string(),
            "Storage error: I/O error: failed to write whole buffer");
  EXPECT_EQ(EngineError(StorageError::page_full(7, 100, 40)).to_string(),
            "Storage error: Page is full: page_id=7, needed=100, available=40");
  EXPECT_EQ(EngineError(StorageError::internal("WAL not open")).to_string(),
            "Storage error: WAL not open");
  EXPECT_EQ(EngineError::internal(kWalCheckpointFailedPrefix +
                                  StorageError::internal("WAL not open").to_string())
                .to_string(),
            "WAL checkpoint failed: WAL not open");
}

}  // namespace
}  // namespace orvane::engine
