#include "storage/file.h"

namespace orvane::storage {

// Files without a vectored write fall back to one positioned write per buffer.
Result<void> File::write_all_at_v(std::uint64_t offset,
                                  std::span<const std::span<const std::uint8_t>> bufs) {
  for (const auto& buf : bufs) {
    if (auto r = write_all_at(offset, buf); !r) return r;
    offset += buf.size();
  }
  return {};
}

}  // namespace orvane::storage
