// Files for tests: an in-memory File, and a wrapper that injects failures,
// also between a log and its file.
// Not thread-safe; the page cache and the log serialise access to them.
#pragma once

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <vector>

#include "storage/file.h"
#include "storage/wal.h"

namespace orvane::storage {

// Bytes in a vector the test may share and inspect after the MemFile is gone.
// Writes past the end grow it with zeros.
class MemFile final : public File {
 public:
  MemFile() : data_(std::make_shared<std::vector<std::uint8_t>>()) {}
  explicit MemFile(std::shared_ptr<std::vector<std::uint8_t>> data) : data_(std::move(data)) {}
  const std::shared_ptr<std::vector<std::uint8_t>>& data() const { return data_; }

  Result<void> read_exact_at(std::uint64_t offset, std::span<std::uint8_t> buf) override {
    if (offset > data_->size() || buf.size() > data_->size() - offset) {
      return std::unexpected(StorageError::io_unexpected_eof());
    }
    std::copy_n(data_->begin() + static_cast<std::ptrdiff_t>(offset), buf.size(), buf.begin());
    return {};
  }
  Result<void> write_all_at(std::uint64_t offset, std::span<const std::uint8_t> buf) override {
    if (data_->size() < offset + buf.size()) data_->resize(offset + buf.size(), 0);
    std::copy(buf.begin(), buf.end(), data_->begin() + static_cast<std::ptrdiff_t>(offset));
    return {};
  }
  Result<std::uint64_t> size() override { return data_->size(); }
  Result<void> truncate(std::uint64_t length) override {
    data_->resize(length, 0);
    return {};
  }
  Result<void> sync() override { return {}; }

 private:
  std::shared_ptr<std::vector<std::uint8_t>> data_;
};

// Forwards to an inner file, failing on request with EIO. A failing write
// first writes the first half of its bytes, as a process killed mid-write
// would leave them; a vectored write counts as one. Counts start at 1 for the
// next call; 0 disables. fail_all_writes: nothing is written, as after death.
class FaultyFile final : public File {
 public:
  explicit FaultyFile(std::unique_ptr<File> inner) : inner_(std::move(inner)) {}

  void fail_write_number(std::uint64_t n) { fail_at_ = n == 0 ? 0 : writes_ + n; }
  void fail_reads(bool on) { fail_reads_ = on; }
  void fail_all_writes(bool on) { fail_all_writes_ = on; }
  void fail_truncates(bool on) { fail_truncates_ = on; }
  void fail_sync_number(std::uint64_t n) { fail_sync_at_ = n == 0 ? 0 : syncs_ + n; }
  std::uint64_t writes() const { return writes_; }
  std::uint64_t syncs() const { return syncs_; }

  Result<void> read_exact_at(std::uint64_t offset, std::span<std::uint8_t> buf) override {
    return fail_reads_ ? eio() : inner_->read_exact_at(offset, buf);
  }
  Result<void> write_all_at(std::uint64_t offset, std::span<const std::uint8_t> buf) override {
    if (fail_all_writes_) return eio();
    if (++writes_ != fail_at_) return inner_->write_all_at(offset, buf);
    (void)inner_->write_all_at(offset, buf.first(buf.size() / 2));
    return eio();
  }
  Result<std::uint64_t> size() override { return inner_->size(); }
  Result<void> truncate(std::uint64_t length) override {
    return fail_truncates_ ? eio() : inner_->truncate(length);
  }
  Result<void> sync() override { return ++syncs_ == fail_sync_at_ ? eio() : inner_->sync(); }
  Result<std::pair<std::uint64_t, std::uint64_t>> identity() override { return inner_->identity(); }
  std::optional<bool> linked() override { return inner_->linked(); }

 private:
  static Result<void> eio() { return std::unexpected(StorageError::io_errno(EIO)); }

  std::unique_ptr<File> inner_;
  std::uint64_t writes_ = 0, fail_at_ = 0, syncs_ = 0, fail_sync_at_ = 0;
  bool fail_reads_ = false, fail_all_writes_ = false, fail_truncates_ = false;
};

// Puts a FaultyFile between the log and its file; returns it to steer failures.
inline FaultyFile* wrap_log_file(Wal& wal) {
  FaultyFile* faulty = nullptr;
  wal.wrap_file_for_testing([&](std::unique_ptr<File> f) {
    return std::unique_ptr<File>(faulty = new FaultyFile(std::move(f)));
  });
  return faulty;
}

}  // namespace orvane::storage
