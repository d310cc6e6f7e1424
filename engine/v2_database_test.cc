// Format-2 databases through the engine's API: round trips across reopen,
// damaged files, and batch search with filters, threads and ef, before and
// after a reopen (index and filter columns rebuilt from the file): Flat gives
// exactly the brute-force answer, HNSW a recall@10 of at least 0.95. A delete
// by filter and ids takes exactly their union; list_ids follows slot order.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "engine/filter.h"
#include "engine/test_support.h"
#include "index/distance.h"
#include "storage/coding.h"

namespace orvane::engine {
namespace {

TEST(V2Database, RoundTripsAnyDimensionIdAndMetadataLength) {
  struct Case {
    std::uint64_t dim, id_length, metadata_length;
    const char* index;
  };
  for (const Case c : {Case{1, 1, 0, "flat"}, Case{3, 0, 2, "flat"}, Case{128, 9, 20, "hnsw"},
                       Case{1536, 40, 5000, "flat"}, Case{4096, 65536, 65536, "hnsw"}}) {
    SCOPED_TRACE(c.dim);
    const auto vectors = random_vectors(7, c.dim, static_cast<std::uint32_t>(c.dim));
    std::vector<std::string> ids;
    std::vector<std::optional<std::string>> metadata(7);
    for (std::uint64_t i = 0; i < 7; ++i) {
      ids.push_back(std::string(c.id_length, 'a') + std::to_string(i));
      if (c.metadata_length != 0 && i != 3) {
        metadata[i] = "\"" + std::string(c.metadata_length, static_cast<char>('a' + i)) + "\"";
      }
    }
    Scratch f(FileFormat::V2);
    EXPECT_EQ(f.db->format(), FileFormat::V2);
    ASSERT_TRUE(f.db->create_collection("c", c.dim, "Euclidean", IndexSpec{.type = c.index}));
    EXPECT_EQ(f.db->add("c", vectors, 7, ids, metadata, WriteMode::Add), ids);
    f.reopen();
    EXPECT_EQ(f.db->collection_info("c")->index.type, c.index);
    const auto got = f.db->get("c", ids, true).value();
    EXPECT_EQ(got.ids, ids);
    EXPECT_EQ(got.vectors, vectors);
    EXPECT_EQ(got.metadata, metadata);
    ASSERT_TRUE(f.db->delete_collection("c"));
    ASSERT_TRUE(f.db->create_collection("c", 3, "dot", IndexSpec{.type = "flat"}));
    EXPECT_EQ(f.db->get_collection("c").value(), 3u);
  }
}

// Damage that open must refuse, leaving the file as it was and creating no log.
TEST(V2Database, DamagedFilesAreRefusedWithoutAWrite) {
  Scratch f(FileFormat::V2);
  ASSERT_TRUE(f.db->create_collection("c", 2, "Cosine", IndexSpec{.type = "flat"}));
  ASSERT_TRUE(f.db->add("c", random_vectors(300, 2, 3), 300, {}, {}, WriteMode::Add));
  f.db.reset();
  const auto bytes = read_file(f.path);
  // The header names the catalog's root directory; its first entry (at 32)
  // the catalog's data page, whose first entry holds the collection's slots
  // stream root at 8.
  const auto u64 = [&](std::size_t at) { return storage::get_u64(&bytes[at]); };
  const std::uint64_t catalog_dir = u64(32) * 4096, catalog_data = u64(catalog_dir + 32) * 4096;
  // Bytes put at an offset (width 4 or 8), or the file cut there (width 0).
  const std::tuple<std::size_t, std::uint64_t, int> cases[] = {
      {catalog_dir, 0, 4},             // catalog directory kind
      {catalog_data, 7, 4},            // catalog entry length
      {catalog_data + 8, 1000, 8},     // slots root past the end
      {catalog_data + 8, u64(32), 8},  // slots root is the catalog's directory
      {bytes.size() - 4096, 0, 0},     // file cut short
      {27, 0, 0},                      // file cut inside its header page
  };
  for (const auto& [offset, value, width] : cases) {
    SCOPED_TRACE(offset);
    auto damaged = bytes;
    if (width == 0) damaged.resize(offset);
    if (width == 4) storage::put_u32(&damaged[offset], static_cast<std::uint32_t>(value));
    if (width == 8) storage::put_u64(&damaged[offset], value);
    write_file(f.path, damaged);
    const std::string error = open_error(f.path);
    EXPECT_NE(error.find("Invalid database file"), std::string::npos) << error;
    EXPECT_EQ(read_file(f.path), damaged);
    EXPECT_FALSE(file_exists(f.path + "-wal"));
  }
}

constexpr std::uint64_t kRows = 3000, kDim = 16, kK = 10, kQueries = 50;

std::string id_of(std::uint64_t i) { return "v" + std::to_string(i); }

// Collections "flat" and "hnsw" of the same rows: rows i % 17 == 0 deleted,
// rows i % 23 == 0 upserted again (new slot); row i has tag i % 10, g i % 100.
TEST(V2Search, FilteredBatchesMatchBruteForce) {
  struct Case {
    const char* index;
    const char* filter;  // null: no filter
    bool (*matches)(std::uint64_t i);
    std::uint32_t threads, ef;
  };
  const Case cases[] = {
      {"flat", nullptr, [](auto) { return true; }, 1, 0},
      {"flat", R"({"$or":[{"g":{"$lt":2}},{"tag":{"$in":[7]}}]})",
       [](auto i) { return i % 100 < 2 || i % 10 == 7; }, 0, 0},
      {"flat", R"({"tag":42})", [](auto) { return false; }, 2, 0},
      {"hnsw", nullptr, [](auto) { return true; }, 2, 0},
      // A small ef makes the walk cheaper than a scan of 90 %: the filtered walk.
      {"hnsw", R"({"tag":{"$ne":3}})", [](auto i) { return i % 10 != 3; }, 0, 24},
      {"hnsw", R"({"g":{"$in":[5,6]}})", [](auto i) { return i % 100 == 5 || i % 100 == 6; }, 2, 0},
  };
  const auto vectors = random_vectors(kRows, kDim, 1), queries = random_vectors(kQueries, kDim, 2);
  auto row = [&](std::uint64_t i) { return std::span(vectors).subspan(i * kDim, kDim); };
  std::vector<std::string> ids, gone, again;
  std::vector<std::optional<std::string>> metadata, again_metadata;
  std::vector<float> again_vectors;
  for (std::uint64_t i = 0; i < kRows; ++i) {
    ids.push_back(id_of(i));
    metadata.push_back(R"({"tag":)" + std::to_string(i % 10) + R"(,"g":)" +
                       std::to_string(i % 100) + "}");
    if (i % 17 == 0) gone.push_back(ids[i]);
    if (i % 23 == 0 && i % 17 != 0) {
      again.push_back(ids[i]);
      again_vectors.insert(again_vectors.end(), row(i).begin(), row(i).end());
      again_metadata.push_back(metadata[i]);
    }
  }
  Scratch f(FileFormat::V2);
  for (const char* index : {"flat", "hnsw"}) {
    IndexSpec options{.type = index};
    options.ef_construction = 64;
    ASSERT_TRUE(f.db->create_collection(index, kDim, "Euclidean", options));
    ASSERT_TRUE(f.db->add(index, vectors, kRows, ids, metadata, WriteMode::Add));
    ASSERT_EQ(f.db->remove_batch(index, gone, nullptr).value(), gone.size());
    ASSERT_TRUE(
        f.db->add(index, again_vectors, again.size(), again, again_metadata, WriteMode::Upsert));
  }
  for (int pass = 0; pass < 2; ++pass, f.reopen()) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.index) + " " + (c.filter ? c.filter : "no filter"));
      std::optional<Filter> filter;
      if (c.filter) filter = Filter::parse(c.filter).value();
      const auto found = f.db->search_batch(c.index, queries, kQueries, kK,
                                            filter ? &*filter : nullptr, c.ef, c.threads, true)
                             .value();
      std::size_t hits = 0, total = 0;
      for (std::uint64_t q = 0; q < kQueries; ++q) {
        // Brute force over the live rows the filter allows.
        std::vector<std::pair<float, std::string>> truth;
        for (std::uint64_t i = 0; i < kRows; ++i) {
          if (i % 17 == 0 || !c.matches(i)) continue;
          truth.emplace_back(index::distance(index::DistanceMetric::Euclidean, &queries[q * kDim],
                                             row(i).data(), kDim),
                             id_of(i));
        }
        std::sort(truth.begin(), truth.end());
        truth.resize(std::min<std::size_t>(kK, truth.size()));
        ASSERT_EQ(found.counts[q], truth.size());
        total += truth.size();
        for (std::uint64_t r = 0; r < found.counts[q]; ++r) {
          const std::string& id = found.ids[q * found.k + r];
          hits +=
              std::count_if(truth.begin(), truth.end(), [&](auto& t) { return t.second == id; });
          EXPECT_EQ(found.metadata[q * found.k + r], metadata[std::stoull(id.substr(1))]);
          EXPECT_TRUE(std::string_view(c.index) == "hnsw" || id == truth[r].second);
        }
      }
      EXPECT_GE(hits, 0.95 * total) << "pass " << pass;
    }
  }
  // A delete by filter and ids takes their union, each once.
  const Case& c = cases[4];
  const std::vector<std::string> named = {id_of(1), id_of(3), id_of(3), "absent"};
  std::set<std::string> expected_gone = {id_of(1), id_of(3)};
  for (std::uint64_t i = 0; i < kRows; ++i) {
    if (i % 17 != 0 && c.matches(i)) expected_gone.insert(id_of(i));
  }
  const Filter filter = Filter::parse(c.filter).value();
  EXPECT_EQ(f.db->remove_batch(c.index, named, &filter).value(), expected_gone.size());
  const auto left = f.db->list_ids(c.index).value();
  EXPECT_EQ(left.size(), kRows - gone.size() - expected_gone.size());
  for (const std::string& id : left) EXPECT_FALSE(expected_gone.contains(id)) << id;
}

TEST(V2Search, ListIdsFollowsSlotOrder) {
  Scratch f(FileFormat::V2);
  ASSERT_TRUE(f.db->create_collection("c", 1, "Euclidean", IndexSpec{.type = "flat"}));
  const std::vector<std::string> first = {"a", "b", "c", "d"}, gone = {"b", "d"}, next = {"e"};
  ASSERT_TRUE(f.db->add("c", std::vector<float>(4), 4, first, {}, WriteMode::Add));
  ASSERT_TRUE(f.db->remove_batch("c", gone, nullptr));
  ASSERT_TRUE(f.db->add("c", std::vector<float>(1), 1, next, {}, WriteMode::Add));  // b's slot
  EXPECT_EQ(f.db->list_ids("c").value(), (std::vector<std::string>{"a", "e", "c"}));
}

}  // namespace
}  // namespace orvane::engine
