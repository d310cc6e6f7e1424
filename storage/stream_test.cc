#include "storage/stream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "storage/coding.h"
#include "storage/test_dir.h"
#include "storage/wal_format.h"

namespace orvane::storage {
namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr std::uint64_t kDir = kDirectoryEntries * kPageSize;  // bytes one directory addresses

Bytes pattern(std::uint64_t n, std::uint8_t seed) {
  Bytes out(n);
  for (std::uint64_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>(i * 131 + seed + i / 4096);
  return out;
}

// A format-2 file with only its header, its cache, log and pager.
struct Fixture {
  TestDir dir;
  std::string path = dir.path("db");
  std::shared_ptr<PageCache> cache;
  std::unique_ptr<Wal> wal;
  std::unique_ptr<V2Pager> pager;

  Fixture() {
    Bytes page(kPageSize, 0);
    V2Header{}.encode(page);
    write_file(path, page);
    reopen();
  }
  // Checkpoints, then opens the file afresh (the pager knows no page yet).
  V2Header reopen() {
    EXPECT_TRUE(!wal || wal->checkpoint(path).has_value());
    pager.reset();
    cache.reset();
    wal = std::make_unique<Wal>(wal_path_for(path));
    wal->set_header_magic(kV2Magic);
    EXPECT_TRUE(wal->open());
    cache = std::make_shared<PageCache>(path, *PosixFile::open(path, OpenMode::ReadWrite));
    auto h = V2Header::decode(std::as_const(*cache->fetch_page(0).value()).bytes());
    pager = std::make_unique<V2Pager>(cache, h.value());
    return *h;
  }
  // reopen(), then the stream the header names, the open finished.
  Stream reopened() {
    auto s = Stream::open(*pager, reopen().catalog_root);
    EXPECT_TRUE(s) << s.error().to_string();
    pager->finish_open();
    return s.value_or(Stream());
  }
  // A committed stream of `length` pattern bytes, named by the header.
  Stream committed(std::uint64_t length, std::uint8_t seed) {
    Stream s;
    pager->begin();
    EXPECT_TRUE(s.resize(*pager, length));
    EXPECT_TRUE(s.write(*pager, 0, pattern(length, seed)));
    pager->set_catalog_root(s.root());
    EXPECT_TRUE(pager->commit(*wal));
    return s;
  }
  // Checkpointed and clean, as a unit writing pages straight to the file needs.
  void checkpoint() {
    EXPECT_TRUE(wal->checkpoint(path));
    cache->mark_all_clean();
  }
  Bytes read(const Stream& s) {
    Bytes out(s.size());
    EXPECT_TRUE(s.read(*cache, 0, out));
    return out;
  }
};

TEST(Stream, RoundTripsAcrossPagesAndDirectoryChains) {
  const std::pair<std::uint64_t, std::uint64_t> cases[] = {  // length written, then resized to
      {1, 1},         {4095, 4097},     {4096, 4096},         {4097, 1},
      {kDir, kDir + 1}, {kDir + 1, 4096}, {2 * kDir + 5, kDir}, {3 * kDir, 0},
  };
  for (const auto& [first, second] : cases) {
    SCOPED_TRACE(std::to_string(first) + " -> " + std::to_string(second));
    Fixture f;
    Stream s = f.committed(first, 1);
    f.pager->begin();
    ASSERT_TRUE(s.resize(*f.pager, second));
    const std::uint64_t kept = std::min(first, second);
    ASSERT_TRUE(s.write(*f.pager, kept, pattern(second - kept, 2)));
    ASSERT_TRUE(f.pager->commit(*f.wal));
    const std::uint64_t page_count = f.pager->page_count();
    const std::uint64_t free_pages = f.pager->free_page_count();

    const Stream back = f.reopened();
    const std::uint64_t data_pages = (second + kPageSize - 1) / kPageSize;
    EXPECT_EQ(back.data_page_count(), data_pages);
    const std::uint64_t dirs = std::max<std::uint64_t>(1, (data_pages + 507) / kDirectoryEntries);
    EXPECT_EQ(back.pages().size(), dirs + data_pages);
    // Freed pages are found free again from reachability alone.
    EXPECT_EQ(f.pager->page_count(), page_count);
    EXPECT_EQ(f.pager->free_page_count(), free_pages);
    EXPECT_EQ(page_count - 1, back.pages().size() + free_pages);

    Bytes want = pattern(kept, 1), tail = pattern(second - kept, 2);
    want.insert(want.end(), tail.begin(), tail.end());
    EXPECT_EQ(f.read(back), want);
    Bytes pages(data_pages * kPageSize);
    ASSERT_TRUE(back.read_pages(*f.cache, 0, data_pages, pages));
    EXPECT_TRUE(std::equal(want.begin(), want.end(), pages.begin()));
  }
}

// A rolled-back unit leaves the committed bytes and frees what it took.
// Damaged chains are refused: a root that names itself as the next
// directory; fewer entries than the length needs; an entry past the file.
TEST(Stream, RollbackKeepsCommittedBytesAndDamagedChainsAreRefused) {
  Fixture f;
  const Stream s = f.committed(100, 3);
  const std::uint64_t end = f.pager->page_count();
  Stream copy = s;
  f.pager->begin();
  ASSERT_TRUE(copy.resize(*f.pager, 5 * kPageSize));
  ASSERT_TRUE(copy.write(*f.pager, 0, pattern(5 * kPageSize, 4)));
  f.pager->rollback();
  EXPECT_EQ(f.pager->page_count(), end);
  EXPECT_EQ(f.read(s), pattern(100, 3));

  const std::function<void(std::span<std::uint8_t>)> damages[] = {
      [&](auto p) { put_u32(p.data() + 4, 508), put_u64(p.data() + 8, s.root()); },
      [](auto p) { put_u32(p.data() + 4, 0), put_u64(p.data() + 8, 0); },
      [&](auto p) { put_u32(p.data() + 4, 1), put_u64(p.data() + 32, end); },
  };
  for (const auto& damage : damages) {
    f.pager->begin();
    ASSERT_TRUE(f.cache->modify_page(s.root(), damage));
    ASSERT_TRUE(f.pager->commit(*f.wal));
    auto damaged = Stream::open(*f.pager, f.reopen().catalog_root);
    ASSERT_FALSE(damaged);
    EXPECT_EQ(damaged.error().kind(), StorageError::Kind::InvalidDatabaseFile);
  }
}

// The open marks each reachable page once: page 0, pages at or past the
// file's end and a page marked twice are damage.
TEST(Stream, OpenMarksEachPageOnceAndOnlyInsideTheFile) {
  Fixture f;
  f.committed(1, 1);
  const std::uint64_t end = f.reopen().page_count;  // a fresh pager: nothing marked yet
  const std::string outside = " lies outside the file's " + std::to_string(end) + " pages";
  for (const PageId id : {PageId{0}, PageId{end}, PageId{end + 5}}) {
    auto r = f.pager->mark_reachable(id);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().to_string(), "Invalid database file: page " + std::to_string(id) + outside);
  }
  ASSERT_TRUE(f.pager->mark_reachable(end - 1));
  auto twice = f.pager->mark_reachable(end - 1);
  ASSERT_FALSE(twice);
  EXPECT_EQ(twice.error().to_string(),
            "Invalid database file: page " + std::to_string(end - 1) + " is used twice");
}

// An unlogged stream takes the lowest free pages (here not contiguous), is
// read back through the cache and after a reopen once a unit names it, and
// leaves its pages free when the unit rolls back.
TEST(Stream, UnloggedStreamGoesIntoFreePages) {
  const std::pair<std::uint64_t, bool> cases[] = {  // length, committed
      {1, true}, {3 * kPageSize, true}, {kDir + 1, true}, {kDir + 1, false}};
  for (const auto& [length, commit] : cases) {
    SCOPED_TRACE(std::to_string(length) + (commit ? " committed" : " rolled back"));
    Fixture f;
    Stream a, b;
    f.pager->begin();
    ASSERT_TRUE(a.resize(*f.pager, 3 * kPageSize));  // pages 1..4
    ASSERT_TRUE(a.write(*f.pager, 0, pattern(3 * kPageSize, 5)));
    ASSERT_TRUE(b.resize(*f.pager, 1));  // pages 5, 6
    ASSERT_TRUE(f.pager->commit(*f.wal));
    f.pager->begin();
    a.destroy(*f.pager);
    ASSERT_TRUE(f.pager->commit(*f.wal));
    f.checkpoint();
    const std::uint64_t pages = f.pager->page_count();

    f.pager->begin();
    const Bytes bytes = pattern(length, 6);
    auto s = Stream::write_unlogged(*f.pager, bytes);
    ASSERT_TRUE(s) << s.error().to_string();
    EXPECT_EQ(s->root(), 1u);
    if (!commit) {
      f.pager->rollback();
      EXPECT_EQ(f.pager->page_count(), pages);
      EXPECT_EQ(f.pager->free_page_count(), 4u);
      continue;
    }
    f.pager->set_catalog_root(s->root());
    ASSERT_TRUE(f.pager->commit(*f.wal));
    EXPECT_EQ(f.read(*s), bytes);  // no stale cached page of `a`
    const Stream opened = f.reopened();
    EXPECT_EQ(opened.pages(), s->pages());
    EXPECT_EQ(f.read(opened), bytes);
  }
}

// A rewrite keeps one copy of the stream in the file: it reuses the
// stream's own pages (through the log) and grows onto fresh ones; a rolled
// back rewrite leaves the committed bytes and frees what it took.
TEST(Stream, RewriteReplacesTheBytesInPlace) {
  const std::tuple<std::uint64_t, std::uint64_t, bool> cases[] = {  // before, after, committed
      {3 * kPageSize, 5 * kPageSize + 7, true}, {5 * kPageSize, 100, true},
      {kDir - kPageSize, kDir + 3, true},       {2 * kPageSize, 9 * kPageSize, false},
      {0, 2 * kPageSize, true}};
  for (const auto& [before, after, commit] : cases) {
    SCOPED_TRACE(std::to_string(before) + " -> " + std::to_string(after));
    Fixture f;
    const Stream s = f.committed(before, 1);
    f.checkpoint();
    Stream next = s;
    f.pager->begin();
    const Bytes image = pattern(after, 2);  // logged from here at the commit
    ASSERT_TRUE(next.rewrite(*f.pager, image));
    if (commit) {
      f.pager->set_catalog_root(next.root());
      ASSERT_TRUE(f.pager->commit(*f.wal));
    } else {
      f.pager->rollback();
    }
    const Stream back = f.reopened();
    EXPECT_EQ(f.read(back), commit ? image : pattern(before, 1));
    // Header, the stream's directories and data pages: nothing else is used.
    EXPECT_EQ(f.pager->page_count() - f.pager->free_page_count(), 1 + back.pages().size());
    EXPECT_TRUE(before == 0 || back.root() == s.root());
    const std::uint64_t most = std::max(before, after);
    EXPECT_LE(f.pager->page_count(), 2 + (most + kPageSize - 1) / kPageSize + (most + kDir - 1) / kDir);
  }
}

// Two streams rewritten in one unit, each ending in a short page: each keeps
// its own bytes.
TEST(Stream, RewritesOfTwoStreamsInOneUnit) {
  Fixture f;
  Stream a = f.committed(3 * kPageSize, 1);
  Stream b = f.committed(2 * kPageSize, 3);
  f.checkpoint();
  const Bytes image_a = pattern(2 * kPageSize + 5, 4), image_b = pattern(kPageSize + 9, 5);
  f.pager->begin();
  ASSERT_TRUE(a.rewrite(*f.pager, image_a));
  ASSERT_TRUE(b.rewrite(*f.pager, image_b));
  ASSERT_TRUE(f.pager->commit(*f.wal));
  ASSERT_TRUE(f.wal->checkpoint(f.path));
  EXPECT_EQ(f.read(a), image_a);
  EXPECT_EQ(f.read(b), image_b);
}

}  // namespace
}  // namespace orvane::storage
