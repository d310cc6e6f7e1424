// A call whose log write fails is not done: the pages and the collection in
// memory are exactly as before it.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "engine/collection.h"
#include "engine/test_support.h"
#include "storage/wal_test_util.h"

namespace orvane::engine {
namespace {

using V = std::vector<float>;
using Bytes = std::vector<std::uint8_t>;

TEST(CollectionWrite, FailedLogWriteUndoesTheCall) {
  TestDir dir;
  const std::string path = dir.path("db");
  {
    auto db = open_ok(path);
    ASSERT_TRUE(db->create_collection("c", 2, "euclidean"));
    const auto doc = nlohmann::json{{"k", 1}};
    ASSERT_TRUE(db->insert("c", "a", V{1, 1}, &doc));
    ASSERT_TRUE(db->insert("c", "b", V{2, 2}));
  }
  // The collection opened by hand over the file, with a log whose writes fail.
  auto cache = std::make_shared<storage::PageCache>(
      path, *storage::PosixFile::open(path, storage::OpenMode::ReadWrite));
  storage::Wal wal(storage::wal_path_for(path));
  ASSERT_TRUE(wal.open());
  storage::FaultyFile* log = storage::wrap_log_file(wal);
  auto c = Collection::materialise(read_catalog(*cache, 3).value().at(0), cache).value();
  auto page = [&](storage::PageId id) {
    auto p = cache->fetch_page(id);
    return Bytes(std::as_const(**p).bytes().begin(), std::as_const(**p).bytes().end());
  };
  auto all = [&] {
    std::vector<std::string> out;
    const auto found = c->search(V{0, 0}, 10).value();
    for (const auto& x : found) {
      out.push_back(x.id + " " + std::to_string(x.score) + " " + x.metadata.value_or("-"));
    }
    return out;
  };
  const auto before = all();
  ASSERT_EQ(before.size(), 2u);
  const Bytes data = page(1), meta = page(2);
  log->fail_all_writes(true);
  const auto doc = nlohmann::json{{"k", 2}};
  auto refused = [&](auto&& call) {
    CallUnit unit(*cache, wal);
    return call(unit).error().to_string();
  };
  const std::string eio = "Storage error: I/O error: Input/output error (os error 5)";
  EXPECT_EQ(refused([&](CallUnit& u) { return c->insert("new", V{0, 0}, nullptr, u); }), eio);
  EXPECT_EQ(refused([&](CallUnit& u) { return c->insert("a", V{0, 0}, &doc, u); }), eio);
  EXPECT_EQ(refused([&](CallUnit& u) { return c->insert(std::nullopt, V{0, 0}, &doc, u); }), eio);
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
  ASSERT_TRUE(c->insert("a", V{0, 0}, &doc, unit));
  EXPECT_EQ(all().front(), R"(a 0.000000 {"k":2})");
}

}  // namespace
}  // namespace orvane::engine
