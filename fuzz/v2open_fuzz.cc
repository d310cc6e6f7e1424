// Whole-file open of a format-2 database: the fuzzer's bytes with the format-2
// magic and a header checksum that matches, so the mutations reach the
// streams, the catalog, the slots, the heap and the graph snapshot.
//
// Properties: an open that fails leaves the file as it was and creates no
// log; an open that succeeds gives collections that describe themselves,
// search, take a row, give it back and delete it, a close that succeeds, and
// a file that opens again with the same collections and counts.
#include <algorithm>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "engine/database.h"
#include "fuzz/fuzz_support.h"
#include "storage/coding.h"
#include "storage/crc32.h"
#include "storage/file.h"
#include "storage/random.h"
#include "storage/v2_header.h"

namespace {

using namespace orvane;

constexpr std::uint64_t kLargestUsedDimension = 4096;

fuzz::ScratchDir& scratch() {
  static fuzz::ScratchDir dir;
  return dir;
}

engine::OpenOptions unsynced() {
  engine::OpenOptions options;
  options.synchronous = engine::Synchronous::Off;
  options.new_file_format = engine::FileFormat::V2;
  return options;
}

std::map<std::string, std::uint64_t> counts_of(engine::Database& db) {
  std::map<std::string, std::uint64_t> counts;
  for (const std::string& name : db.list_collections()) {
    auto info = db.collection_info(name);
    FUZZ_CHECK(info.has_value());
    counts[name] = info->count;
  }
  return counts;
}

// Uses every collection once; returns the counts the calls leave.
void exercise(engine::Database& db) {
  for (const std::string& name : db.list_collections()) {
    auto info = db.collection_info(name);
    FUZZ_CHECK(info.has_value());
    if (info->dimension > kLargestUsedDimension) continue;
    const std::vector<float> v(info->dimension, 0.25f);
    auto found = db.search_batch(name, v, 1, 5, nullptr, 0, 1, true);
    FUZZ_CHECK(found.has_value());
    FUZZ_CHECK(found->counts.size() == 1 && found->counts[0] <= std::min<std::uint64_t>(5, info->count));
    const std::vector<std::string> ids = {"fuzz-row"};
    const std::vector<std::optional<std::string>> meta = {std::string(R"({"k":1})")};
    auto added = db.add(name, v, 1, ids, meta, engine::WriteMode::Upsert);
    FUZZ_CHECK(added.has_value());
    auto got = db.get(name, ids, true);
    FUZZ_CHECK(got.has_value() && got->ids == ids && got->vectors == v);
    auto removed = db.remove_batch(name, ids, nullptr);
    FUZZ_CHECK(removed.has_value() && *removed == 1);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  storage::thread_random_seed_for_testing(0x0f2);
  std::vector<std::uint8_t> bytes(data, data + size);
  if (bytes.size() < 64) bytes.resize(64, 0);
  std::copy(storage::kV2Magic.begin(), storage::kV2Magic.end(), bytes.begin());
  storage::put_u32(bytes.data() + 60, storage::crc32(std::span(bytes).first(60)));

  scratch().clear();
  const std::string path = scratch().path() + "/fuzz.db";
  fuzz::write_file(path, bytes);

  auto opened = engine::Database::open(path, unsynced());
  if (!opened) {
    FUZZ_CHECK(!opened.error().to_string().empty());
    FUZZ_CHECK(fuzz::read_file(path) == bytes);
    FUZZ_CHECK(!storage::path_exists(path + "-wal"));
    return 0;
  }
  FUZZ_CHECK((*opened)->format() == engine::FileFormat::V2);
  exercise(**opened);
  const auto counts = counts_of(**opened);
  FUZZ_CHECK((*opened)->close().has_value());
  opened->reset();

  auto again = engine::Database::open(path, unsynced());
  FUZZ_CHECK(again.has_value());
  FUZZ_CHECK(counts_of(**again) == counts);
  FUZZ_CHECK((*again)->close().has_value());
  return 0;
}
