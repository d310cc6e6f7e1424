// Helpers shared by the fuzz targets: a reader that splits the fuzzer's bytes
// into fields (running out of bytes yields zeros, never a failure), a check
// that stops the run on a broken property, and a scratch directory for the
// targets that need real files.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <span>
#include <string>
#include <vector>

namespace orvane::fuzz {

// A property the code under test promises; a violation is a finding, so it
// aborts like a sanitizer report would.
#define FUZZ_CHECK(cond)                                                                 \
  do {                                                                                   \
    if (!(cond)) {                                                                       \
      std::fprintf(stderr, "%s:%d: property violated: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                                      \
    }                                                                                    \
  } while (0)

class FuzzInput {
 public:
  FuzzInput(const std::uint8_t* data, std::size_t size) : bytes_(data, size) {}

  std::size_t remaining() const { return bytes_.size() - pos_; }

  std::uint8_t u8() {
    if (pos_ >= bytes_.size()) return 0;
    return bytes_[pos_++];
  }
  std::uint16_t u16() { return static_cast<std::uint16_t>(u8() | (u8() << 8)); }
  std::uint32_t u32() { return u16() | (std::uint32_t{u16()} << 16); }

  // The next n bytes (fewer when the input ends first).
  std::span<const std::uint8_t> take(std::size_t n) {
    n = std::min(n, remaining());
    auto out = bytes_.subspan(pos_, n);
    pos_ += n;
    return out;
  }
  // Exactly n bytes: the next ones, zero-padded when the input ends first.
  std::vector<std::uint8_t> take_padded(std::size_t n) {
    auto part = take(n);
    std::vector<std::uint8_t> out(part.begin(), part.end());
    out.resize(n, 0);
    return out;
  }
  std::span<const std::uint8_t> rest() { return take(remaining()); }

 private:
  std::span<const std::uint8_t> bytes_;
  std::size_t pos_ = 0;
};

// A directory of this process's own under TMPDIR (or /tmp), removed with its
// contents when the process ends. One per process: libFuzzer runs inputs one
// after another on a single thread.
class ScratchDir {
 public:
  ScratchDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/orvane-fuzz-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) {
      std::perror("mkdtemp");
      std::abort();
    }
    path_ = buf.data();
  }
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& path() const { return path_; }

  // Removes every file the previous input left behind.
  void clear() const {
    for (const auto& entry : std::filesystem::directory_iterator(path_)) {
      std::error_code ignored;
      std::filesystem::remove_all(entry.path(), ignored);
    }
  }

 private:
  std::string path_;
};

inline void write_file(const std::string& path, std::span<const std::uint8_t> bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  FUZZ_CHECK(out.good());
}

inline std::vector<std::uint8_t> read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

}  // namespace orvane::fuzz
