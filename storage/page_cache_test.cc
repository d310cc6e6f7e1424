#include "storage/page_cache.h"

#include <gtest/gtest.h>

#include <thread>

#include "storage/coding.h"
#include "storage/mem_file.h"
#include "storage/page.h"

namespace orvane::storage {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Data = std::shared_ptr<Bytes>;

// A database image of `pages` pages: a fresh header in page 0, zeros after.
Data db_image(std::size_t pages) {
  auto data = std::make_shared<Bytes>(pages * kPageSize, 0);
  DatabaseHeader::fresh(1700000000).encode(data->data());
  return data;
}

Bytes page_of(const Data& data, PageId id) {
  return Bytes(data->begin() + id * kPageSize, data->begin() + (id + 1) * kPageSize);
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

TEST(PageCacheTest, AllocateOnAFreshFile) {
  CacheOverFaultyFile t(db_image(1));
  PageCache& c = *t.cache;
  auto id = c.allocate_page(kPageTypeVectorData);
  ASSERT_TRUE(id.has_value()) << id.error().to_string();
  EXPECT_EQ(*id, 1u);
  ASSERT_EQ(t.data->size(), 8192u);
  EXPECT_EQ(page_of(t.data, 1), new_page_image(1));
  EXPECT_EQ(get_u64(t.data->data() + 24), 1u);  // not yet in the file
  EXPECT_EQ(c.read_header()->next_page_id, 2u);
  ASSERT_TRUE(c.flush_all().has_value());
  EXPECT_EQ(get_u64(t.data->data() + 24), 2u);
  EXPECT_EQ(c.allocate_page(kPageTypeMetadata).value(), 2u);
  EXPECT_EQ(t.data->size(), 12288u);
  EXPECT_EQ((*t.data)[8192], kPageTypeMetadata);
}

TEST(PageCacheTest, AllocateNeverReusesAPageOfTheFile) {
  // The header lags behind a file of 3 pages plus a torn tail.
  auto data = db_image(3);
  data->resize(3 * kPageSize + 10, 0xAB);
  CacheOverFaultyFile t(data);
  EXPECT_EQ(t.cache->allocate_page(2).value(), 4u);
  EXPECT_EQ(t.data->size(), 5u * kPageSize);
  EXPECT_EQ((*t.data)[3 * kPageSize + 9], 0xAB);
  EXPECT_EQ(t.cache->read_header()->next_page_id, 5u);

  // A header page without its next id (zero) never hands out page 0.
  auto zero = std::make_shared<Bytes>(0);
  CacheOverFaultyFile z(zero);
  z.cache->insert_clean_page(0, Bytes(kPageSize, 0));
  EXPECT_EQ(z.cache->allocate_page(1).value(), 1u);
}

TEST(PageCacheTest, FetchBeyondTheEndFailsAndCachesNothing) {
  CacheOverFaultyFile t(db_image(3));
  PageCache& c = *t.cache;
  auto r = c.fetch_page(5);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().to_string(), "I/O error: failed to fill whole buffer");
  EXPECT_EQ(c.cached_page_count(), 0u);
  EXPECT_EQ(c.fetch_page(~std::uint64_t{0}).error().to_string(),
            "I/O error: failed to fill whole buffer");
  auto p = c.fetch_page(1);
  ASSERT_TRUE(p.has_value());
  EXPECT_EQ((*p)->id(), 1u);
  EXPECT_FALSE((*p)->dirty());
  EXPECT_EQ(c.cached_page_count(), 1u);
  EXPECT_EQ(c.fetch_page(1).value(), *p);  // a hit returns the same page

  t.file->fail_reads(true);
  EXPECT_EQ(c.fetch_page(2).error().to_string(), "I/O error: Input/output error (os error 5)");
  EXPECT_EQ(c.cached_page_count(), 1u);
}

TEST(PageCacheTest, AppendMarksDirtyAndEveryFlushRewrites) {
  auto data = db_image(2);
  std::copy_n(new_page_image(1).begin(), kPageSize, data->begin() + kPageSize);
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
  EXPECT_EQ(page_of(t.data, 1), new_page_image(1));  // memory only until a flush
  ASSERT_TRUE(c.flush_page(1).has_value());
  EXPECT_EQ(t.file->writes(), 1u);
  const Bytes flushed = page_of(t.data, 1);
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

TEST(PageCacheTest, WritePageGrowsTheFileByWholePages) {
  CacheOverFaultyFile t(db_image(1));
  const Bytes image = new_page_image(4);
  ASSERT_TRUE(t.cache->write_page(5, image).has_value());
  ASSERT_EQ(t.data->size(), 6u * kPageSize);
  EXPECT_EQ(page_of(t.data, 5), image);
  for (PageId id = 1; id < 5; ++id) EXPECT_EQ(page_of(t.data, id), Bytes(kPageSize, 0));
  EXPECT_EQ(t.cache->cached_page_count(), 0u);  // the table is not touched
  EXPECT_EQ(t.cache->write_page(~std::uint64_t{0} / kPageSize, image).error().os_errno(), EFBIG);
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
  EXPECT_EQ(page_of(t.data, 1), new_page_image(1));
  EXPECT_EQ(page_of(t.data, 2), new_page_image(1));
}

TEST(PageCacheTest, DestructionFlushes) {
  auto data = db_image(2);
  {
    CacheOverFaultyFile t(data);
    ASSERT_TRUE(t.cache->replace_page(1, new_page_image(3)).has_value());
    ASSERT_TRUE(t.cache->append_record(1, Bytes{42}).has_value());
  }
  EXPECT_EQ(read_record(1, page_of(data, 1), 0), Bytes{42});
  EXPECT_EQ((*data)[kPageSize], 3);
}

TEST(PageCacheTest, ReplacePage) {
  CacheOverFaultyFile t(db_image(2));
  auto bad = t.cache->replace_page(1, Bytes(10, 0));
  ASSERT_FALSE(bad.has_value());
  EXPECT_EQ(bad.error().to_string(), "page image of 10 bytes, expected 4096");
  EXPECT_EQ(t.cache->replace_page(9, new_page_image(1)).error().to_string(),
            "I/O error: failed to fill whole buffer");
  Bytes image(kPageSize, 0x77);
  ASSERT_TRUE(t.cache->replace_page(1, image).has_value());
  auto p = t.cache->fetch_page(1).value();
  EXPECT_TRUE(p->dirty());
  EXPECT_EQ(Bytes(p->bytes().begin(), p->bytes().end()), image);
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

TEST(PageCacheTest, EvictionAtFullCapacity) {
  const std::size_t n = kCacheCapacity;
  auto data = db_image(n + 2);
  {
    CacheOverFaultyFile t(data);
    PageCache& c = *t.cache;
    EXPECT_EQ(c.capacity(), 16384u);
    for (PageId id = 0; id < n; ++id) ASSERT_TRUE(c.fetch_page(id).has_value());
    ASSERT_EQ(c.cached_page_count(), n);
    ASSERT_TRUE(c.fetch_page(n).has_value());
    EXPECT_EQ(c.cached_page_count(), n);
    EXPECT_TRUE(cached(t, 0));
  }
  {
    CacheOverFaultyFile t(data);
    PageCache& c = *t.cache;
    ASSERT_TRUE(c.write_header(c.read_header().value()).has_value());
    for (PageId id = 1; id < n; ++id) {
      ASSERT_TRUE(c.replace_page(id, new_page_image(1)).has_value());
    }
    ASSERT_EQ(c.cached_page_count(), n);
    ASSERT_TRUE(c.fetch_page(n).has_value());
    EXPECT_EQ(c.cached_page_count(), n + 1);
  }
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

}  // namespace
}  // namespace orvane::storage
