// Replay of a collection's vector data, metadata and edge pages, then a few
// writes and a second replay.
//
// Input: u8 config (bit 0: "hnsw" index, bits 1..2: metric), u8 dimension
// (low 4 bits), the vector data page, the metadata page and the edge page
// (4096 bytes each, zero-padded), then operations: u8 op, u8 id length, id
// bytes (as letters a..d), `dimension` floats.
//
// Properties: every record that decodes re-encodes to its own bytes; loading
// never fails on page content; a search returns at most top_k distinct ids,
// each of them stored on the data page; a Flat search is in ascending score
// (NaN last); after inserts and deletes, loading the pages again gives the
// same collection (same count, and for Flat the same scored results).
#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <memory>
#include <set>

#include "engine/call_unit.h"
#include "engine/collection.h"
#include "engine/records.h"
#include "fuzz/fuzz_support.h"
#include "storage/header_format.h"
#include "storage/mem_file.h"
#include "storage/page.h"
#include "storage/random.h"
#include "storage/wal.h"

namespace {

using namespace orvane;
using storage::kPageSize;

fuzz::ScratchDir& scratch() {
  static fuzz::ScratchDir dir;
  return dir;
}

// The round trips of the record codecs on every record of a page.
std::set<std::string> check_records(std::span<const std::uint8_t> page) {
  std::set<std::string> vector_ids;
  const std::uint16_t slots = storage::PageHeader::decode(page).slot_count;
  // A directory larger than the page yields no record (read_record's own rule).
  for (std::uint32_t s = 0; s < slots && 16 + 4 * slots <= page.size(); ++s) {
    const auto rec = storage::read_record(1, page, static_cast<std::uint16_t>(s));
    if (!rec) continue;
    if (auto id = engine::decode_marker(*rec)) {
      FUZZ_CHECK(engine::encode_deletion_marker(*id) == *rec);
      FUZZ_CHECK(!engine::decode_vector_record(*rec));
    }
    if (auto v = engine::decode_vector_record(*rec)) {
      const auto again = engine::encode_vector_record(v->id, v->internal_id, v->components);
      FUZZ_CHECK(again.size() <= rec->size());
      FUZZ_CHECK(std::memcmp(again.data(), rec->data(), again.size()) == 0);
      vector_ids.insert(v->id);
    }
  }
  return vector_ids;
}

struct Scored {
  std::string id;
  std::uint32_t score_bits;
  bool operator==(const Scored&) const = default;
  bool operator<(const Scored& o) const { return id < o.id; }
};

// All results of a search large enough to return every vector, by id.
std::vector<Scored> all_results(const engine::Collection& c, std::span<const float> query,
                                bool sorted_by_score) {
  auto found = c.search(query, 1000);
  FUZZ_CHECK(found.has_value());
  std::vector<Scored> out;
  std::set<std::string> seen;
  float previous = -INFINITY;
  bool seen_nan = false;
  for (const auto& r : *found) {
    FUZZ_CHECK(seen.insert(r.id).second);
    if (sorted_by_score) {
      // Ascending, NaN after every number.
      if (std::isnan(r.score)) {
        seen_nan = true;
      } else {
        FUZZ_CHECK(!seen_nan && r.score >= previous);
        previous = r.score;
      }
    }
    std::uint32_t bits;
    std::memcpy(&bits, &r.score, 4);
    out.push_back({r.id, bits});
  }
  std::sort(out.begin(), out.end());
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  storage::thread_random_seed_for_testing(0x5eed);
  fuzz::FuzzInput in(data, size);
  const std::uint8_t flags = in.u8();
  const std::uint64_t dimension = in.u8() & 0x0F;

  auto file = std::make_unique<storage::MemFile>();
  auto& bytes = *file->data();
  bytes.assign(4 * kPageSize, 0);
  storage::DatabaseHeader header = storage::DatabaseHeader::fresh(0);
  header.next_page_id = 4;
  header.encode(bytes.data());
  for (std::size_t p = 1; p <= 3; ++p) {
    const auto page = in.take_padded(kPageSize);
    std::copy(page.begin(), page.end(), bytes.begin() + p * kPageSize);
  }
  const std::set<std::string> stored_ids =
      check_records(std::span(bytes).subspan(kPageSize, kPageSize));
  auto cache = std::make_shared<storage::PageCache>("fuzz.db", std::move(file));

  engine::CollectionConfig config;
  config.name = "c";
  config.dimension = dimension;
  config.distance = static_cast<index::DistanceMetric>(((flags >> 1) & 3) % 3);
  config.data_root_page = 1;
  config.metadata_root_page = 2;
  const bool hnsw = flags & 1;
  if (hnsw) {
    config.index_type = "hnsw";
    config.hnsw_edge_page = 3;
  }
  engine::CollectionConfig loaded_config = config;
  auto loaded = engine::Collection::materialise(loaded_config, cache);
  FUZZ_CHECK(loaded.has_value());
  engine::Collection& c = **loaded;
  FUZZ_CHECK(c.live_count() <= stored_ids.size());

  std::vector<float> query(dimension, 0.5f);
  for (const Scored& r : all_results(c, query, !hnsw)) FUZZ_CHECK(stored_ids.contains(r.id));

  // Writes, each one call unit logged to a fresh log in the scratch directory.
  scratch().clear();
  storage::Wal wal(scratch().path() + "/fuzz.db-wal");
  wal.set_sync_level(storage::SyncLevel::Off);  // no time goes to fsync
  FUZZ_CHECK(wal.open().has_value());
  for (int op = 0; op < 8 && in.remaining() > 0; ++op) {
    const std::uint8_t kind = in.u8();
    // Ids reach the engine as UTF-8 (the binding converts them); a few
    // letters are enough to collide with the ids on the pages.
    std::string id;
    for (std::uint8_t b : in.take(in.u8() % 8)) id.push_back(static_cast<char>('a' + b % 4));
    std::vector<float> vector(dimension);
    for (float& f : vector) {
      const std::uint32_t v = in.u32();
      std::memcpy(&f, &v, 4);
    }
    engine::CallUnit unit(*cache, wal);
    if (kind & 1) {
      (void)c.remove(id, unit);
    } else {
      const nlohmann::json doc = {{"n", op}};
      (void)c.insert(kind & 2 ? std::optional<std::string>{} : std::optional{id}, vector,
                     kind & 4 ? &doc : nullptr, unit);
    }
  }

  engine::CollectionConfig reloaded_config = config;
  auto reloaded = engine::Collection::materialise(reloaded_config, cache);
  FUZZ_CHECK(reloaded.has_value());
  FUZZ_CHECK((*reloaded)->live_count() == c.live_count());
  if (!hnsw) FUZZ_CHECK(all_results(c, query, true) == all_results(**reloaded, query, true));
  return 0;
}
