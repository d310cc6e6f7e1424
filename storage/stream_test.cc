#include "storage/stream.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "storage/coding.h"
#include "storage/test_dir.h"
#include "storage/wal_format.h"

namespace orvane::storage {
namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr std::uint64_t kDir = kDirectoryEntries * kPageSize;  // bytes one directory addresses

Bytes pattern(std::uint64_t n, std::uint8_t seed) {
  Bytes out(n);
  for (std::uint64_t i = 0; i < n; ++i)
    out[i] = static_cast<std::uint8_t>(i * 131 + seed + i / 4096);
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
    EXPECT_TRUE(reopened());
  }
  // Checkpoints, opens the file afresh and the stream its header names.
  Result<Stream> reopened() {
    EXPECT_TRUE(!wal || wal->checkpoint(path).has_value());
    pager.reset();
    cache.reset();
    wal = std::make_unique<Wal>(wal_path_for(path));
    wal->set_header_magic(kV2Magic);
    EXPECT_TRUE(wal->open());
    cache = std::make_shared<PageCache>(path, *PosixFile::open(path, OpenMode::ReadWrite));
    const auto h = V2Header::decode(std::as_const(*cache->fetch_page(0).value()).bytes()).value();
    pager = std::make_unique<V2Pager>(cache, h);
    auto s = Stream::open(*pager, h.catalog_root);
    if (s) pager->finish_open();
    return s;
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
  Bytes read(const Stream& s) {  // in two parts, the second starting inside a page
    Bytes out(s.size());
    EXPECT_TRUE(s.read(*cache, 0, std::span(out).first(out.size() / 3)));
    EXPECT_TRUE(s.read(*cache, out.size() / 3, std::span(out).subspan(out.size() / 3)));
    return out;
  }
};

// Freed pages are found free again from reachability alone.
TEST(Stream, RoundTripsAcrossPagesAndDirectoryChains) {
  // Length written, then resized to.
  const std::pair<std::uint64_t, std::uint64_t> cases[] = {
      {1, 1},           {4095, 4097},     {4096, 4096},         {4097, 1},
      {kDir, kDir + 1}, {kDir + 1, 4096}, {2 * kDir + 5, kDir}, {3 * kDir, 0}};
  for (const auto& [first, second] : cases) {
    SCOPED_TRACE(std::to_string(first) + " -> " + std::to_string(second));
    Fixture f;
    Stream s = f.committed(first, 1);
    f.pager->begin();
    ASSERT_TRUE(s.resize(*f.pager, second));
    const std::uint64_t kept = std::min(first, second);
    ASSERT_TRUE(s.write(*f.pager, kept, pattern(second - kept, 2)));
    ASSERT_TRUE(f.pager->commit(*f.wal));
    const auto counts = std::pair(f.pager->page_count(), f.pager->free_page_count());
    const Stream back = f.reopened().value();
    EXPECT_EQ(std::pair(f.pager->page_count(), f.pager->free_page_count()), counts);
    const std::uint64_t data_pages = (second + kPageSize - 1) / kPageSize;
    const std::uint64_t dirs = std::max<std::uint64_t>(1, (data_pages + 507) / kDirectoryEntries);
    EXPECT_EQ(back.pages().size(), dirs + data_pages);
    Bytes want = pattern(kept, 1), tail = pattern(second - kept, 2);
    want.insert(want.end(), tail.begin(), tail.end());
    EXPECT_EQ(f.read(back), want);
    Bytes pages(data_pages * kPageSize);
    ASSERT_TRUE(back.read_pages(*f.cache, 0, data_pages, pages));
    EXPECT_TRUE(std::equal(want.begin(), want.end(), pages.begin()));
  }
}

// Damaged chains are refused, each page of the file marked once at most.
TEST(Stream, OpenRefusesDamagedChains) {
  const std::pair<std::vector<std::pair<std::size_t, std::uint64_t>>, const char*> rows[] = {
      {{{0, 7}}, "stream 2: not a directory page"},
      {{{4, 509}}, "stream 2: directory entry count 509"},
      {{{4, 1}, {8, 5}}, "stream 2: directory entry count 1"},  // a next page after a short one
      {{{16, 1ull << 63}}, "stream 2: length"},
      {{{4, 0}}, "stream 2: holds 0 data pages for 100 bytes"},
      {{{4, 508}, {8, 2}, {16, kDir + 1}}, "page 2 is used twice"},  // a chain that loops
      {{{32, 2}}, "page 2 is used twice"},
      {{{32, 0}}, "page 0 lies outside the file's 3 pages"},
      {{{32, 3}}, "page 3 lies outside the file's 3 pages"},
  };
  for (const auto& [changes, text] : rows) {
    Fixture f;
    const Stream s = f.committed(100, 3);  // directory page 2, data page 1
    f.pager->begin();
    ASSERT_TRUE(f.cache->modify_page(s.root(), [&](std::span<std::uint8_t> p) {
      for (auto [at, v] : changes) {
        at < 8 ? put_u32(p.data() + at, static_cast<std::uint32_t>(v)) : put_u64(p.data() + at, v);
      }
    }));
    ASSERT_TRUE(f.pager->commit(*f.wal));
    auto r = f.reopened();
    EXPECT_EQ(r ? "opened" : r.error().to_string(), std::string("Invalid database file: ") + text);
  }
}

// Units that write pages straight to the file: a new stream into the lowest
// free pages (here not contiguous), or rewrites (two in one unit, each
// ending in a short page) that keep one copy of a stream in the file,
// reusing its own pages through the log and growing onto fresh ones. A
// rolled-back unit leaves the committed bytes and frees what it took.
TEST(Stream, UnitsWritingStraightToTheFile) {
  // Rewrite (else a new stream), length before and after, commit (else roll back).
  const std::tuple<bool, std::uint64_t, std::uint64_t, bool> rows[] = {
      {false, 1, 1, true},
      {false, 1, 3 * kPageSize, true},
      {false, 1, kDir + 1, true},
      {false, 1, kDir + 1, false},
      {true, 3 * kPageSize, 5 * kPageSize + 7, true},
      {true, 5 * kPageSize, 100, true},
      {true, kDir - kPageSize, kDir + 3, true},
      {true, 2 * kPageSize, 9 * kPageSize, false},
      {true, 0, 2 * kPageSize, true}};
  for (const auto& [rewrite, before, after, commit] : rows) {
    SCOPED_TRACE(std::to_string(before) + " -> " + std::to_string(after));
    Fixture f;
    const Stream other = f.committed(3 * kPageSize, 5);  // pages 1..4
    const Stream s = f.committed(before, 1);
    f.pager->begin();
    if (!rewrite) Stream(other).destroy(*f.pager);
    ASSERT_TRUE(f.pager->commit(*f.wal));
    ASSERT_TRUE(f.wal->checkpoint(f.path));
    f.cache->mark_all_clean();
    const auto counts = std::pair(f.pager->page_count(), f.pager->free_page_count());

    const Bytes image = pattern(after, 2), short_image = pattern(kPageSize + 9, 4);
    Stream next = s, next_other = other;
    f.pager->begin();
    if (rewrite) {
      ASSERT_TRUE(next.rewrite(*f.pager, image));
      ASSERT_TRUE(next_other.rewrite(*f.pager, short_image));
    } else {
      next = Stream::write_unlogged(*f.pager, image).value();
      EXPECT_EQ(next.root(), 1u);
    }
    if (commit) {
      f.pager->set_catalog_root(next.root());
      ASSERT_TRUE(f.pager->commit(*f.wal));
      EXPECT_TRUE(rewrite || f.read(next) == image);  // no stale cached page
    } else {
      f.pager->rollback();
      EXPECT_EQ(std::pair(f.pager->page_count(), f.pager->free_page_count()), counts);
    }
    const Stream back = f.reopened().value();
    EXPECT_EQ(f.read(back), commit ? image : pattern(before, 1));
    EXPECT_TRUE(!rewrite || f.read(commit ? next_other : other) ==
                                (commit ? short_image : pattern(3 * kPageSize, 5)));
    EXPECT_TRUE(!rewrite || before == 0 || back.root() == s.root());
    const std::uint64_t most = std::max(before, after);
    EXPECT_LE(f.pager->page_count(), 6 + (most + 4095) / kPageSize + (most + kDir - 1) / kDir);
  }
}

}  // namespace
}  // namespace orvane::storage
