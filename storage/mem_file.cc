#include "storage/mem_file.h"

#include <algorithm>
#include <cerrno>

namespace orvane::storage {

Result<void> MemFile::read_exact_at(std::uint64_t offset, std::span<std::uint8_t> buf) {
  const std::vector<std::uint8_t>& d = *data_;
  if (offset > d.size() || buf.size() > d.size() - offset) {
    return std::unexpected(StorageError::io_unexpected_eof());
  }
  std::copy_n(d.begin() + static_cast<std::ptrdiff_t>(offset), buf.size(), buf.begin());
  return {};
}

Result<void> MemFile::write_all_at(std::uint64_t offset, std::span<const std::uint8_t> buf) {
  std::vector<std::uint8_t>& d = *data_;
  if (d.size() < offset + buf.size()) d.resize(offset + buf.size(), 0);
  std::copy(buf.begin(), buf.end(), d.begin() + static_cast<std::ptrdiff_t>(offset));
  return {};
}

Result<std::uint64_t> MemFile::size() { return data_->size(); }

Result<void> MemFile::truncate(std::uint64_t length) {
  data_->resize(length, 0);
  return {};
}

Result<void> FaultyFile::read_exact_at(std::uint64_t offset, std::span<std::uint8_t> buf) {
  if (fail_reads_) return std::unexpected(StorageError::io_errno(EIO));
  return inner_->read_exact_at(offset, buf);
}

Result<void> FaultyFile::write_all_at(std::uint64_t offset, std::span<const std::uint8_t> buf) {
  if (fail_all_writes_) return std::unexpected(StorageError::io_errno(EIO));
  if (next_write_fails()) {
    (void)inner_->write_all_at(offset, buf.first(buf.size() / 2));
    return std::unexpected(StorageError::io_errno(EIO));
  }
  return inner_->write_all_at(offset, buf);
}

Result<void> FaultyFile::write_all_at_v(std::uint64_t offset,
                                        std::span<const std::span<const std::uint8_t>> bufs) {
  if (fail_all_writes_) return std::unexpected(StorageError::io_errno(EIO));
  if (next_write_fails()) {
    std::vector<std::uint8_t> all;
    for (const auto& b : bufs) all.insert(all.end(), b.begin(), b.end());
    (void)inner_->write_all_at(offset, std::span(all).first(all.size() / 2));
    return std::unexpected(StorageError::io_errno(EIO));
  }
  return inner_->write_all_at_v(offset, bufs);
}

Result<void> FaultyFile::truncate(std::uint64_t length) {
  if (fail_truncates_) return std::unexpected(StorageError::io_errno(EIO));
  return inner_->truncate(length);
}

Result<void> FaultyFile::sync() {
  if (++syncs_ == fail_sync_at_) return std::unexpected(StorageError::io_errno(EIO));
  return inner_->sync();
}

}  // namespace orvane::storage
