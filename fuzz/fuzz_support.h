// Helpers shared by the fuzz targets: a reader that splits the fuzzer's bytes
// into fields (running out of bytes yields zeros, never a failure), a check
// that stops the run on a broken property, scratch files, page and log images.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdio>
#include <filesystem>
#include <map>
#include <set>

#include "engine/database.h"
#include "storage/coding.h"
#include "storage/file.h"
#include "storage/header_format.h"
#include "storage/mem_file.h"
#include "storage/page.h"
#include "storage/page_cache.h"
#include "storage/random.h"
#include "storage/test_dir.h"
#include "storage/wal.h"

namespace orvane::fuzz {

// A broken property is a finding: it aborts like a sanitizer report would (as
// value() does, by its exception, on an error that must not happen).
#define FUZZ_CHECK(cond) ((cond) ? (void)0 : orvane::fuzz::violated(__FILE__, __LINE__, #cond))
[[noreturn]] inline void violated(const char* file, int line, const char* what) {
  std::fprintf(stderr, "%s:%d: property violated: %s\n", file, line, what);
  std::abort();
}

using Bytes = std::vector<std::uint8_t>;
using storage::kPageSize;
inline constexpr std::size_t kFrameSize = storage::kWalFrameHeaderSize + kPageSize;

// The fuzzer's bytes, taken field by field from the front.
struct FuzzInput {
  std::span<const std::uint8_t> left;

  // The next n bytes (fewer when the input ends first).
  std::span<const std::uint8_t> take(std::size_t n) {
    const auto out = left.first(std::min(n, left.size()));
    left = left.subspan(out.size());
    return out;
  }
  // A little-endian number of n bytes; the missing ones read as zeros.
  std::uint32_t le(std::size_t n) {
    std::uint32_t v = 0;
    for (std::size_t i = 0; const std::uint8_t b : take(n)) v |= std::uint32_t{b} << (8 * i++);
    return v;
  }
  std::uint8_t u8() { return static_cast<std::uint8_t>(le(1)); }
  std::uint16_t u16() { return static_cast<std::uint16_t>(le(2)); }
  std::uint32_t u32() { return le(4); }
  float f32() { return std::bit_cast<float>(le(4)); }
};

inline bool has_magic(std::span<const std::uint8_t> b) {
  return std::ranges::mismatch(storage::kMagic, b).in1 == storage::kMagic.end();
}

// `pages` zero pages behind a fresh header that counts them all as in use.
inline Bytes db_image(std::size_t pages) {
  Bytes db(pages * kPageSize, 0);
  auto header = storage::DatabaseHeader::fresh(0);
  header.next_page_id = pages;
  header.encode(db.data());
  return db;
}

inline std::unique_ptr<storage::File> mem_file(Bytes bytes) {
  return std::make_unique<storage::MemFile>(std::make_shared<Bytes>(std::move(bytes)));
}

// The records read_record yields for a page's slots, in slot order; none when
// the slot directory overruns the page.
inline std::vector<Bytes> page_records(std::span<const std::uint8_t> page) {
  std::vector<Bytes> out;
  const std::uint16_t slots = storage::get_u16(page.data() + 7);
  for (std::uint32_t s = 0; s < slots && 16 + 4u * slots <= page.size(); ++s) {
    auto rec = storage::read_record(1, page, static_cast<std::uint16_t>(s));
    if (rec) out.push_back(std::move(*rec));
  }
  return out;
}

// Recomputes the checksums of the first `count` whole frames with the log
// header's salts, so that mutations reach what lies behind a valid frame;
// with `one_call`, tags those frames as one whole call.
inline void seal_frames(Bytes& log, std::size_t count, bool one_call) {
  using namespace storage;
  if (log.size() < kWalHeaderSize) return;
  const std::uint32_t salt1 = get_u32(&log[16]), salt2 = get_u32(&log[20]);
  for (std::size_t k = 0; k < count; ++k) {
    const std::size_t at = kWalHeaderSize + k * kFrameSize;
    if (at + kFrameSize > log.size()) break;
    std::uint8_t* p = &log[at];
    if (one_call) put_u64(p + 4, k + 1 == count ? 1 : 0);
    const auto image = std::span(p + kWalFrameHeaderSize, kPageSize);
    std::ranges::copy(encode_frame_header(get_u32(p), get_u64(p + 4), salt1, salt2, image), p);
  }
}

using storage::read_file;
using storage::write_file;

// The path of a database file in a directory of this process's own, emptied
// of what the previous input left there (libFuzzer runs inputs one after
// another on one thread) and removed when the process ends.
inline std::string scratch_db() {
  static const storage::TestDir dir;
  for (const auto& entry : std::filesystem::directory_iterator(dir.dir_)) {
    std::filesystem::remove_all(entry.path());
  }
  return dir.path("fuzz.db");
}

// A power cut is not what the targets look for: no time goes to fsync.
inline const engine::OpenOptions kUnsynced{.synchronous = engine::Synchronous::Off};
using Counts = std::map<std::string, std::uint64_t>;

inline Counts counts_of(engine::Database& db) {
  Counts counts;
  for (const std::string& name : db.list_collections()) counts[name] = db.count(name).value();
  return counts;
}

// The closed file at `path` opens again with the same collections and counts.
inline void check_reopens(const std::string& path, const Counts& counts) {
  auto again = engine::Database::open(path, kUnsynced);
  FUZZ_CHECK(again.has_value() && counts_of(**again) == counts);
  FUZZ_CHECK((*again)->close().has_value());
}

}  // namespace orvane::fuzz
