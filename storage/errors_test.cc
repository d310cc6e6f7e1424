#include "storage/errors.h"

#include <gtest/gtest.h>

#include <cstring>

namespace orvane::storage {
namespace {

TEST(StorageErrorTest, EveryKindRendersItsExactText) {
  using K = StorageError::Kind;
  struct Case {
    StorageError error;
    K kind;
    const char* text;
  };
  const Case cases[] = {
      {StorageError::io_unexpected_eof(), K::Io, "I/O error: failed to fill whole buffer"},
      {StorageError::io_write_zero(), K::Io, "I/O error: failed to write whole buffer"},
      {StorageError::io("disk on fire"), K::Io, "I/O error: disk on fire"},
      {StorageError::invalid_database_file("bad magic"), K::InvalidDatabaseFile,
       "Invalid database file: bad magic"},
      {StorageError::page_not_found(12), K::PageNotFound, "Page not found: page_id=12"},
      {StorageError::wal_corrupted("Invalid WAL magic: 0x377F0682"), K::WalCorrupted,
       "WAL corrupted: Invalid WAL magic: 0x377F0682"},
      {StorageError::crc_mismatch(3), K::CrcMismatch, "CRC mismatch on page 3"},
      {StorageError::read_only(), K::ReadOnly, "Database is read-only"},
      {StorageError::write_conflict(), K::WriteConflict,
       "Write conflict: another writer is active"},
      {StorageError::page_full(7, 100, 40), K::PageFull,
       "Page is full: page_id=7, needed=100, available=40"},
      {StorageError::serialization("x"), K::Serialization, "Serialization error: x"},
      {StorageError::unsupported_format_version(2), K::UnsupportedFormatVersion,
       "Unsupported format version: 2"},
      {StorageError::internal("WAL not open"), K::Internal, "WAL not open"},
      {StorageError::internal(""), K::Internal, ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.error.kind(), c.kind) << c.text;
    EXPECT_EQ(c.error.to_string(), c.text);
  }
}

TEST(StorageErrorTest, OsErrorCarriesSystemTextAndNumber) {
  const StorageError e = StorageError::io_errno(2);
  EXPECT_EQ(e.kind(), StorageError::Kind::Io);
  EXPECT_EQ(e.os_errno(), 2);
  EXPECT_EQ(e.to_string(), std::string("I/O error: ") + std::strerror(2) + " (os error 2)");
  EXPECT_EQ(e.to_string(), "I/O error: No such file or directory (os error 2)");
  EXPECT_EQ(StorageError::io_unexpected_eof().os_errno(), 0);
  // Copies are independent values.
  StorageError copy = e;
  copy = StorageError::internal("other");
  EXPECT_EQ(e.to_string(), "I/O error: No such file or directory (os error 2)");
}

TEST(StorageErrorTest, PageFullAtTheLimitsOfItsFields) {
  EXPECT_EQ(StorageError::page_full(18446744073709551615ULL, 65535, 0).to_string(),
            "Page is full: page_id=18446744073709551615, needed=65535, available=0");
}

}  // namespace
}  // namespace orvane::storage
