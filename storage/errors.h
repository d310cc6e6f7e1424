// StorageError: the one error type of the storage engine. A kind plus a
// payload; the rendered text is the whole interface (no numeric codes).
#pragma once

#include <cstdint>
#include <expected>
#include <string>

namespace orvane::storage {

class StorageError {
 public:
  enum class Kind : std::uint8_t {
    Io,
    InvalidDatabaseFile,
    PageNotFound,
    WalCorrupted,
    CrcMismatch,
    ReadOnly,
    WriteConflict,
    PageFull,
    Serialization,
    UnsupportedFormatVersion,
    Internal,
  };

  // Io with the OS description of errno: "<strerror> (os error N)".
  static StorageError io_errno(int err);
  // Io: a read that met end of file before its buffer was full.
  static StorageError io_unexpected_eof();
  // Io: a write that the system accepted with zero bytes.
  static StorageError io_write_zero();
  // Io with an arbitrary text.
  static StorageError io(std::string text);
  static StorageError invalid_database_file(std::string text);
  static StorageError page_not_found(std::uint64_t page_id);
  static StorageError wal_corrupted(std::string text);
  static StorageError crc_mismatch(std::uint64_t page_id);
  static StorageError read_only();
  static StorageError write_conflict();
  static StorageError page_full(std::uint64_t page_id, std::uint16_t needed,
                                std::uint16_t available);
  static StorageError serialization(std::string text);
  static StorageError unsupported_format_version(std::uint32_t version);
  static StorageError internal(std::string text);

  Kind kind() const { return kind_; }
  // For Io: the OS errno, or 0 for the two short-transfer cases.
  int os_errno() const { return errno_; }
  // The full text, e.g. "I/O error: failed to fill whole buffer".
  std::string to_string() const;

 private:
  StorageError(Kind kind, std::string text) : kind_(kind), text_(std::move(text)) {}

  Kind kind_;
  std::string text_;  // payload already rendered (without the kind's prefix)
  int errno_ = 0;
};

template <class T>
using Result = std::expected<T, StorageError>;

}  // namespace orvane::storage
