#include "storage/stream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <numeric>

#include "storage/test_dir.h"
#include "storage/wal_format.h"

namespace orvane::storage {
namespace {

// A format-2 file with only its header, its cache, log and pager.
struct Fixture {
  TestDir dir;
  std::string path = dir.path("db");
  std::shared_ptr<PageCache> cache;
  std::unique_ptr<Wal> wal;
  std::unique_ptr<V2Pager> pager;

  Fixture() {
    std::vector<std::uint8_t> page(kPageSize, 0);
    V2Header{}.encode(page);
    write_file(path, page);
    reopen();
  }
  // A committed stream of `length` pattern bytes, named by the header.
  Stream committed(std::uint64_t length, std::uint8_t seed);
  // Checkpoints, then opens the file afresh (the pager knows no page yet).
  V2Header reopen() {
    if (wal) {
      EXPECT_TRUE(wal->checkpoint(path));
    }
    pager.reset();
    cache.reset();
    wal = std::make_unique<Wal>(wal_path_for(path));
    wal->set_header_magic(kV2Magic);
    EXPECT_TRUE(wal->open());
    cache = std::make_shared<PageCache>(path, *PosixFile::open(path, OpenMode::ReadWrite));
    auto page = cache->fetch_page(0);
    auto h = V2Header::decode(std::as_const(**page).bytes());
    EXPECT_TRUE(h);
    pager = std::make_unique<V2Pager>(cache, *h);
    return *h;
  }
};

std::vector<std::uint8_t> pattern(std::uint64_t n, std::uint8_t seed) {
  std::vector<std::uint8_t> out(n);
  for (std::uint64_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>(i * 131 + seed + i / 4096);
  return out;
}

Stream Fixture::committed(std::uint64_t length, std::uint8_t seed) {
  Stream s;
  pager->begin();
  EXPECT_TRUE(s.resize(*pager, length));
  EXPECT_TRUE(s.write(*pager, 0, pattern(length, seed)));
  pager->set_catalog_root(s.root());  // reachable from the header
  EXPECT_TRUE(pager->commit(*wal));
  return s;
}

TEST(Stream, RoundTripsAcrossPagesAndDirectoryChains) {
  constexpr std::uint64_t kDir = kDirectoryEntries * kPageSize;  // bytes one directory addresses
  struct Case {
    std::uint64_t first, second;  // length written, then the length it is resized to
  };
  const Case cases[] = {
      {1, 1},         {4095, 4097},     {4096, 4096},         {4097, 1},
      {kDir, kDir + 1}, {kDir + 1, 4096}, {2 * kDir + 5, kDir}, {3 * kDir, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.first) + " -> " + std::to_string(c.second));
    Fixture f;
    Stream s = f.committed(c.first, 1);
    const auto bytes = pattern(c.first, 1);

    f.pager->begin();
    ASSERT_TRUE(s.resize(*f.pager, c.second));
    const std::uint64_t kept = std::min(c.first, c.second);
    const auto tail = pattern(c.second - kept, 2);
    ASSERT_TRUE(s.write(*f.pager, kept, tail));
    ASSERT_TRUE(f.pager->commit(*f.wal));
    const std::uint64_t page_count = f.pager->page_count();
    const std::uint64_t free_pages = f.pager->free_page_count();

    const V2Header h = f.reopen();
    auto back = Stream::open(*f.pager, h.catalog_root);
    ASSERT_TRUE(back) << back.error().to_string();
    f.pager->finish_open();
    EXPECT_EQ(back->size(), c.second);
    const std::uint64_t data_pages = (c.second + kPageSize - 1) / kPageSize;
    EXPECT_EQ(back->data_page_count(), data_pages);
    const std::uint64_t dirs = std::max<std::uint64_t>(1, (data_pages + kDirectoryEntries - 1) /
                                                              kDirectoryEntries);
    EXPECT_EQ(back->pages().size(), dirs + data_pages);
    // Freed pages are found free again from reachability alone.
    EXPECT_EQ(h.page_count, page_count);
    EXPECT_EQ(f.pager->free_page_count(), free_pages);
    EXPECT_EQ(page_count - 1, back->pages().size() + free_pages);

    std::vector<std::uint8_t> all(c.second);
    ASSERT_TRUE(back->read(*f.cache, 0, all));
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.begin() + kept, all.begin()));
    EXPECT_TRUE(std::equal(tail.begin(), tail.end(), all.begin() + kept));
    std::vector<std::uint8_t> pages(data_pages * kPageSize);
    ASSERT_TRUE(back->read_pages(*f.cache, 0, data_pages, pages));
    EXPECT_TRUE(std::equal(all.begin(), all.end(), pages.begin()));
  }
}

TEST(Stream, RolledBackUnitLeavesPagesFreeAndCommittedBytesIntact) {
  Fixture f;
  Stream s;
  f.pager->begin();
  ASSERT_TRUE(s.resize(*f.pager, 100));
  ASSERT_TRUE(s.write(*f.pager, 0, pattern(100, 3)));
  f.pager->set_catalog_root(s.root());
  ASSERT_TRUE(f.pager->commit(*f.wal));
  const std::uint64_t pages = f.pager->page_count();

  Stream copy = s;
  f.pager->begin();
  ASSERT_TRUE(copy.resize(*f.pager, 5 * kPageSize));
  ASSERT_TRUE(copy.write(*f.pager, 0, pattern(5 * kPageSize, 4)));
  f.pager->rollback();
  EXPECT_EQ(f.pager->page_count(), pages);

  std::vector<std::uint8_t> back(100);
  ASSERT_TRUE(s.read(*f.cache, 0, back));
  EXPECT_EQ(back, pattern(100, 3));
  // Damaged chains are refused: the root names itself as the next
  // directory; a directory holds fewer entries than the length needs; an
  // entry names the page just past the file's end.
  const std::uint64_t end = f.pager->page_count();
  const std::function<void(std::span<std::uint8_t>)> damages[] = {
      [&](std::span<std::uint8_t> p) {
        for (int i = 0; i < 8; ++i) p[8 + i] = static_cast<std::uint8_t>(s.root() >> (8 * i));
        p[4] = 0xfc;  // 508 entries
        p[5] = 0x01;
      },
      [](std::span<std::uint8_t> p) { std::fill(p.begin() + 4, p.begin() + 16, 0); },
      [&](std::span<std::uint8_t> p) {
        std::fill(p.begin() + 4, p.begin() + 16, 0);
        p[4] = 1;
        for (int i = 0; i < 8; ++i) p[32 + i] = static_cast<std::uint8_t>(end >> (8 * i));
      },
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
  Stream s;
  f.pager->begin();
  ASSERT_TRUE(s.resize(*f.pager, 1));
  f.pager->set_catalog_root(s.root());
  ASSERT_TRUE(f.pager->commit(*f.wal));
  const std::uint64_t end = f.reopen().page_count;  // a fresh pager: nothing marked yet
  for (const PageId id : {PageId{0}, PageId{end}, PageId{end + 5}}) {
    auto r = f.pager->mark_reachable(id);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().to_string(), "Invalid database file: page " + std::to_string(id) +
                                         " lies outside the file's " + std::to_string(end) +
                                         " pages");
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
  constexpr std::uint64_t kDir = kDirectoryEntries * kPageSize;
  struct Case {
    std::uint64_t length;
    bool commit;
  };
  const Case cases[] = {{1, true}, {3 * kPageSize, true}, {kDir + 1, true}, {kDir + 1, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.length) + (c.commit ? " committed" : " rolled back"));
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
    ASSERT_TRUE(f.wal->checkpoint(f.path));
    f.cache->mark_all_clean();
    const std::uint64_t pages = f.pager->page_count();

    f.pager->begin();
    const auto bytes = pattern(c.length, 6);
    auto s = Stream::write_unlogged(*f.pager, bytes);
    ASSERT_TRUE(s) << s.error().to_string();
    EXPECT_EQ(s->root(), 1u);
    EXPECT_EQ(s->size(), c.length);
    if (!c.commit) {
      f.pager->rollback();
      EXPECT_EQ(f.pager->page_count(), pages);
      EXPECT_EQ(f.pager->free_page_count(), 4u);
      continue;
    }
    f.pager->set_catalog_root(s->root());
    ASSERT_TRUE(f.pager->commit(*f.wal));
    std::vector<std::uint8_t> back(c.length);
    ASSERT_TRUE(s->read(*f.cache, 0, back));  // no stale cached page of `a`
    EXPECT_EQ(back, bytes);
    const V2Header h = f.reopen();
    auto opened = Stream::open(*f.pager, h.catalog_root);
    ASSERT_TRUE(opened) << opened.error().to_string();
    EXPECT_EQ(opened->pages(), s->pages());
    ASSERT_TRUE(opened->read(*f.cache, 0, back));
    EXPECT_EQ(back, bytes);
  }
}

// A rewrite keeps one copy of the stream in the file: it reuses the
// stream's own pages (through the log) and grows onto fresh ones; a rolled
// back rewrite leaves the committed bytes, read after a checkpoint and a
// reopen, and frees what it took.
TEST(Stream, RewriteReplacesTheBytesInPlace) {
  constexpr std::uint64_t kDir = kDirectoryEntries * kPageSize;
  struct Case {
    std::uint64_t before, after;
    bool commit;
  };
  const Case cases[] = {{3 * kPageSize, 5 * kPageSize + 7, true}, {5 * kPageSize, 100, true},
                        {kDir - kPageSize, kDir + 3, true},      {2 * kPageSize, 9 * kPageSize, false},
                        {0, 2 * kPageSize, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.before) + " -> " + std::to_string(c.after));
    Fixture f;
    const Stream s = f.committed(c.before, 1);
    ASSERT_TRUE(f.wal->checkpoint(f.path));
    f.cache->mark_all_clean();

    Stream next = s;
    f.pager->begin();
    const auto image = pattern(c.after, 2);  // logged from here at the commit
    ASSERT_TRUE(next.rewrite(*f.pager, image));
    if (c.commit) {
      f.pager->set_catalog_root(next.root());
      ASSERT_TRUE(f.pager->commit(*f.wal));
    } else {
      f.pager->rollback();
    }
    const V2Header h = f.reopen();
    auto back = Stream::open(*f.pager, h.catalog_root);
    ASSERT_TRUE(back);
    f.pager->finish_open();
    const std::uint64_t length = c.commit ? c.after : c.before;
    std::vector<std::uint8_t> bytes(length);
    ASSERT_TRUE(back->read(*f.cache, 0, bytes));
    EXPECT_EQ(bytes, pattern(length, c.commit ? 2 : 1));
    // Header, the stream's directories and data pages: nothing else is used.
    EXPECT_EQ(f.pager->page_count() - f.pager->free_page_count(), 1 + back->pages().size());
    if (c.before != 0) {
      EXPECT_EQ(back->root(), s.root());
    }
    const std::uint64_t largest = std::max(c.before, c.after);
    EXPECT_LE(f.pager->page_count(),
              2 + (largest + kPageSize - 1) / kPageSize + (largest + kDir - 1) / kDir);
  }
}

// Two streams rewritten in one unit, each ending in a short page: each keeps
// its own bytes.
TEST(Stream, RewritesOfTwoStreamsInOneUnit) {
  Fixture f;
  Stream a = f.committed(3 * kPageSize, 1);
  Stream b = f.committed(2 * kPageSize, 3);
  ASSERT_TRUE(f.wal->checkpoint(f.path));
  f.cache->mark_all_clean();
  const auto image_a = pattern(2 * kPageSize + 5, 4);
  const auto image_b = pattern(kPageSize + 9, 5);
  f.pager->begin();
  ASSERT_TRUE(a.rewrite(*f.pager, image_a));
  ASSERT_TRUE(b.rewrite(*f.pager, image_b));
  ASSERT_TRUE(f.pager->commit(*f.wal));
  ASSERT_TRUE(f.wal->checkpoint(f.path));
  for (const auto& [stream, image] : {std::pair{&a, &image_a}, std::pair{&b, &image_b}}) {
    std::vector<std::uint8_t> back(image->size());
    ASSERT_TRUE(stream->read(*f.cache, 0, back));
    EXPECT_EQ(back, *image);
  }
}

}  // namespace
}  // namespace orvane::storage
