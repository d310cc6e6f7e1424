#include "storage/file.h"

#include <atomic>
#include <vector>

#include "storage/try.h"

namespace orvane::storage {
namespace {

std::atomic<FileHook*> installed_hook{nullptr};

}  // namespace

void set_file_hook(FileHook* hook) { installed_hook.store(hook, std::memory_order_release); }

FileHook* file_hook() { return installed_hook.load(std::memory_order_acquire); }

std::unique_ptr<File> hook_opened(const std::string& path, bool created,
                                  std::unique_ptr<File> file) {
  FileHook* hook = file_hook();
  return hook == nullptr ? std::move(file) : hook->opened(path, created, std::move(file));
}

Result<std::unique_ptr<File>> open_file(const std::string& path, OpenMode mode) {
  const bool creates =
      mode == OpenMode::ReadWriteCreate || mode == OpenMode::WriteOnlyCreateTruncate;
  const bool created = creates && file_hook() != nullptr && !path_exists(path);
  auto opened = PosixFile::open(path, mode);
  ORVANE_TRY(opened);
  return hook_opened(path, created, std::move(*opened));
}

// Files without a vectored write gather the buffers into one positioned
// write: the call stays one write, as a pwritev would be.
Result<void> File::write_all_at_v(std::uint64_t offset,
                                  std::span<const std::span<const std::uint8_t>> bufs) {
  std::vector<std::uint8_t> all;
  for (const auto& buf : bufs) all.insert(all.end(), buf.begin(), buf.end());
  return write_all_at(offset, all);
}

}  // namespace orvane::storage
