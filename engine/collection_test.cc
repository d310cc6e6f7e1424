// Collections: loading hand-written pages (replay order, malformed records),
// and a call whose log write fails, which is not done: pages and memory are
// exactly as before it.
#include "engine/collection.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "engine/id_counter.h"
#include "engine/test_support.h"
#include "storage/coding.h"
#include "storage/mem_file.h"

namespace orvane::engine {
namespace {

using V = std::vector<float>;
using Bytes = std::vector<std::uint8_t>;

// A database whose catalog page (1) names the given collection record, with
// `data` written into page 2 and `meta` into page 3.
Bytes file_with_pages(const std::string& record, const std::vector<Bytes>& data,
                      const std::vector<Bytes>& meta) {
  Bytes file = file_with_catalog({record}, 2);
  for (auto [id, records, type] :
       {std::tuple{2, &data, std::uint8_t{1}}, std::tuple{3, &meta, std::uint8_t{3}}}) {
    Bytes page = storage::new_page_image(type);
    for (const Bytes& r : *records) EXPECT_TRUE(storage::append_to_page(page, r, std::nullopt));
    std::copy(page.begin(), page.end(), file.begin() + id * storage::kPageSize);
  }
  return file;
}

const char* kFlat =
    R"({"name":"c","dimension":2,"distance":"Euclidean","data_root_page":2,"metadata_root_page":3})";

// The rules for vector records are checked beside the tools' reading of the
// same pages (tests/python/test_convert.py); here the metadata page's.
TEST(CollectionReplay, MarkersHideOnlyEarlierRecordsAndLaterRecordsWin) {
  TestDir dir;
  const std::string path = dir.path("db");
  const std::vector<Bytes> data = {
      encode_vector_record("x", 5, V{1, 1}), encode_vector_record("y", 6, V{2, 2}),
      encode_deletion_marker("x"), encode_vector_record("x", 7, V{3, 3}),
      encode_vector_record("y", 6, V{4, 4})};
  const std::vector<Bytes> meta = {
      encode_metadata_record("x", R"({"v":1})"), encode_deletion_marker("x"),
      encode_metadata_record("y", R"("yy")"), encode_metadata_record("y", "not json"),
      encode_metadata_record("w", "[1]")};
  write_file(path, file_with_pages(kFlat, data, meta));
  auto db = open_ok(path);
  EXPECT_EQ(db->count("c"), 2u);
  // y's later record won; x's document was deleted before its last record.
  EXPECT_EQ(hit_texts(db->search("c", V{4, 4}, 10).value()),
            (std::vector<std::string>{R"(y 0.000000 "yy")", "x 1.414214 -"}));
  EXPECT_EQ(peek_id_counter(), 10002u);
}

// The edge page, named by the record or not (then each open allocates one the
// record never names), holds the graph across reopens.
TEST(CollectionReplay, GraphIndexFromTheStoredConfiguration) {
  for (const std::uint64_t edge : {0, 4}) {
    SCOPED_TRACE(edge);
    TestDir dir;
    const std::string path = dir.path("db");
    const std::string record =
        R"({"name":"c","dimension":2,"distance":"Euclidean","description":"",)"
        R"("data_root_page":2,"metadata_root_page":3,"hnsw_edge_page":)" +
        std::to_string(edge) + R"(,"index_type":"hnsw"})";
    Bytes file = file_with_pages(record, {}, {});
    file.resize(6 * storage::kPageSize);  // pages 0 .. 5
    storage::put_u64(&file[24], 6);
    write_file(path, file);
    const std::uint64_t edge_page = edge != 0 ? edge : 6;
    auto db = open_ok(path);
    ASSERT_TRUE(db);
    // On a line, so that no two points lie at the same distance from a query.
    for (int i = 0; i < 10; ++i) {
      ASSERT_TRUE(db->insert("c", "v" + std::to_string(i), V{float(i), 0.5f * float(i)}));
    }
    ASSERT_TRUE(db->remove("c", "v3"));
    ASSERT_TRUE(db->insert("c", "v4", V{100, 100}));
    const auto before = db->search("c", V{5.2f, 2.6f}, 9).value();
    ASSERT_EQ(before.size(), 9u);
    EXPECT_EQ(before[0].id, "v5");
    EXPECT_EQ(before.back().id, "v4");
    ASSERT_TRUE(db->close());
    file = read_file(path);
    EXPECT_EQ(page_of(file, edge_page)[0], 2);
    // The snapshot: a header in slot 0 and one record per node.
    EXPECT_EQ(storage::get_u16(&page_of(file, edge_page)[7]), 10u);
    EXPECT_EQ(record_text(page_of(file, 1), 0), record);
    EXPECT_EQ(storage::get_u16(&page_of(file, 1)[7]), 1u);
    for (std::uint64_t round = 1; round <= 2; ++round) {
      db.reset();
      db = open_ok(path);
      EXPECT_EQ(read_file(path).size(), (edge != 0 ? 6 : 7 + round) * storage::kPageSize);
      const auto after = db->search("c", V{5.2f, 2.6f}, 9).value();
      EXPECT_EQ(hit_texts(after), hit_texts(before));
    }
  }
}

TEST(CollectionReplay, ADeletedIdStaysDeletedAtDimensionZero) {
  TestDir dir;
  auto db = open_ok(dir.path("db"));
  ASSERT_TRUE(db->create_collection("z", 0, std::nullopt));
  for (int round = 0; round < 3; ++round) {
    ASSERT_TRUE(db->insert("z", "e", V{}));
    if (round < 2) {
      ASSERT_TRUE(db->remove("z", "e"));
    }
  }
  EXPECT_EQ(db->list_ids("z").value(), std::vector<std::string>{"e"});
}

TEST(CollectionWrite, FailedLogWriteUndoesTheCall) {
  Scratch f;
  ASSERT_TRUE(f.db->create_collection("c", 2, "euclidean"));
  const auto doc = nlohmann::json{{"k", 1}}, other = nlohmann::json{{"k", 2}};
  ASSERT_TRUE(f.db->insert("c", "a", V{1, 1}, &doc));
  ASSERT_TRUE(f.db->insert("c", "b", V{2, 2}));
  f.db.reset();
  // The collection opened by hand over the file, with a log whose writes fail.
  auto cache = std::make_shared<storage::PageCache>(
      f.path, *storage::PosixFile::open(f.path, storage::OpenMode::ReadWrite));
  storage::Wal wal(storage::wal_path_for(f.path));
  ASSERT_TRUE(wal.open());
  storage::FaultyFile* log = storage::wrap_log_file(wal);
  auto c = Collection::materialise(read_catalog(*cache, 3).value().at(0), cache).value();
  auto page = [&](storage::PageId id) {
    auto p = cache->fetch_page(id);
    return Bytes(std::as_const(**p).bytes().begin(), std::as_const(**p).bytes().end());
  };
  auto all = [&] { return hit_texts(c->search(V{0, 0}, 10).value()); };
  const auto before = all();
  ASSERT_EQ(before.size(), 2u);
  const Bytes data = page(1), meta = page(2);
  log->fail_all_writes(true);
  auto refused = [&](auto&& call) {
    CallUnit unit(*cache, wal);
    return call(unit).error().to_string();
  };
  const std::string eio = "Storage error: I/O error: Input/output error (os error 5)";
  EXPECT_EQ(refused([&](CallUnit& u) { return c->insert("new", V{0, 0}, nullptr, u); }), eio);
  EXPECT_EQ(refused([&](CallUnit& u) { return c->insert("a", V{0, 0}, &other, u); }), eio);
  EXPECT_EQ(refused([&](CallUnit& u) { return c->insert(std::nullopt, V{0, 0}, &other, u); }), eio);
  EXPECT_EQ(refused([&](CallUnit& u) { return c->remove("b", u); }), eio);
  {
    CallUnit unit(*cache, wal);
    EXPECT_TRUE(c->remove("nobody", unit));  // only a best-effort marker was lost
  }
  EXPECT_EQ(all(), before);
  EXPECT_EQ(page(1), data);
  EXPECT_EQ(page(2), meta);

  log->fail_all_writes(false);
  CallUnit unit(*cache, wal);
  ASSERT_TRUE(c->insert("a", V{0, 0}, &other, unit));
  EXPECT_EQ(all().front(), R"(a 0.000000 {"k":2})");
}

}  // namespace
}  // namespace orvane::engine
