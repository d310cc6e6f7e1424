// Whole-file open of a format-2 database: the fuzzer's bytes with the format-2
// magic and a header checksum that matches, so the mutations reach the
// streams, the catalog, the slots, the heap and the graph snapshot.
#include "fuzz/fuzz_support.h"
#include "storage/crc32.h"
#include "storage/v2_header.h"

using namespace orvane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  storage::thread_random_seed_for_testing(0x0f2);
  fuzz::Bytes bytes(data, data + size);
  bytes.resize(std::max<std::size_t>(size, 64), 0);
  std::ranges::copy(storage::kV2Magic, bytes.begin());
  storage::put_u32(bytes.data() + 60, storage::crc32(std::span(bytes).first(60)));
  const std::string path = fuzz::scratch_db();
  fuzz::write_file(path, bytes);

  auto opened = engine::Database::open(path, fuzz::kUnsynced);
  if (!opened) {
    FUZZ_CHECK(!opened.error().to_string().empty() && fuzz::read_file(path) == bytes);
    FUZZ_CHECK(!storage::path_exists(path + "-wal"));
    return 0;
  }
  engine::Database& db = **opened;
  FUZZ_CHECK(db.format() == engine::FileFormat::V2);
  for (const std::string& name : db.list_collections()) {
    const engine::CollectionInfo info = db.collection_info(name).value();
    if (info.dimension > 4096) continue;
    const std::vector<float> v(info.dimension, 0.25f);
    const auto found = db.search_batch(name, v, 1, 5, nullptr, 0, 1, true).value();
    FUZZ_CHECK(found.counts.size() == 1 &&
               found.counts[0] <= std::min<std::uint64_t>(5, info.count));
    const std::vector<std::string> ids = {"fuzz-row"};
    const std::vector<std::optional<std::string>> meta = {std::string(R"({"k":1})")};
    db.add(name, v, 1, ids, meta, engine::WriteMode::Upsert).value();
    const auto got = db.get(name, ids, true).value();
    FUZZ_CHECK(got.ids == ids && got.vectors == v);
    FUZZ_CHECK(db.remove_batch(name, ids, nullptr).value() == 1);
  }
  const auto counts = fuzz::counts_of(db);
  FUZZ_CHECK(db.close().has_value());
  opened->reset();
  fuzz::check_reopens(path, counts);
  return 0;
}
