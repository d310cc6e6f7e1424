// A collection loaded from its data, metadata and edge pages, searched,
// written to, and loaded again: the same count (for Flat, the same results).
// Input: u8 config (bit 0: "hnsw", bits 1..2: metric), u8 dimension (low 4
// bits), the three pages (4096 bytes each, zero-padded), then operations: u8
// op, u8 id length, id bytes (as letters a..d), `dimension` floats.
#include <cmath>

#include "engine/call_unit.h"
#include "engine/collection.h"
#include "engine/records.h"
#include "fuzz/fuzz_support.h"

using namespace orvane;
using fuzz::kPageSize;

// The ids of the vector records on a page; checks the record codecs' round
// trips on the way.
static std::set<std::string> stored_ids(std::span<const std::uint8_t> page) {
  std::set<std::string> ids;
  for (const auto& rec : fuzz::page_records(page)) {
    const auto marked = engine::decode_marker(rec);
    FUZZ_CHECK(!marked || (engine::encode_deletion_marker(*marked) == rec &&
                           !engine::decode_vector_record(rec)));
    if (auto v = engine::decode_vector_record(rec)) {
      const auto again = engine::encode_vector_record(v->id, v->internal_id, v->components);
      FUZZ_CHECK(again.size() <= rec.size() && std::equal(again.begin(), again.end(), rec.begin()));
      ids.insert(v->id);
    }
  }
  return ids;
}

// Every result of a search, as id -> the bits of its score.
static std::map<std::string, std::uint32_t> all_results(const engine::Collection& c,
                                                        std::span<const float> query, bool flat) {
  const auto found = c.search(query, 1000).value();
  std::map<std::string, std::uint32_t> out;
  for (std::size_t i = 0; i < found.size(); ++i) {
    const float score = found[i].score;
    FUZZ_CHECK(out.emplace(found[i].id, std::bit_cast<std::uint32_t>(score)).second);
    // Flat: ascending, NaN after every number.
    const float before = i == 0 ? -INFINITY : found[i - 1].score;
    FUZZ_CHECK(!flat || std::isnan(score) || (!std::isnan(before) && score >= before));
  }
  return out;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  storage::thread_random_seed_for_testing(0x5eed);
  fuzz::FuzzInput in{{data, size}};
  const std::uint8_t flags = in.u8();
  const std::uint64_t dimension = in.u8() & 0x0F;
  fuzz::Bytes db = fuzz::db_image(4);
  for (std::size_t p = 1; p <= 3; ++p) std::ranges::copy(in.take(kPageSize), &db[p * kPageSize]);
  const std::set<std::string> ids = stored_ids(std::span(db).subspan(kPageSize, kPageSize));
  auto cache = std::make_shared<storage::PageCache>("fuzz.db", fuzz::mem_file(std::move(db)));

  const bool hnsw = flags & 1;
  const auto metric = static_cast<index::DistanceMetric>(((flags >> 1) & 3) % 3);
  // Every page is given: loading allocates none, so both loads see the same config.
  engine::CollectionConfig config{.name = "c", .dimension = dimension, .distance = metric,
                                  .description = {}, .data_root_page = 1, .metadata_root_page = 2};
  if (hnsw) {
    config.index_type = "hnsw";
    config.hnsw_edge_page = 3;
  }
  const auto c = engine::Collection::materialise(config, cache).value();
  FUZZ_CHECK(c->live_count() <= ids.size());
  const std::vector<float> query(dimension, 0.5f);
  for (const auto& [id, score] : all_results(*c, query, !hnsw)) FUZZ_CHECK(ids.contains(id));

  // Writes, each one call unit logged to a fresh log in the scratch directory.
  storage::Wal wal(fuzz::scratch_db() + "-wal");
  wal.set_sync_level(storage::SyncLevel::Off);
  FUZZ_CHECK(wal.open().has_value());
  for (int op = 0; op < 8 && !in.left.empty(); ++op) {
    const std::uint8_t kind = in.u8();
    // Ids reach the engine as UTF-8 (the binding converts them); a few
    // letters are enough to collide with the ids on the pages.
    std::string id;
    for (std::uint8_t b : in.take(in.u8() % 8)) id.push_back(static_cast<char>('a' + b % 4));
    std::vector<float> vector(dimension);
    for (float& f : vector) f = in.f32();
    engine::CallUnit unit(*cache, wal);
    const nlohmann::json doc = {{"n", op}};
    const auto given_id = kind & 2 ? std::nullopt : std::optional{id};
    if (kind & 1) (void)c->remove(id, unit);
    if (!(kind & 1)) (void)c->insert(given_id, vector, kind & 4 ? &doc : nullptr, unit);
  }

  const auto reloaded = engine::Collection::materialise(config, cache).value();
  FUZZ_CHECK(reloaded->live_count() == c->live_count());
  if (!hnsw) FUZZ_CHECK(all_results(*c, query, true) == all_results(*reloaded, query, true));
  return 0;
}
