// A fresh temporary directory, removed with its contents; whole-file helpers.
// Free of the test framework, so that the fuzz targets use them too.
#pragma once

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <span>
#include <string>
#include <system_error>
#include <vector>

namespace orvane::storage {

struct TestDir {
  TestDir() {
    std::string templ = (std::filesystem::temp_directory_path() / "orvane-st-XXXXXX").string();
    if (::mkdtemp(templ.data()) == nullptr) throw std::system_error(errno, std::generic_category());
    dir_ = templ;
  }
  ~TestDir() {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  std::string path(const std::string& name) const { return (dir_ / name).string(); }
  std::filesystem::path dir_;
};

inline std::vector<std::uint8_t> read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// Page `id` of a file's bytes (empty when the file is shorter).
inline std::vector<std::uint8_t> page_of(const std::vector<std::uint8_t>& file, std::uint64_t id,
                                         std::size_t page_size = 4096) {
  if (file.size() < (id + 1) * page_size) return {};
  const auto at = file.begin() + static_cast<std::ptrdiff_t>(id * page_size);
  return {at, at + static_cast<std::ptrdiff_t>(page_size)};
}

inline void write_file(const std::string& path, std::span<const std::uint8_t> bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

}  // namespace orvane::storage
