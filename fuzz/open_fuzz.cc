// Whole-file open: a database file (and optionally a log beside it) from the
// fuzzer's bytes, opened, used and closed, then opened again.
//
// Input: u8 control, u32 database length, the database bytes, then the log
// bytes. Control bit 0: a log file is written beside the database; bits 1..3:
// how many leading log frames get checksums matching the log header's salts;
// bit 4: those frames form one whole call.
//
// Properties: a file that does not begin with the database magic is refused
// and neither it nor the log beside it changes (no log is created); an open
// that succeeds gives collections that search, insert, delete and count
// without crashing, room for a new collection unless the catalog is full, a
// close that succeeds, a file grown by a few pages at most, and a file that
// opens again with the same collections and counts.
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>

#include "engine/database.h"
#include "fuzz/fuzz_support.h"
#include "storage/coding.h"
#include "storage/file.h"
#include "storage/header_format.h"
#include "storage/random.h"
#include "storage/types.h"
#include "storage/v2_header.h"
#include "storage/wal_format.h"

namespace {

using namespace orvane;
using storage::get_u32;
using storage::get_u64;
using storage::kPageSize;
using storage::kWalFrameHeaderSize;
using storage::kWalHeaderSize;

// A power cut is not what this target looks for: no time goes to fsync.
engine::OpenOptions unsynced() {
  engine::OpenOptions options;
  options.synchronous = engine::Synchronous::Off;
  return options;
}

constexpr std::size_t kFrameSize = kWalFrameHeaderSize + kPageSize;
constexpr std::uint64_t kLargestUsedDimension = 4096;

fuzz::ScratchDir& scratch() {
  static fuzz::ScratchDir dir;
  return dir;
}

void fix_frames(std::vector<std::uint8_t>& log, std::uint8_t control) {
  if (log.size() < kWalHeaderSize) return;
  const std::uint32_t salt1 = get_u32(log.data() + 16), salt2 = get_u32(log.data() + 20);
  const std::size_t fix = (control >> 1) & 7;
  for (std::size_t k = 0; k < fix; ++k) {
    const std::size_t p = kWalHeaderSize + k * kFrameSize;
    if (p + kFrameSize > log.size()) break;
    if (control & 16) storage::put_u64(log.data() + p + 4, k + 1 == fix ? 1 : 0);
    const auto header = storage::encode_frame_header(
        get_u32(log.data() + p), get_u64(log.data() + p + 4), salt1, salt2,
        std::span(log).subspan(p + kWalFrameHeaderSize, kPageSize));
    std::copy(header.begin(), header.end(), log.begin() + p);
  }
}

// Collection name -> count, after creating one collection and using every
// collection once.
std::map<std::string, std::uint64_t> exercise(engine::Database& db) {
  std::map<std::string, std::uint64_t> counts;
  if (db.create_collection("fuzz-new", 2, "dot")) {
    FUZZ_CHECK(db.insert("fuzz-new", std::string("n"), std::vector<float>{1.0f, -1.0f}));
  }
  for (const std::string& name : db.list_collections()) {
    auto dim = db.get_collection(name);
    FUZZ_CHECK(dim.has_value());
    if (*dim <= kLargestUsedDimension) {
      std::vector<float> v(*dim, 0.5f);
      (void)db.search(name, v, 5);
      const nlohmann::json doc = {{"k", 1}};
      (void)db.insert(name, std::string("fuzz"), v, &doc);
      (void)db.insert(name, std::nullopt, v);
      (void)db.remove(name, "fuzz");
      (void)db.search(name, v, 100);
    } else {
      std::vector<float> v(3, 0.5f);
      FUZZ_CHECK(!db.search(name, v, 5).has_value());
    }
    auto count = db.count(name);
    FUZZ_CHECK(count.has_value());
    counts[name] = *count;
  }
  return counts;
}

std::map<std::string, std::uint64_t> counts_of(engine::Database& db) {
  std::map<std::string, std::uint64_t> counts;
  for (const std::string& name : db.list_collections()) {
    auto count = db.count(name);
    FUZZ_CHECK(count.has_value());
    counts[name] = *count;
  }
  return counts;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  storage::thread_random_seed_for_testing(0x09e9);
  fuzz::FuzzInput in(data, size);
  const std::uint8_t control = in.u8();
  const auto db_part = in.take(in.u32());
  const std::vector<std::uint8_t> db_bytes(db_part.begin(), db_part.end());
  const auto log_part = in.rest();
  std::vector<std::uint8_t> log(log_part.begin(), log_part.end());
  fix_frames(log, control);
  const bool with_log = control & 1;

  scratch().clear();
  const std::string path = scratch().path() + "/fuzz.db";
  const std::string wal_path = path + "-wal";
  fuzz::write_file(path, db_bytes);
  if (with_log) fuzz::write_file(wal_path, log);

  // Neither magic: not ours. A format-2 magic picks that format's rules,
  // which may refuse it otherwise (an unsupported version, say).
  const bool foreign = !db_bytes.empty() && !storage::has_v2_magic(db_bytes) &&
                       (db_bytes.size() < storage::kMagic.size() ||
                        !std::equal(storage::kMagic.begin(), storage::kMagic.end(),
                                    db_bytes.begin()));
  auto opened = engine::Database::open(path, unsynced());
  if (foreign) {
    FUZZ_CHECK(!opened.has_value());
    FUZZ_CHECK(opened.error().to_string().starts_with("Storage error: Invalid database file: "));
    FUZZ_CHECK(fuzz::read_file(path) == db_bytes);
    FUZZ_CHECK(storage::path_exists(wal_path) == with_log);
    if (with_log) FUZZ_CHECK(fuzz::read_file(wal_path) == log);
    return 0;
  }
  if (!opened) {
    FUZZ_CHECK(!opened.error().to_string().empty());
    return 0;
  }
  const auto counts = exercise(**opened);
  FUZZ_CHECK(counts == counts_of(**opened));
  FUZZ_CHECK((*opened)->close().has_value());
  opened->reset();
  // Pages are only added one by one: the new collection's three, and the
  // pages that records without them get at open (at most three each).
  const std::uint64_t pages = (db_bytes.size() + kPageSize - 1) / kPageSize;
  FUZZ_CHECK(std::filesystem::file_size(path) <= (pages + 4 + 3 * counts.size()) * kPageSize);

  auto again = engine::Database::open(path, unsynced());
  FUZZ_CHECK(again.has_value());
  FUZZ_CHECK(counts_of(**again) == counts);
  FUZZ_CHECK((*again)->close().has_value());
  return 0;
}
