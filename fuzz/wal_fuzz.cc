// Log header and frame reading on arbitrary log bytes, then the replay of
// the same log into a small database file and the opening of the log.
//
// Input: u8 control, then the log bytes. The low three bits of control name
// how many leading frames get their checksums recomputed with the salts of
// the log's header (so that the fuzzer reaches what lies behind a valid
// frame); with bit 3 set, those frames are also tagged as one whole call.
//
// Properties: the header check accepts exactly the logs with the right magic
// and version and reports the exact texts otherwise; read_frames returns
// exactly the leading run of whole frames whose checksums match; replay
// leaves a log of 32 bytes or less and the database untouched, deletes a log
// with a rejected header, and otherwise writes exactly the whole calls of
// acceptable frames into the database file and leaves a fresh header-only log
// that opens.
#include <cstdio>

#include "fuzz/fuzz_support.h"
#include "storage/coding.h"
#include "storage/header_format.h"
#include "storage/mem_file.h"
#include "storage/random.h"
#include "storage/wal.h"

namespace {

using namespace orvane;
using storage::get_u32;
using storage::get_u64;
using storage::kPageSize;
using storage::kWalFrameHeaderSize;
using storage::kWalHeaderSize;

constexpr std::size_t kFrameSize = kWalFrameHeaderSize + kPageSize;
constexpr std::size_t kDbPages = 3;

fuzz::ScratchDir& scratch() {
  static fuzz::ScratchDir dir;
  return dir;
}

struct Frame {
  std::uint32_t page_id;
  std::uint64_t tag;
  std::size_t offset;  // of the frame header
};

// The leading frames whose images are whole and whose checksums match.
std::vector<Frame> valid_frames(std::span<const std::uint8_t> log, std::uint32_t salt1,
                                std::uint32_t salt2) {
  std::vector<Frame> out;
  for (std::size_t p = kWalHeaderSize; p + kFrameSize <= log.size(); p += kFrameSize) {
    const std::uint32_t page_id = get_u32(log.data() + p);
    const auto image = log.subspan(p + kWalFrameHeaderSize, kPageSize);
    if (storage::frame_checksum(page_id, salt1, image) != get_u32(log.data() + p + 20)) break;
    if (storage::frame_checksum(page_id, salt2, image) != get_u32(log.data() + p + 24)) break;
    out.push_back({page_id, get_u64(log.data() + p + 4), p});
  }
  return out;
}

std::vector<std::uint8_t> make_log(fuzz::FuzzInput& in) {
  const std::uint8_t control = in.u8();
  const auto rest = in.rest();
  std::vector<std::uint8_t> log(rest.begin(), rest.end());
  if (log.size() < kWalHeaderSize) return log;
  const std::uint32_t salt1 = get_u32(log.data() + 16), salt2 = get_u32(log.data() + 20);
  const std::size_t fix = control & 7;
  for (std::size_t k = 0; k < fix; ++k) {
    const std::size_t p = kWalHeaderSize + k * kFrameSize;
    if (p + kFrameSize > log.size()) break;
    if (control & 8) storage::put_u64(log.data() + p + 4, k + 1 == fix ? 1 : 0);
    const auto header = storage::encode_frame_header(
        get_u32(log.data() + p), get_u64(log.data() + p + 4), salt1, salt2,
        std::span(log).subspan(p + kWalFrameHeaderSize, kPageSize));
    std::copy(header.begin(), header.end(), log.begin() + p);
  }
  return log;
}

void check_reading(storage::Wal& wal, const std::vector<std::uint8_t>& log) {
  storage::MemFile file(std::make_shared<std::vector<std::uint8_t>>(log));
  auto checked = wal.check_wal_header(file);
  if (log.size() < kWalHeaderSize) {
    FUZZ_CHECK(!checked && checked.error().to_string() == "I/O error: failed to fill whole buffer");
    return;
  }
  const std::uint32_t magic = get_u32(log.data()), version = get_u32(log.data() + 4);
  if (magic != storage::kWalMagic) {
    char expected[64];
    std::snprintf(expected, sizeof expected, "WAL corrupted: Invalid WAL magic: 0x%08X", magic);
    FUZZ_CHECK(!checked && checked.error().to_string() == expected);
  } else if (version != 1) {
    FUZZ_CHECK(!checked &&
               checked.error().to_string() ==
                   "WAL corrupted: Unsupported WAL version: " + std::to_string(version));
  } else {
    FUZZ_CHECK(checked.has_value());
  }

  const std::uint32_t salt1 = get_u32(log.data() + 16), salt2 = get_u32(log.data() + 20);
  auto frames = wal.read_frames(file, salt1, salt2);
  FUZZ_CHECK(frames.has_value());
  const auto expected = valid_frames(log, salt1, salt2);
  FUZZ_CHECK(frames->size() == expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const auto& f = (*frames)[i];
    FUZZ_CHECK(f.page_id == expected[i].page_id && f.frame_tag == expected[i].tag);
    const auto image = std::span(log).subspan(expected[i].offset + kWalFrameHeaderSize, kPageSize);
    FUZZ_CHECK(std::equal(f.image.begin(), f.image.end(), image.begin(), image.end()));
  }
  FUZZ_CHECK(file.data()->size() == log.size() && *file.data() == log);
}

// How many leading frames replay applies: whole calls, up to the first frame
// that would write page 0 without the database magic or a page far beyond
// the file.
std::size_t expected_applied(std::span<const std::uint8_t> log, const std::vector<Frame>& frames,
                             std::uint64_t limit) {
  std::size_t whole = 0;
  for (std::size_t i = 0; i < frames.size(); ++i) {
    const auto image = log.subspan(frames[i].offset + kWalFrameHeaderSize, kPageSize);
    const bool magic = std::equal(storage::kMagic.begin(), storage::kMagic.end(), image.begin());
    if (frames[i].page_id == 0 && !magic) break;
    if (frames[i].page_id > limit) break;
    if (frames[i].tag & 1) whole = i + 1;
  }
  return whole;
}

void check_replay(const std::vector<std::uint8_t>& log) {
  scratch().clear();
  const std::string db_path = scratch().path() + "/fuzz.db";
  const std::string wal_path = db_path + "-wal";
  std::vector<std::uint8_t> db(kDbPages * kPageSize, 0);
  storage::DatabaseHeader header = storage::DatabaseHeader::fresh(0);
  header.next_page_id = kDbPages;
  header.encode(db.data());
  for (std::size_t p = 1; p < kDbPages; ++p) db[p * kPageSize] = static_cast<std::uint8_t>(p);
  fuzz::write_file(db_path, db);
  fuzz::write_file(wal_path, log);

  storage::Wal wal(wal_path);
  wal.set_sync_level(storage::SyncLevel::Off);  // no time goes to fsync
  auto replayed = storage::replay_leftover_wal(wal, db_path);
  FUZZ_CHECK(replayed.has_value());  // the scratch files are sound: nothing fails here
  const bool header_ok = log.size() >= kWalHeaderSize &&
                         get_u32(log.data()) == storage::kWalMagic && get_u32(log.data() + 4) == 1;
  if (log.size() <= kWalHeaderSize) {
    FUZZ_CHECK(fuzz::read_file(wal_path) == log && fuzz::read_file(db_path) == db);
    return;
  }
  if (!header_ok) {
    FUZZ_CHECK(!storage::path_exists(wal_path) && fuzz::read_file(db_path) == db);
    return;
  }
  const std::uint32_t salt1 = get_u32(log.data() + 16), salt2 = get_u32(log.data() + 20);
  const auto frames = valid_frames(log, salt1, salt2);
  const std::size_t applied = expected_applied(log, frames, kDbPages + frames.size());
  std::vector<std::uint8_t> expected_db = db;
  for (std::size_t i = 0; i < applied; ++i) {
    const std::size_t at = std::size_t{frames[i].page_id} * kPageSize;
    if (expected_db.size() < at + kPageSize) expected_db.resize(at + kPageSize, 0);
    const auto image = std::span(log).subspan(frames[i].offset + kWalFrameHeaderSize, kPageSize);
    std::copy(image.begin(), image.end(), expected_db.begin() + at);
  }
  FUZZ_CHECK(fuzz::read_file(db_path) == expected_db);
  if (frames.empty()) {
    FUZZ_CHECK(fuzz::read_file(wal_path) == log);
  } else {
    FUZZ_CHECK(fuzz::read_file(wal_path).size() == kWalHeaderSize);
  }
  // The log left behind opens as the live log.
  FUZZ_CHECK(wal.open().has_value());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  storage::thread_random_seed_for_testing(0x3a1);
  fuzz::FuzzInput in(data, size);
  const std::vector<std::uint8_t> log = make_log(in);
  storage::Wal wal("unused-wal");
  check_reading(wal, log);
  check_replay(log);
  return 0;
}
