#include "storage/mem_file.h"

#include <algorithm>
#include <cerrno>

namespace orvane::storage {
namespace {
std::unexpected<StorageError> eio() { return std::unexpected(StorageError::io_errno(EIO)); }
}  // namespace

Result<void> MemFile::read_exact_at(std::uint64_t offset, std::span<std::uint8_t> buf) {
  if (offset > data_->size() || buf.size() > data_->size() - offset) {
    return std::unexpected(StorageError::io_unexpected_eof());
  }
  std::copy_n(data_->begin() + static_cast<std::ptrdiff_t>(offset), buf.size(), buf.begin());
  return {};
}

Result<void> MemFile::write_all_at(std::uint64_t offset, std::span<const std::uint8_t> buf) {
  if (data_->size() < offset + buf.size()) data_->resize(offset + buf.size(), 0);
  std::copy(buf.begin(), buf.end(), data_->begin() + static_cast<std::ptrdiff_t>(offset));
  return {};
}

Result<void> MemFile::truncate(std::uint64_t length) {
  data_->resize(length, 0);
  return {};
}

Result<void> FaultyFile::read_exact_at(std::uint64_t offset, std::span<std::uint8_t> buf) {
  return fail_reads_ ? eio() : inner_->read_exact_at(offset, buf);
}

Result<void> FaultyFile::write_all_at(std::uint64_t offset, std::span<const std::uint8_t> buf) {
  if (fail_all_writes_) return eio();
  if (++writes_ != fail_at_) return inner_->write_all_at(offset, buf);
  (void)inner_->write_all_at(offset, buf.first(buf.size() / 2));
  return eio();
}

Result<void> FaultyFile::write_all_at_v(std::uint64_t offset,
                                        std::span<const std::span<const std::uint8_t>> bufs) {
  std::vector<std::uint8_t> all;
  for (const auto& b : bufs) all.insert(all.end(), b.begin(), b.end());
  return write_all_at(offset, all);
}

Result<void> FaultyFile::truncate(std::uint64_t length) {
  return fail_truncates_ ? eio() : inner_->truncate(length);
}

Result<void> FaultyFile::sync() {
  return ++syncs_ == fail_sync_at_ ? eio() : inner_->sync();
}

}  // namespace orvane::storage
