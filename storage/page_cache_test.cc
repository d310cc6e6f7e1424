#include "storage/page_cache.h"

#include <gtest/gtest.h>

#include <thread>

#include "storage/coding.h"
#include "storage/mem_file.h"
#include "storage/page.h"
#include "storage/test_dir.h"

namespace orvane::storage {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Data = std::shared_ptr<Bytes>;

// A database image of `pages` pages: a fresh header in page 0, then page 1
// an empty vector data page when `data_page`, zeros after.
Data db_image(std::size_t pages, bool data_page = false) {
  auto data = std::make_shared<Bytes>(pages * kPageSize, 0);
  DatabaseHeader::fresh(1700000000).encode(data->data());
  if (data_page) std::copy_n(new_page_image(1).begin(), kPageSize, data->begin() + kPageSize);
  return data;
}

struct CacheOverFaultyFile {
  explicit CacheOverFaultyFile(Data data, std::uint64_t capacity = kCacheCapacity) : data(data) {
    auto f = std::make_unique<FaultyFile>(std::make_unique<MemFile>(data));
    file = f.get();
    cache = std::make_unique<PageCache>("db", std::move(f), kPageSize, capacity);
  }
  Data data;
  FaultyFile* file;
  std::unique_ptr<PageCache> cache;
};

TEST(PageCacheTest, AllocateGoesRightAfterTheEndOfTheFile) {
  // The header's next_page_id lags behind the file (never flushed), or is
  // damaged far past its end: neither reuses a page nor grows the file far.
  struct Row {
    std::uint64_t next_page_id;
    std::size_t file_bytes;
    PageId want;
  };
  const Row rows[] = {{1, 3 * kPageSize + 10, 4},     {3, 2 * kPageSize, 2},
                      {1ull << 31, 2 * kPageSize, 2}, {1ull << 52, 2 * kPageSize, 2},
                      {~0ull, 2 * kPageSize, 2},      {0, 0, 1}};
  for (const Row& r : rows) {
    auto data = std::make_shared<Bytes>(r.file_bytes, 0xAB);
    CacheOverFaultyFile t(data);
    if (r.file_bytes == 0) {
      t.cache->insert_clean_page(0, Bytes(kPageSize, 0));  // never hands out page 0
    } else {
      DatabaseHeader h = DatabaseHeader::fresh(0);
      h.next_page_id = r.next_page_id;
      h.encode(data->data());
    }
    EXPECT_EQ(t.cache->allocate_page(2).value(), r.want) << r.next_page_id;
    EXPECT_EQ(data->size(), (r.want + 1) * kPageSize) << r.next_page_id;
    EXPECT_EQ(page_of(*data, r.want), new_page_image(2));
    EXPECT_EQ(t.cache->read_header()->next_page_id, r.want + 1);
    if (r.file_bytes % kPageSize != 0) {
      EXPECT_EQ((*data)[3 * kPageSize + 9], 0xAB);  // the torn tail is left as it is
    }
  }
}

TEST(PageCacheTest, AppendMarksDirtyAndEveryFlushRewrites) {
  auto data = db_image(2, true);
  CacheOverFaultyFile t(data);
  PageCache& c = *t.cache;
  EXPECT_EQ(c.append_record(0, Bytes{1}).value(), false);  // the header page takes no records
  EXPECT_EQ(c.cached_page_count(), 0u);

  // A record that does not fit leaves a clean page clean.
  EXPECT_EQ(c.append_record(1, Bytes(3057, 1)).value(), false);
  EXPECT_FALSE(c.fetch_page(1).value()->dirty());
  ASSERT_TRUE(c.flush_all().has_value());
  EXPECT_EQ(t.file->writes(), 0u);

  EXPECT_EQ(c.append_record(1, Bytes{5, 6, 7}).value(), true);
  EXPECT_TRUE(c.fetch_page(1).value()->dirty());
  EXPECT_EQ(page_of(*t.data, 1), new_page_image(1));  // memory only until a flush
  ASSERT_TRUE(c.flush_page(1).has_value());
  EXPECT_EQ(t.file->writes(), 1u);
  const Bytes flushed = page_of(*t.data, 1);
  EXPECT_EQ(read_record(1, flushed, 0), (Bytes{5, 6, 7}));
  ASSERT_TRUE(c.flush_all().has_value());
  ASSERT_TRUE(c.flush_all().has_value());
  EXPECT_EQ(t.file->writes(), 3u);           // dirty is never cleared
  ASSERT_TRUE(c.flush_page(7).has_value());  // not cached: nothing written
  EXPECT_EQ(t.file->writes(), 3u);

  // Header changes make page 0 dirty too.
  DatabaseHeader h = c.read_header().value();
  h.catalog_page_id = 1;
  ASSERT_TRUE(c.write_header(h).has_value());
  ASSERT_TRUE(c.flush_all().has_value());
  EXPECT_EQ(t.file->writes(), 5u);
  EXPECT_EQ(get_u64(t.data->data() + 32), 1u);
}

TEST(PageCacheTest, FailedFlushStopsAtTheFailingPage) {
  CacheOverFaultyFile t(db_image(3));
  PageCache& c = *t.cache;
  for (PageId id : {1, 2}) ASSERT_TRUE(c.replace_page(id, new_page_image(1)).has_value());
  t.file->fail_write_number(1);
  auto r = c.flush_all();
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().to_string(), "I/O error: Input/output error (os error 5)");
  EXPECT_EQ(t.file->writes(), 1u);
  ASSERT_TRUE(c.flush_all().has_value());  // still dirty: written again
  EXPECT_EQ(page_of(*t.data, 1), new_page_image(1));
  EXPECT_EQ(page_of(*t.data, 2), new_page_image(1));
}

// With reads failing, a fetch succeeds exactly for the pages in the table.
bool cached(CacheOverFaultyFile& t, PageId id) {
  t.file->fail_reads(true);
  const bool hit = t.cache->fetch_page(id).has_value();
  t.file->fail_reads(false);
  return hit;
}

TEST(PageCacheTest, EvictionSkipsHeaderAndHeldPages) {
  CacheOverFaultyFile t(db_image(8), 4);
  PageCache& c = *t.cache;
  for (PageId id = 0; id < 4; ++id) ASSERT_TRUE(c.fetch_page(id).has_value());
  EXPECT_EQ(c.cached_page_count(), 4u);
  ASSERT_TRUE(c.fetch_page(4).has_value());  // exactly one clean page leaves
  EXPECT_EQ(c.cached_page_count(), 4u);
  EXPECT_TRUE(cached(t, 0));
  EXPECT_TRUE(cached(t, 4));
  int left = 0;
  for (PageId id = 1; id < 4; ++id) left += cached(t, id) ? 0 : 1;
  EXPECT_EQ(left, 1);

  // Hold every cached page: none can leave, so the table grows.
  std::vector<std::shared_ptr<Page>> held;
  t.file->fail_reads(true);
  for (PageId id = 1; id < 5; ++id) {
    if (auto p = c.fetch_page(id)) held.push_back(*p);
  }
  t.file->fail_reads(false);
  ASSERT_EQ(held.size(), 3u);
  ASSERT_TRUE(c.fetch_page(5).has_value());
  EXPECT_EQ(c.cached_page_count(), 5u);
  // Released, they can leave again: one per insertion.
  held.clear();
  ASSERT_TRUE(c.fetch_page(6).has_value());
  EXPECT_EQ(c.cached_page_count(), 5u);
  EXPECT_TRUE(cached(t, 0));
}

TEST(PageCacheTest, EvictionSkipsDirtyPages) {
  CacheOverFaultyFile t(db_image(8), 3);
  PageCache& c = *t.cache;
  ASSERT_TRUE(c.replace_page(1, new_page_image(1)).has_value());
  ASSERT_TRUE(c.replace_page(2, new_page_image(1)).has_value());
  ASSERT_TRUE(c.fetch_page(0).has_value());
  ASSERT_TRUE(c.fetch_page(3).has_value());  // nothing qualifies: 4 pages
  EXPECT_EQ(c.cached_page_count(), 4u);
  ASSERT_TRUE(c.fetch_page(4).has_value());  // page 3 is the only clean one
  EXPECT_EQ(c.cached_page_count(), 4u);
  EXPECT_FALSE(cached(t, 3));
  EXPECT_TRUE(cached(t, 1) && cached(t, 2) && cached(t, 4));
}

TEST(PageCacheTest, ConcurrentMissesShareOnePage) {
  CacheOverFaultyFile t(db_image(2));
  std::vector<std::shared_ptr<Page>> got(8);
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < got.size(); ++i) {
    threads.emplace_back([&, i] { got[i] = t.cache->fetch_page(1).value(); });
  }
  for (auto& th : threads) th.join();
  for (const auto& p : got) EXPECT_EQ(p, got[0]);
  EXPECT_EQ(t.cache->fetch_page(1).value(), got[0]);
  EXPECT_EQ(t.cache->cached_page_count(), 1u);
}

TEST(PageCacheTest, AbandonedCacheWritesNothingWhenItGoes) {
  for (bool abandon : {true, false}) {
    auto data = db_image(2, true);
    const Bytes before = *data;
    {
      CacheOverFaultyFile t(data);
      ASSERT_TRUE(t.cache->append_record(1, Bytes{1, 2, 3, 4}).value());
      if (abandon) t.cache->abandon();
    }
    EXPECT_EQ(*data == before, abandon);
  }
}

Bytes cached_bytes(PageCache& c, PageId id) {
  auto p = c.fetch_page(id).value();
  return Bytes(p->bytes().begin(), p->bytes().end());
}

TEST(PageCacheTest, CallUnitListsChangedPagesHeaderFirst) {
  auto data = db_image(2, true);
  CacheOverFaultyFile t(data);
  PageCache& c = *t.cache;
  ASSERT_TRUE(c.append_record(1, Bytes{1}).value());  // outside a unit: not recorded
  EXPECT_TRUE(c.changed_pages().empty());
  c.begin_call();
  ASSERT_TRUE(c.append_record(1, Bytes{1, 2}).value());
  EXPECT_FALSE(c.append_record(1, Bytes(4000, 0)).value());  // did not fit: no change
  const PageId fresh = c.allocate_page(kPageTypeMetadata).value();
  ASSERT_TRUE(c.append_record(fresh, Bytes{9}).value());

  const std::vector<ChangedPage> pages = c.changed_pages();
  ASSERT_EQ(pages.size(), 3u);
  const PageId want[] = {0, 1, fresh};
  for (std::size_t i = 0; i < pages.size(); ++i) {
    EXPECT_EQ(pages[i].id, want[i]);
    EXPECT_EQ(pages[i].bytes, cached_bytes(c, pages[i].id));  // current images
  }
  c.end_call();
  EXPECT_TRUE(c.changed_pages().empty());
  ASSERT_TRUE(c.append_record(1, Bytes{2}).value());
  EXPECT_TRUE(c.changed_pages().empty());
}

TEST(PageCacheTest, RollbackRestoresBeforeImages) {
  auto data = db_image(2, true);
  CacheOverFaultyFile t(data);
  PageCache& c = *t.cache;
  ASSERT_TRUE(c.append_record(1, Bytes{7}).value());  // before the unit: kept
  const Bytes page1 = cached_bytes(c, 1);
  const Bytes page0 = cached_bytes(c, 0);

  c.begin_call();
  ASSERT_TRUE(c.append_record(1, Bytes{1, 2, 3}).value());
  const PageId fresh = c.allocate_page(kPageTypeVectorData).value();
  ASSERT_TRUE(c.append_record(fresh, Bytes{5}).value());
  ASSERT_TRUE(c.replace_page(1, Bytes(kPageSize, 0xEE)).has_value());
  c.rollback_call();

  EXPECT_EQ(cached_bytes(c, 1), page1);
  EXPECT_EQ(cached_bytes(c, 0), page0);
  // The allocated page is back to the image already in the file.
  EXPECT_EQ(cached_bytes(c, fresh), new_page_image(kPageTypeVectorData));
  ASSERT_TRUE(c.append_record(1, Bytes{8}).value());  // recording stopped
  EXPECT_TRUE(c.changed_pages().empty());
  // The next allocation skips the orphaned page instead of reusing it.
  EXPECT_EQ(c.allocate_page(1).value(), fresh + 1);
}

}  // namespace
}  // namespace orvane::storage
