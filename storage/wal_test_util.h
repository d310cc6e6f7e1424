// Builders of log files for tests. Test-only.
#pragma once

#include <cstdint>
#include <vector>

#include "storage/mem_file.h"
#include "storage/wal.h"

namespace orvane::storage {

struct TestFrame {
  std::uint32_t page_id;
  std::uint64_t frame_tag;
  std::vector<std::uint8_t> image;
};

inline std::vector<std::uint8_t> image_of(std::uint8_t fill) {
  return std::vector<std::uint8_t>(kPageSize, fill);
}

// A log file: header with the salts, then the frames summed with them.
inline std::vector<std::uint8_t> make_log(std::uint32_t salt1, std::uint32_t salt2,
                                          const std::vector<TestFrame>& frames) {
  const auto h = encode_wal_header(kPageSize, 0, salt1, salt2);
  std::vector<std::uint8_t> log(h.begin(), h.end());
  for (const TestFrame& f : frames) {
    const auto fh = encode_frame_header(f.page_id, f.frame_tag, salt1, salt2, f.image);
    log.insert(log.end(), fh.begin(), fh.end());
    log.insert(log.end(), f.image.begin(), f.image.end());
  }
  return log;
}

inline constexpr std::size_t kFrameSize = kWalFrameHeaderSize + kPageSize;

// Puts a FaultyFile between the log and its file; returns it to steer failures.
inline FaultyFile* wrap_log_file(Wal& wal) {
  FaultyFile* faulty = nullptr;
  wal.wrap_file_for_testing([&](std::unique_ptr<File> f) {
    return std::unique_ptr<File>(faulty = new FaultyFile(std::move(f)));
  });
  return faulty;
}

}  // namespace orvane::storage
