// Loading collections from hand-written pages: replay order, malformed
// records, and collections whose stored configuration names the graph index.
#include "engine/collection.h"

#include <gtest/gtest.h>

#include "engine/id_counter.h"
#include "engine/test_support.h"
#include "storage/coding.h"

namespace orvane::engine {
namespace {

using V = std::vector<float>;
using Bytes = std::vector<std::uint8_t>;

// A database whose catalog page (1) names the given collection record, with
// `data` written into page 2 and `meta` into page 3 (2 zeroed pages follow).
Bytes file_with_pages(const std::string& record, const std::vector<Bytes>& data,
                      const std::vector<Bytes>& meta) {
  Bytes file = file_with_catalog({record}, 4);
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

TEST(CollectionReplay, MarkersHideOnlyEarlierRecordsAndLaterRecordsWin) {
  TestDir dir;
  const std::string path = dir.path("db");
  Bytes bad_utf8 = encode_vector_record("b", 20, V{9, 9});
  bad_utf8[4] = 0xFF;
  Bytes cut = encode_vector_record("t", 21, V{9, 9});
  cut.pop_back();
  write_file(path,
             file_with_pages(
                 kFlat,
                 {encode_vector_record("x", 5, V{1, 1}), encode_vector_record("y", 6, V{2, 2}),
                  encode_deletion_marker("x"), encode_vector_record("x", 7, V{3, 3}),
                  encode_vector_record("z", 8, V{1, 2, 3}),  // wrong length
                  bad_utf8, cut, Bytes{}, encode_vector_record("y", 6, V{4, 4}),
                  encode_deletion_marker("gone"), encode_vector_record("w", 9, V{5, 5}),
                  encode_deletion_marker("w"),
                  // q takes p's internal id: hiding q brings p back no more
                  encode_vector_record("p", 9, V{3, 3}), encode_vector_record("q", 9, V{3, 3}),
                  encode_deletion_marker("q")},
                 {encode_metadata_record("x", R"({"v":1})"), encode_deletion_marker("x"),
                  encode_metadata_record("y", R"("yy")"), encode_metadata_record("y", "not json"),
                  encode_metadata_record("w", "[1]")}));
  auto db = open_ok(path);
  ASSERT_TRUE(db);
  EXPECT_EQ(db->count("c"), 2u);
  auto r = db->search("c", V{3, 3}, 10);
  ASSERT_TRUE(r);
  ASSERT_EQ(ids_of(*r), (std::vector<std::string>{"x", "y"}));
  EXPECT_EQ((*r)[0].score, 0.0f);
  EXPECT_FALSE((*r)[0].metadata);  // its document was deleted before
  EXPECT_EQ((*r)[1].metadata, R"("yy")");
  const auto y = db->search("c", V{4, 4}, 1).value();  // the later record of y won
  ASSERT_EQ(ids_of(y), std::vector<std::string>{"y"});
  EXPECT_EQ(y[0].score, 0.0f);
  EXPECT_EQ(peek_id_counter(), 10002u);
}

// A record naming no edge page: every open allocates one (type 2), leaves the
// record as it was and rebuilds the graph by re-insertion. A record naming
// page 4: the snapshot written there at close is what the next open loads.
TEST(CollectionReplay, GraphIndexFromTheStoredConfiguration) {
  for (const std::uint64_t edge : {0, 4}) {
    SCOPED_TRACE(edge);
    TestDir dir;
    const std::string path = dir.path("db");
    const std::string record =
        R"({"name":"c","dimension":2,"distance":"Euclidean","description":"",)"
        R"("data_root_page":2,"metadata_root_page":3,"hnsw_edge_page":)" +
        std::to_string(edge) + R"(,"index_type":"hnsw"})";
    write_file(path, file_with_pages(record, {}, {}));  // pages 0 .. 5
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
    Bytes file = read_file(path);
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
      ASSERT_EQ(ids_of(after), ids_of(before));
      for (std::size_t i = 0; i < after.size(); ++i) EXPECT_EQ(after[i].score, before[i].score);
    }
    // Deletions write no snapshot: the stored one names nodes that are gone,
    // the entry point among them, and the collection still works after reopening.
    for (std::size_t i = 1; i < before.size(); ++i) ASSERT_TRUE(db->remove("c", before[i].id));
    db.reset();
    db = open_ok(path);
    EXPECT_EQ(ids_of(db->search("c", V{0, 0}).value()), std::vector<std::string>{"v5"});
    ASSERT_TRUE(db->insert("c", "new", V{0, 0}));
    EXPECT_EQ(db->search("c", V{0, 0}).value().front().id, "new");
  }
}

}  // namespace
}  // namespace orvane::engine
