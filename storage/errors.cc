#include "storage/errors.h"

#include <cstring>

namespace orvane::storage {

StorageError StorageError::io_errno(int err) {
  // strerror_r (GNU flavour) may return a static string instead of filling buf.
  char buf[256];
  const char* msg = strerror_r(err, buf, sizeof buf);
  StorageError e(Kind::Io, std::string(msg) + " (os error " + std::to_string(err) + ")");
  e.errno_ = err;
  return e;
}
StorageError StorageError::io_unexpected_eof() {
  return StorageError(Kind::Io, "failed to fill whole buffer");
}
StorageError StorageError::io_write_zero() {
  return StorageError(Kind::Io, "failed to write whole buffer");
}
StorageError StorageError::io(std::string text) { return StorageError(Kind::Io, std::move(text)); }
StorageError StorageError::invalid_database_file(std::string text) {
  return StorageError(Kind::InvalidDatabaseFile, std::move(text));
}
StorageError StorageError::page_not_found(std::uint64_t page_id) {
  return StorageError(Kind::PageNotFound, std::to_string(page_id));
}
StorageError StorageError::wal_corrupted(std::string text) {
  return StorageError(Kind::WalCorrupted, std::move(text));
}
StorageError StorageError::crc_mismatch(std::uint64_t page_id) {
  return StorageError(Kind::CrcMismatch, std::to_string(page_id));
}
StorageError StorageError::read_only() { return StorageError(Kind::ReadOnly, ""); }
StorageError StorageError::write_conflict() { return StorageError(Kind::WriteConflict, ""); }
StorageError StorageError::page_full(std::uint64_t page_id, std::uint16_t needed,
                                     std::uint16_t available) {
  return StorageError(Kind::PageFull, std::to_string(page_id) + ", needed=" +
                                          std::to_string(needed) +
                                          ", available=" + std::to_string(available));
}
StorageError StorageError::serialization(std::string text) {
  return StorageError(Kind::Serialization, std::move(text));
}
StorageError StorageError::unsupported_format_version(std::uint32_t version) {
  return StorageError(Kind::UnsupportedFormatVersion, std::to_string(version));
}
StorageError StorageError::internal(std::string text) {
  return StorageError(Kind::Internal, std::move(text));
}

std::string StorageError::to_string() const {
  switch (kind_) {
    case Kind::Io: return "I/O error: " + text_;
    case Kind::InvalidDatabaseFile: return "Invalid database file: " + text_;
    case Kind::PageNotFound: return "Page not found: page_id=" + text_;
    case Kind::WalCorrupted: return "WAL corrupted: " + text_;
    case Kind::CrcMismatch: return "CRC mismatch on page " + text_;
    case Kind::ReadOnly: return "Database is read-only";
    case Kind::WriteConflict: return "Write conflict: another writer is active";
    case Kind::PageFull: return "Page is full: page_id=" + text_;
    case Kind::Serialization: return "Serialization error: " + text_;
    case Kind::UnsupportedFormatVersion: return "Unsupported format version: " + text_;
    case Kind::Internal: return text_;
  }
  return text_;
}

}  // namespace orvane::storage
