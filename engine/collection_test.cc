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
// `data` written into page 2 and `meta` into page 3 (both typed; 2 spare pages follow).
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

TEST(CollectionReplay, GraphIndexFromTheStoredConfiguration) {
  TestDir dir;
  const std::string path = dir.path("db");
  const std::string record =
      R"({"name":"c","dimension":2,"distance":"Euclidean","description":"",)"
      R"("data_root_page":2,"metadata_root_page":3,"hnsw_edge_page":0,"index_type":"hnsw"})";
  Bytes file = file_with_pages(record, {}, {});
  file.resize(4 * storage::kPageSize);  // pages 0..3 only
  storage::put_u64(&file[24], 4);
  write_file(path, file);

  auto db = open_ok(path);
  ASSERT_TRUE(db);
  // The open allocated an edge page (type 2) and left the catalog record as
  // it was: the snapshot is rebuilt by re-insertion at the next open.
  Bytes now = read_file(path);
  ASSERT_EQ(now.size(), 5u * storage::kPageSize);
  EXPECT_EQ(page_of(now, 4), storage::new_page_image(2));
  EXPECT_EQ(record_text(page_of(now, 1), 0), record);
  EXPECT_EQ(storage::get_u16(&page_of(now, 1)[7]), 1u);

  // Few enough nodes for a snapshot of all their links to fit one page.
  for (int i = 0; i < 10; ++i) {
    // On a line, so that no two points lie at the same distance from the query.
    ASSERT_TRUE(db->insert("c", "v" + std::to_string(i), V{float(i), 0.5f * float(i)}));
  }
  ASSERT_TRUE(db->remove("c", "v3"));
  ASSERT_TRUE(db->insert("c", "v4", V{100, 100}));
  EXPECT_EQ(db->count("c"), 9u);
  const auto before = db->search("c", V{5.2f, 2.6f}, 9).value();
  ASSERT_EQ(before.size(), 9u);
  EXPECT_EQ(before[0].id, "v5");
  EXPECT_EQ(before.back().id, "v4");
  EXPECT_EQ(db->search("c", V{0, 0}, UINT64_MAX).value().size(), 9u);
  // The edge page holds a snapshot: header in slot 0 and one record per node.
  ASSERT_TRUE(db->close());
  EXPECT_EQ(storage::get_u16(&page_of(read_file(path), 4)[7]), 10u);
  EXPECT_EQ(storage::get_u16(&page_of(read_file(path), 1)[7]), 1u);

  for (int round = 0; round < 2; ++round) {
    db.reset();
    db = open_ok(path);
    ASSERT_TRUE(db);
    // Each open allocates another edge page; the record still names none.
    EXPECT_EQ(read_file(path).size(), (6u + round) * storage::kPageSize);
    EXPECT_EQ(db->count("c"), 9u);
    auto after = db->search("c", V{5.2f, 2.6f}, 9).value();
    ASSERT_EQ(after.size(), before.size());
    for (std::size_t i = 0; i < after.size(); ++i) {
      EXPECT_EQ(after[i].id, before[i].id) << i;
      EXPECT_EQ(after[i].score, before[i].score) << i;
    }
  }
}

TEST(CollectionReplay, GraphIndexWithItsOwnEdgePage) {
  TestDir dir;
  const std::string path = dir.path("db");
  write_file(path, file_with_pages(R"({"name":"c","dimension":2,"data_root_page":2,)"
                                   R"("metadata_root_page":3,"hnsw_edge_page":4,)"
                                   R"("index_type":"hnsw","distance":"Euclidean"})",
                                   {}, {}));
  auto db = open_ok(path);
  ASSERT_TRUE(db);
  for (int i = 0; i < 12; ++i) ASSERT_TRUE(db->insert("c", std::nullopt, V{float(i), 1}));
  const auto before = db->search("c", V{3, 1}, 5).value();
  db.reset();
  const Bytes file = read_file(path);
  EXPECT_EQ(file.size(), 6u * storage::kPageSize);
  EXPECT_EQ(page_of(file, 4)[0], 2);
  EXPECT_EQ(storage::get_u16(&page_of(file, 4)[7]), 13u);
  db = open_ok(path);
  ASSERT_TRUE(db);
  EXPECT_EQ(read_file(path).size(), 6u * storage::kPageSize);  // nothing allocated
  const auto after = db->search("c", V{3, 1}, 5).value();
  ASSERT_EQ(ids_of(after), ids_of(before));
  EXPECT_EQ(after[0].score, 0.0f);

  // Deletions write no snapshot: the stored one names nodes that are gone,
  // the entry point among them, and the collection still works after reopening.
  const auto all = db->search("c", V{0, 1}, 12).value();
  ASSERT_EQ(all.size(), 12u);
  for (std::size_t i = 1; i < all.size(); ++i) ASSERT_TRUE(db->remove("c", all[i].id));
  db.reset();
  db = open_ok(path);
  ASSERT_TRUE(db);
  EXPECT_EQ(ids_of(db->search("c", V{5, 1}).value()), std::vector<std::string>{all[0].id});
  ASSERT_TRUE(db->insert("c", "new", V{5, 1}));
  EXPECT_EQ(db->search("c", V{5, 1}).value().front().id, "new");
}

}  // namespace
}  // namespace orvane::engine
