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

// One collection opened by hand over the database file, with a log whose
// writes can be made to fail.
struct Rig {
  TestDir dir;
  std::string path = dir.path("db");
  std::shared_ptr<storage::PageCache> cache;
  std::unique_ptr<storage::Wal> wal;
  std::shared_ptr<Collection> c;
  storage::FaultyFile* log = nullptr;

  Rig() {
    {
      auto db = open_ok(path);
      EXPECT_TRUE(db->create_collection("c", 2, "euclidean"));
      const auto doc = nlohmann::json{{"k", 1}};
      EXPECT_TRUE(db->insert("c", "a", V{1, 1}, &doc));
      EXPECT_TRUE(db->insert("c", "b", V{2, 2}));
    }
    auto file = storage::PosixFile::open(path, storage::OpenMode::ReadWrite);
    cache = std::make_shared<storage::PageCache>(path, std::move(*file));
    wal = std::make_unique<storage::Wal>(storage::wal_path_for(path));
    EXPECT_TRUE(wal->open());
    log = storage::wrap_log_file(*wal);
    auto configs = read_catalog(*cache, 3);
    EXPECT_TRUE(configs && configs->size() == 1);
    auto loaded = Collection::materialise((*configs)[0], cache);
    EXPECT_TRUE(loaded);
    c = *loaded;
  }

  Bytes page(storage::PageId id) {
    auto p = cache->fetch_page(id);
    return Bytes(std::as_const(**p).bytes().begin(), std::as_const(**p).bytes().end());
  }
  std::vector<std::pair<std::string, float>> all() {
    auto r = c->search(V{0, 0}, 10);
    EXPECT_TRUE(r);
    std::vector<std::pair<std::string, float>> out;
    for (const auto& x : *r) out.emplace_back(x.id + (x.metadata ? *x.metadata : ""), x.score);
    return out;
  }
};

TEST(CollectionWrite, FailedLogWriteUndoesTheCall) {
  Rig rig;
  const auto before = rig.all();
  ASSERT_EQ(before.size(), 2u);
  const Bytes data = rig.page(1), meta = rig.page(2);
  rig.log->fail_all_writes(true);
  const std::string eio = "Storage error: I/O error: Input/output error (os error 5)";
  const auto doc = nlohmann::json{{"k", 2}};
  auto refused = [&](auto&& call) {
    CallUnit unit(*rig.cache, *rig.wal);
    auto r = call(unit);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().to_string(), eio);
  };
  refused([&](CallUnit& u) { return rig.c->insert("new", V{0, 0}, nullptr, u); });
  refused([&](CallUnit& u) { return rig.c->insert("a", V{0, 0}, &doc, u); });
  refused([&](CallUnit& u) { return rig.c->insert(std::nullopt, V{0, 0}, &doc, u); });
  refused([&](CallUnit& u) { return rig.c->remove("b", u); });
  {
    CallUnit unit(*rig.cache, *rig.wal);
    EXPECT_TRUE(rig.c->remove("nobody", unit));  // only a best-effort marker was lost
  }
  EXPECT_EQ(rig.all(), before);
  EXPECT_EQ(rig.page(1), data);
  EXPECT_EQ(rig.page(2), meta);

  rig.log->fail_all_writes(false);
  CallUnit unit(*rig.cache, *rig.wal);
  ASSERT_TRUE(rig.c->insert("a", V{0, 0}, &doc, unit));
  EXPECT_EQ(rig.all().front(), (std::pair<std::string, float>{R"(a{"k":2})", 0.0f}));
}

}  // namespace
}  // namespace orvane::engine
