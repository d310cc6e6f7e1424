// Whole-file open: a database file (and optionally a log beside it) from the
// fuzzer's bytes, opened, used, closed, and opened again.
// Input: u8 control, u32 database length, the database bytes, then the log
// bytes. Control bit 0: the log is written beside the database; bits 1..3:
// how many leading frames get checksums matching the log header's salts;
// bit 4: they form one whole call.
#include <nlohmann/json.hpp>

#include "fuzz/fuzz_support.h"
#include "storage/v2_header.h"

using namespace orvane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  storage::thread_random_seed_for_testing(0x09e9);
  fuzz::FuzzInput in{{data, size}};
  const std::uint8_t control = in.u8();
  const auto db_part = in.take(in.u32());
  const fuzz::Bytes bytes(db_part.begin(), db_part.end());
  fuzz::Bytes log(in.left.begin(), in.left.end());
  fuzz::seal_frames(log, (control >> 1) & 7, control & 16);
  const bool with_log = control & 1;
  const std::string path = fuzz::scratch_db(), wal_path = path + "-wal";
  fuzz::write_file(path, bytes);
  if (with_log) fuzz::write_file(wal_path, log);

  // Neither magic: not ours. A format-2 magic picks that format's rules,
  // which may refuse it otherwise (an unsupported version, say).
  const bool foreign = !bytes.empty() && !storage::has_v2_magic(bytes) && !fuzz::has_magic(bytes);
  auto opened = engine::Database::open(path, fuzz::kUnsynced);
  if (foreign) {
    FUZZ_CHECK(!opened &&
               opened.error().to_string().starts_with("Storage error: Invalid database file: "));
    FUZZ_CHECK(fuzz::read_file(path) == bytes && storage::path_exists(wal_path) == with_log);
    FUZZ_CHECK(!with_log || fuzz::read_file(wal_path) == log);
    return 0;
  }
  FUZZ_CHECK(opened || !opened.error().to_string().empty());
  if (!opened) return 0;

  // A new collection, unless the catalog is full; then every collection used
  // once, which leaves the others' counts alone.
  engine::Database& db = **opened;
  if (db.create_collection("fuzz-new", 2, "dot")) {
    FUZZ_CHECK(db.insert("fuzz-new", std::string("n"), std::vector<float>{1.0f, -1.0f}));
  }
  fuzz::Counts counts;
  for (const std::string& name : db.list_collections()) {
    const std::uint64_t dim = db.get_collection(name).value();
    if (dim <= 4096) {
      const std::vector<float> v(dim, 0.5f);
      const nlohmann::json doc = {{"k", 1}};
      (void)db.search(name, v, 5);
      (void)db.insert(name, std::string("fuzz"), v, &doc);
      (void)db.insert(name, std::nullopt, v);
      (void)db.remove(name, "fuzz");
      (void)db.search(name, v, 100);
    } else {  // no vector that large is built; a short query is refused
      FUZZ_CHECK(!db.search(name, std::vector<float>(3, 0.5f), 5).has_value());
    }
    counts[name] = fuzz::counts_of(db).at(name);
  }
  FUZZ_CHECK(counts == fuzz::counts_of(db));
  FUZZ_CHECK(db.close().has_value());
  opened->reset();
  // Pages are only added one by one: the new collection's three, and the
  // pages that records without them get at open (at most three each).
  const std::uint64_t pages = (bytes.size() + fuzz::kPageSize - 1) / fuzz::kPageSize;
  FUZZ_CHECK(std::filesystem::file_size(path) <= (pages + 4 + 3 * counts.size()) * fuzz::kPageSize);
  fuzz::check_reopens(path, counts);
  return 0;
}
