// Opening a classic file: a new file's bytes, stale logs, foreign, damaged
// and cut files and logs, collection pages checked before anything is
// written, and catalog records whose data or metadata page field is 0 (the
// open allocates the pages, and what is written to them must be found again).
#include <gtest/gtest.h>

#include <algorithm>

#include "engine/errors.h"
#include "engine/records.h"
#include "engine/test_support.h"
#include "storage/coding.h"
#include "storage/file.h"
#include "storage/wal_format.h"

namespace orvane::engine {
namespace {

using storage::get_u16;
using storage::get_u64;
using Bytes = std::vector<std::uint8_t>;
using V = std::vector<float>;

Bytes first(const Bytes& b, std::size_t n) { return Bytes(b.begin(), b.begin() + n); }

Bytes put(Bytes file, std::size_t at, const Bytes& bytes) {
  std::copy(bytes.begin(), bytes.end(), file.begin() + static_cast<std::ptrdiff_t>(at));
  return file;
}

// A stale log beside a missing or empty file is deleted, not replayed.
TEST(DatabaseOpen, NewFileBytesAndLog) {
  TestDir dir;
  auto other = open_ok(dir.path("other.db"));
  ASSERT_TRUE(other->create_collection("old", 2, std::nullopt));
  ASSERT_TRUE(other->insert("old", "x", V{1, 2}));
  const Bytes stale_log = read_file(dir.path("other.db-wal"));
  ASSERT_GT(stale_log.size(), 32u);  // holds frames
  for (const int beside : {0, 1, 2}) {  // nothing, a stale log, a stale log and an empty file
    const std::string path = dir.path("new" + std::to_string(beside));
    if (beside == 2) write_file(path, {});
    if (beside != 0) write_file(path + "-wal", stale_log);
    const std::uint64_t before = storage::wall_clock_seconds();
    auto db = open_ok(path);
    const std::uint64_t after = storage::wall_clock_seconds();
    EXPECT_TRUE(db->list_collections().empty());
    const Bytes file = read_file(path);
    ASSERT_EQ(file.size(), 4096u);
    // Magic, version 1, page size, next page 1, no catalog, no freelist, creation time.
    const std::string head("Kestrum v1\0\0\0\0\0\0\1\0\0\0\0\x10\0\0\1", 25);
    const Bytes want = put(Bytes(4096), 0, bytes_of(head));
    EXPECT_GE(get_u64(&file[48]), before);
    EXPECT_LE(get_u64(&file[48]), after);
    EXPECT_EQ(put(want, 48, Bytes(file.begin() + 48, file.begin() + 56)), file);
    EXPECT_EQ(read_file(path + "-wal").size(), 32u);  // a header only

    db.reset();  // release: close steps, the log goes
    EXPECT_FALSE(file_exists(path + "-wal"));
    EXPECT_EQ(read_file(path), file);
  }
}

TEST(DatabaseOpen, UnwrittenPagesAndRepeatedNamesAreAccepted) {
  TestDir dir;
  const std::string path = dir.path("db");
  // Pages 2 and 3 were never written (all zero); the first record of "a" is
  // superseded by the second, so its overlapping page does not count.
  write_file(path, file_with_catalog({R"({"name":"a","dimension":1,"data_root_page":3})",
                                      R"({"name":"a","dimension":2,"data_root_page":2,)"
                                      R"("metadata_root_page":3})"},
                                     2));
  auto db = open_ok(path);
  EXPECT_EQ(db->list_collections(), std::vector<std::string>{"a"});
  EXPECT_EQ(db->get_collection("a"), 2u);
  ASSERT_TRUE(db->insert("a", "v", V{1, 2}));
  ASSERT_TRUE(db->close());
  const Bytes page = page_of(read_file(path), 2);
  EXPECT_EQ(page[0], 0);                    // the type byte stays as it was
  EXPECT_EQ(get_u16(&page[5]), 1040 + 25);  // appended from 1040 on
  EXPECT_EQ(get_u16(&page[7]), 1);
  EXPECT_EQ(get_u16(&page[16]), 1040);
  EXPECT_EQ(read_file(path).size(), 4u * 4096);  // nothing allocated
}

// The first `from` in the file's bytes replaced by `to`, of the same length.
Bytes edit(Bytes file, std::string_view from, std::string_view to) {
  auto at = std::search(file.begin(), file.end(), from.begin(), from.end());
  EXPECT_NE(at, file.end()) << from;
  if (at != file.end()) std::copy(to.begin(), to.end(), at);
  return file;
}

// A closed database: "docs" (Euclidean, dimension 3) on pages 1 (vectors), 2
// (metadata) and 3 (catalog); vector i of a, b, c is [i, 1, 2].
Bytes sound_file(const std::string& path) {
  auto db = open_ok(path);
  EXPECT_TRUE(db->create_collection("docs", 3, "euclidean"));
  for (char id : {'a', 'b', 'c'}) EXPECT_TRUE(db->insert("docs", {{id}}, V{float(id - 'a'), 1, 2}));
  db.reset();
  return read_file(path);
}

// The ids "docs" holds, sorted and joined ("-": no collection).
std::string ids_in(const std::string& path) {
  auto db = open_ok(path);
  if (!db || db->list_collections().empty()) return "-";
  const auto hits = db->search("docs", V{0, 1, 2}, 100).value();
  std::string out;
  for (const auto& hit : hits) out += hit.id;
  std::sort(out.begin(), out.end());
  return out;
}

// Foreign, cut or damaged files (collection pages are checked before anything
// is written) and odd logs beside a sound one: each open fails with its text
// and changes nothing, or opens and finds exactly `ids`.
TEST(DatabaseOpen, HostileFilesAndLogs) {
  TestDir dir;
  const Bytes sound = sound_file(dir.path("sound.db"));
  Bytes png = bytes_of("\x89PNG\r\n\x1a\n"), noise(3 * storage::kPageSize);
  png.resize(208);
  std::mt19937 rng(15);
  for (auto& b : noise) b = static_cast<std::uint8_t>(rng());
  Bytes data_page = storage::new_page_image(1);
  ASSERT_TRUE(storage::append_to_page(data_page, encode_vector_record("w", 9, V{0, 1, 2}), {}));
  // A log header of ours; after it, one whole committed frame of `data_page`.
  const auto h = storage::encode_wal_header(storage::kPageSize, 0, 1, 2);
  const auto fh = storage::encode_frame_header(1, storage::kFrameTagCommit, 1, 2, data_page);
  const Bytes header(h.begin(), h.end());
  Bytes framed = header;
  framed.insert(framed.end(), fh.begin(), fh.end());
  framed.insert(framed.end(), data_page.begin(), data_page.end());
  Bytes other_version = put(header, 4, {2});
  other_version.resize(132);
  const std::string bad = "Storage error: Invalid database file: ";
  const std::string magic = bad + "wrong magic bytes", ragged = " is not a whole number of pages";
  const std::string short_log = "Failed to open WAL: I/O error: failed to fill whole buffer";
  const std::string past = " lies past the end of the file (";
  const Bytes flat_past = edit(sound, R"("hnsw_edge_page":0,)", R"("hnsw_edge_page":9,)");
  const Bytes graph_past = edit(flat_past, "\"flat\"", "\"hnsw\""),
              far = put(sound, 32, Bytes(8, 0xFF));
  // Catalog page 1 holding `records` (after {"name":"), pages 2 and 3 zero; page `typed` of `type`.
  auto catalog = [](std::vector<std::string> records, std::uint64_t typed = 0,
                    std::uint8_t type = 0) {
    for (auto& r : records) r = R"({"name":")" + r + "}";
    Bytes file = file_with_catalog(records, 2);
    if (typed != 0) file[typed * storage::kPageSize] = type;
    return file;
  };
  const std::string a = R"(a","dimension":1,"data_root_page":)", used = " is already used by ";
  const std::optional<Bytes> none;
  struct Case {
    const char* what;
    Bytes file;
    std::optional<Bytes> log = {};          // beside it
    std::string error = "", ids = "abc";  // the open's error, else what docs holds
  };
  const Case cases[] = {
      {"png", png, none, magic},
      {"zero page", Bytes(storage::kPageSize), none, magic},
      {"noise, a log beside", noise, framed, magic},
      {"cut to 10", first(sound, 10), none, magic},
      {"cut to 100", first(sound, 100), none, bad + "file length 100" + ragged},
      {"cut to 2 pages", first(sound, 8192), none, bad + "catalog page 3" + past + "8192 bytes)"},
      {"cut in a page", first(sound, 12305), none, bad + "file length 12305" + ragged},
      {"catalog", far, none, bad + "catalog page 18446744073709551615" + past + "16384 bytes)"},
      {"page size", put(sound, 20, {0, 0x20}), none, bad + "page size 8192 is not 4096"},
      {"version", put(sound, 16, {2}), none, "Storage error: Unsupported format version: 2"},
      {"catalog record", edit(sound, "{\"name\"", "x\"name\""), none, "", "-"},
      {"slot count", put(sound, 4096 + 7, {0xFF, 0xFF}), none, "", ""},
      {"data page past the end", catalog({a + "9,\"metadata_root_page\":3"}), none,
       bad + "collection a: data_root_page 9" + past + "16384 bytes)"},
      {"data page is the catalog", catalog({a + "1"}), none,
       bad + "collection a: data_root_page 1" + used + "the catalog"},
      {"data page shared",
       catalog({a + "2,\"metadata_root_page\":3", R"(b","dimension":1,"data_root_page":3)"}), none,
       bad + "collection b: data_root_page 3" + used + "collection a"},
      {"metadata page is the data page", catalog({a + "2,\"metadata_root_page\":2"}), none,
       bad + "collection a: metadata_root_page 2" + used + "collection a"},
      {"data page type", catalog({a + "2,\"metadata_root_page\":3"}, 2, 3), none,
       bad + "collection a: data_root_page 2 has page type 3"},
      {"edge page type",
       catalog({R"(a","dimension":1,"index_type":"hnsw","hnsw_edge_page":3)"}, 3, 1), none,
       bad + "collection a: hnsw_edge_page 3 has page type 1"},
      {"catalog page type", catalog({R"(a","dimension":1)"}, 1, 1), none,
       bad + "catalog page 1 has page type 1"},
      {"edge page past the end, flat", flat_past},
      {"edge page past the end, graph", graph_past, none, "I/O error: failed to fill whole buffer"},
      {"empty log", sound, Bytes{}},
      {"31-byte log", sound, first(header, 31), short_log},
      {"header-only log", sound, header},
      {"header-sized foreign log", sound, first(png, 32),
       "Failed to open WAL: WAL corrupted: Invalid WAL magic: 0x474E5089"},
      {"log without a whole frame", sound, first(framed, 100)},
      {"longer foreign log", sound, first(noise, 5000)},
      {"log of another version", sound, other_version},
      {"whole frame", sound, framed, "", "w"}};
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path = dir.path("h" + std::to_string(n++)), log = path + "-wal";
    write_file(path, c.file);
    if (c.log) write_file(log, *c.log);
    if (!c.error.empty()) {
      EXPECT_EQ(open_error(path), c.error);
      EXPECT_EQ(read_file(path), c.file);
      EXPECT_EQ(file_exists(log) ? read_file(log) : std::optional<Bytes>(), c.log);
      continue;
    }
    auto db = open_ok(path);
    if (c.log) {  // a header of ours
      EXPECT_EQ(read_file(log).size(), 32u);
      EXPECT_EQ(first(read_file(log), 8), first(header, 8));
    }
    db.reset();
    EXPECT_FALSE(file_exists(log));
    EXPECT_EQ(ids_in(path), c.ids);
    if (c.ids == "abc") {
      EXPECT_EQ(read_file(path), c.file);  // nothing applied
    }
  }
}

TEST(DatabaseOpen, ADirectoryAtTheLogPathIsReported) {
  TestDir dir;
  const std::string path = dir.path("d.db"), log = path + "-wal";
  const std::string is_dir = "I/O error: Is a directory (os error 21)";
  sound_file(path);
  std::filesystem::create_directory(log);
  EXPECT_EQ(open_error(path), "Failed to open WAL: " + is_dir);
  std::filesystem::remove(log);
  auto db = open_ok(path);
  std::filesystem::remove(log);
  std::filesystem::create_directory(log);
  EXPECT_EQ(db->close().error().to_string(), "WAL cleanup failed: " + is_dir);
}

TEST(DatabaseOpen, DeletingAnIdKnownWithoutAVectorWritesItsMarker) {
  TestDir dir;
  for (bool replayed : {false, true}) {
    const std::string path = dir.path(replayed ? "r.db" : "f.db");
    if (replayed) {  // records of another length register their ids only
      write_file(path, edit(sound_file(path), "\"dimension\":3", "\"dimension\":4"));
    }
    auto db = open_ok(path);
    if (!replayed) {  // so does a failed insert
      ASSERT_TRUE(db->create_collection("docs", 3, std::nullopt));
      EXPECT_FALSE(db->insert("docs", "a", V{1}));
    }
    EXPECT_EQ(db->count("docs"), 0u);
    ASSERT_TRUE(db->remove("docs", "a"));
    db.reset();
    const Bytes page = page_of(read_file(path), 1);
    const int last = get_u16(&page[7]) - 1;
    EXPECT_EQ(last, replayed ? 3 : 0);
    EXPECT_EQ(record_text(page, static_cast<std::uint16_t>(last)), std::string("\1\0\0\0a", 5));
  }
}

const std::string kNoPages = R"({"name":"c","dimension":2,"distance":"Euclidean"})";

// Without room for the completed record the collection loads and refuses
// its writes, and nothing is allocated or written.
TEST(OpenAllocatedPages, WritesSurviveCloseAndKill) {
  TestDir dir;
  const std::string path = dir.path("db"), full = dir.path("full");
  write_file(path, file_with_catalog({kNoPages}, 0));
  // A record that does not decode fills the catalog's record area up to 20 bytes.
  const std::string filler(storage::kRecordAreaSize - kNoPages.size() - 20, 'x');
  const auto full_file = file_with_catalog({kNoPages, filler}, 0);
  write_file(full, full_file);
  EXPECT_EQ(open_ok(full)->insert("c", "a", V{1, 2}).error().to_string(), kCatalogFull);
  EXPECT_EQ(read_file(full), full_file);

  auto db = open_ok(path);
  ASSERT_TRUE(db->insert("c", "a", V{1, 2}));
  const std::string copy = dir.path("copy");  // killed here: the files as they are
  write_file(copy, read_file(path));
  write_file(copy + "-wal", read_file(path + "-wal"));
  db.reset();
  for (const std::string& p : {path, copy}) {
    EXPECT_EQ(hit_texts(open_ok(p)->search("c", V{1, 2}).value()),
              std::vector<std::string>{"a 0.000000 -"});
  }
  // The completed record follows the original one; pages 2 and 3 were
  // handed out once, and later opens allocate nothing.
  const auto file = read_file(path);
  EXPECT_EQ(file.size(), 4u * storage::kPageSize);
  const auto catalog = page_of(file, 1);
  EXPECT_EQ(record_text(catalog, 0), kNoPages);
  EXPECT_EQ(record_text(catalog, 1),
            R"({"name":"c","dimension":2,"distance":"Euclidean","description":"",)"
            R"("data_root_page":2,"metadata_root_page":3,"hnsw_edge_page":0,"index_type":"flat"})");
  EXPECT_EQ(record_text(catalog, 2), "");
}

}  // namespace
}  // namespace orvane::engine
