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

// `pages` pages: a fresh header, then page 1 an empty data page when
// `data_page`, zeros after.
Data db_image(std::size_t pages, bool data_page = false) {
  auto data = std::make_shared<Bytes>(pages * kPageSize, 0);
  DatabaseHeader::fresh(1700000000).encode(data->data());
  if (data_page) std::copy_n(new_page_image(1).begin(), kPageSize, data->begin() + kPageSize);
  return data;
}

struct Cache {
  explicit Cache(Data data, std::uint64_t capacity = kCacheCapacity) : data(data) {
    auto f = std::make_unique<FaultyFile>(std::make_unique<MemFile>(data));
    file = f.get();
    cache = std::make_unique<PageCache>("db", std::move(f), kPageSize, capacity);
  }
  // Whether a fetch succeeds with reads failing: the page is in the table.
  bool cached(PageId id) {
    file->fail_reads(true);
    const bool hit = cache->fetch_page(id).has_value();
    file->fail_reads(false);
    return hit;
  }
  Bytes bytes(PageId id) {
    auto p = cache->fetch_page(id).value();
    return Bytes(p->bytes().begin(), p->bytes().end());
  }
  Data data;
  FaultyFile* file;
  std::unique_ptr<PageCache> cache;
};

// The header's next_page_id lags behind the file (never flushed), or is
// damaged far past its end: neither reuses a page nor grows the file far.
TEST(PageCacheTest, AllocateGoesRightAfterTheEndOfTheFile) {
  // next_page_id, file length, the page handed out.
  const std::tuple<std::uint64_t, std::size_t, PageId> rows[] = {
      {1, 3 * kPageSize + 10, 4},     {3, 2 * kPageSize, 2},     {1ull << 31, 2 * kPageSize, 2},
      {1ull << 52, 2 * kPageSize, 2}, {~0ull, 2 * kPageSize, 2}, {0, 0, 1}};
  for (const auto& [next_page_id, file_bytes, want] : rows) {
    SCOPED_TRACE(next_page_id);
    auto data = std::make_shared<Bytes>(file_bytes, 0xAB);
    Cache t(data);
    DatabaseHeader h = DatabaseHeader::fresh(0);
    h.next_page_id = next_page_id;
    // An empty file: page 0 is in the table only, and never handed out.
    file_bytes == 0 ? t.cache->insert_clean_page(0, Bytes(kPageSize, 0)) : h.encode(data->data());
    EXPECT_EQ(t.cache->allocate_page(2).value(), want);
    EXPECT_EQ(data->size(), (want + 1) * kPageSize);
    EXPECT_EQ(page_of(*data, want), new_page_image(2));
    EXPECT_EQ(t.cache->read_header()->next_page_id, want + 1);
    EXPECT_TRUE(file_bytes % kPageSize == 0 || (*data)[3 * kPageSize + 9] == 0xAB);  // torn tail
  }
}

TEST(PageCacheTest, ChangesStayInMemoryUntilAFlushAndEveryFlushRewritesThem) {
  Cache t(db_image(3, true));
  PageCache& c = *t.cache;
  EXPECT_FALSE(c.append_record(0, Bytes{1}).value());  // the header page takes no records
  EXPECT_FALSE(c.append_record(1, Bytes(3057, 1)).value());
  EXPECT_FALSE(c.fetch_page(1).value()->dirty());  // a record that did not fit

  EXPECT_TRUE(c.append_record(1, Bytes{5, 6, 7}).value());
  EXPECT_EQ(page_of(*t.data, 1), new_page_image(1));  // memory only until a flush
  ASSERT_TRUE(c.flush_page(1).has_value());
  EXPECT_EQ(t.file->writes(), 1u);
  EXPECT_EQ(read_record(1, page_of(*t.data, 1), 0), (Bytes{5, 6, 7}));
  ASSERT_TRUE(c.flush_all().has_value());
  EXPECT_EQ(t.file->writes(), 2u);  // dirty is never cleared

  ASSERT_TRUE(c.replace_page(2, new_page_image(3)).has_value());
  t.file->fail_write_number(1);
  auto r = c.flush_all();
  EXPECT_EQ(r ? "flushed" : r.error().to_string(), "I/O error: Input/output error (os error 5)");
  EXPECT_EQ(t.file->writes(), 3u);  // the flush stops at the failing page
  ASSERT_TRUE(c.flush_all().has_value());
  EXPECT_EQ(page_of(*t.data, 2), new_page_image(3));
}

// Page 0, held pages and dirty pages never leave; one clean page leaves per
// insertion at capacity, else the table grows.
TEST(PageCacheTest, EvictionSkipsHeaderHeldAndDirtyPages) {
  Cache t(db_image(10), 4);
  PageCache& c = *t.cache;
  for (PageId id = 0; id < 5; ++id) ASSERT_TRUE(c.fetch_page(id).has_value());
  EXPECT_EQ(c.cached_page_count(), 4u);
  EXPECT_TRUE(t.cached(0) && t.cached(4));
  EXPECT_EQ(t.cached(1) + t.cached(2) + t.cached(3), 2);

  std::vector<std::shared_ptr<Page>> held;
  for (PageId id = 1; id < 5; ++id) {
    if (t.cached(id)) held.push_back(c.fetch_page(id).value());
  }
  ASSERT_TRUE(c.fetch_page(5).has_value());                       // all held: the table grows
  ASSERT_TRUE(c.replace_page(6, new_page_image(1)).has_value());  // page 5 leaves
  ASSERT_TRUE(c.replace_page(7, new_page_image(1)).has_value());  // nothing can leave
  EXPECT_EQ(c.cached_page_count(), 6u);
  held.clear();
  ASSERT_TRUE(c.fetch_page(8).has_value());
  EXPECT_EQ(c.cached_page_count(), 6u);
  EXPECT_TRUE(t.cached(0) && t.cached(6) && t.cached(7) && t.cached(8));
}

TEST(PageCacheTest, ConcurrentMissesShareOnePage) {
  Cache t(db_image(2));
  std::vector<std::shared_ptr<Page>> got(8);
  std::vector<std::thread> threads;
  for (auto& p : got) threads.emplace_back([&] { p = t.cache->fetch_page(1).value(); });
  for (auto& th : threads) th.join();
  for (const auto& p : got) EXPECT_EQ(p, got[0]);
  EXPECT_EQ(t.cache->cached_page_count(), 1u);
}

// A unit lists its changed pages header first with their current images;
// a rollback puts back the images from before the unit.
TEST(PageCacheTest, CallUnitListsAndRollsBackItsChanges) {
  Cache t(db_image(2, true));
  PageCache& c = *t.cache;
  ASSERT_TRUE(c.append_record(1, Bytes{7}).value());  // outside a unit: not recorded
  EXPECT_TRUE(c.changed_pages().empty());
  const Bytes page0 = t.bytes(0), page1 = t.bytes(1);
  c.begin_call();
  ASSERT_TRUE(c.append_record(1, Bytes{1, 2}).value());
  EXPECT_FALSE(c.append_record(1, Bytes(4000, 0)).value());  // did not fit: no change
  const PageId fresh = c.allocate_page(kPageTypeMetadata).value();
  ASSERT_TRUE(c.append_record(fresh, Bytes{9}).value());
  std::vector<std::pair<PageId, Bytes>> listed;
  for (const ChangedPage& p : c.changed_pages()) listed.emplace_back(p.id, p.bytes);
  EXPECT_EQ(listed, (decltype(listed){{0, t.bytes(0)}, {1, t.bytes(1)}, {fresh, t.bytes(fresh)}}));
  ASSERT_TRUE(c.replace_page(1, Bytes(kPageSize, 0xEE)).has_value());
  c.rollback_call();
  EXPECT_EQ(t.bytes(0), page0);
  EXPECT_EQ(t.bytes(1), page1);
  EXPECT_EQ(t.bytes(fresh), new_page_image(kPageTypeMetadata));  // as the file holds it
  ASSERT_TRUE(c.append_record(1, Bytes{8}).value());             // recording stopped
  EXPECT_TRUE(c.changed_pages().empty());
  EXPECT_EQ(c.allocate_page(1).value(), fresh + 1);  // the orphaned page is not reused
  c.begin_call();
  ASSERT_TRUE(c.append_record(1, Bytes{8}).value());
  c.end_call();
  EXPECT_TRUE(c.changed_pages().empty());
}

}  // namespace
}  // namespace orvane::storage
