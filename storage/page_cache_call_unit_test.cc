// Call units of the page cache: what a call changed, in which order, and
// undoing it.
#include <gtest/gtest.h>

#include "storage/coding.h"
#include "storage/mem_file.h"
#include "storage/page.h"
#include "storage/page_cache.h"

namespace orvane::storage {
namespace {

using Bytes = std::vector<std::uint8_t>;

std::unique_ptr<PageCache> cache_over(std::shared_ptr<Bytes> data) {
  return std::make_unique<PageCache>("db", std::make_unique<MemFile>(std::move(data)));
}

std::shared_ptr<Bytes> two_page_db() {
  auto data = std::make_shared<Bytes>(2 * kPageSize, 0);
  DatabaseHeader::fresh(5).encode(data->data());
  const Bytes p1 = new_page_image(1);
  std::copy(p1.begin(), p1.end(), data->begin() + kPageSize);
  return data;
}

Bytes bytes_of(PageCache& c, PageId id) {
  auto p = c.fetch_page(id).value();
  return Bytes(p->bytes().begin(), p->bytes().end());
}

TEST(PageCacheCallUnitTest, NothingIsRecordedOutsideAUnit) {
  auto c = cache_over(two_page_db());
  ASSERT_TRUE(c->append_record(1, Bytes{1}).value());
  EXPECT_TRUE(c->changed_pages().empty());
  c->begin_call();
  EXPECT_TRUE(c->changed_pages().empty());
  c->end_call();
  ASSERT_TRUE(c->append_record(1, Bytes{2}).value());
  EXPECT_TRUE(c->changed_pages().empty());
}

TEST(PageCacheCallUnitTest, ChangedPagesInFirstChangeOrderHeaderFirst) {
  auto c = cache_over(two_page_db());
  c->begin_call();
  ASSERT_TRUE(c->append_record(1, Bytes{1, 2}).value());
  EXPECT_FALSE(c->append_record(1, Bytes(4000, 0)).value());  // did not fit: no change
  ASSERT_TRUE(c->append_record(1, Bytes{3}).value());
  const PageId fresh = c->allocate_page(kPageTypeMetadata).value();
  ASSERT_EQ(fresh, 2u);
  ASSERT_TRUE(c->append_record(fresh, Bytes{9}).value());

  const std::vector<ChangedPage> pages = c->changed_pages();
  ASSERT_EQ(pages.size(), 3u);
  EXPECT_EQ(pages[0].id, 0u);
  EXPECT_EQ(pages[1].id, 1u);
  EXPECT_EQ(pages[2].id, 2u);
  // Current images, not before-images.
  EXPECT_EQ(get_u64(pages[0].bytes.data() + 24), 3u);
  EXPECT_EQ(read_record(1, pages[1].bytes, 1), Bytes{3});
  EXPECT_EQ(read_record(2, pages[2].bytes, 0), Bytes{9});
  for (const auto& p : pages) EXPECT_EQ(p.bytes, bytes_of(*c, p.id));
  c->end_call();
  EXPECT_TRUE(c->changed_pages().empty());

  // A new unit starts empty; a unit with only a header change lists page 0.
  c->begin_call();
  DatabaseHeader h = c->read_header().value();
  h.catalog_page_id = 2;
  ASSERT_TRUE(c->write_header(h).has_value());
  ASSERT_EQ(c->changed_pages().size(), 1u);
  EXPECT_EQ(c->changed_pages()[0].id, 0u);
  c->end_call();
}

TEST(PageCacheCallUnitTest, RollbackRestoresBeforeImages) {
  auto data = two_page_db();
  auto c = cache_over(data);
  ASSERT_TRUE(c->append_record(1, Bytes{7}).value());  // before the unit: kept
  const Bytes page1 = bytes_of(*c, 1);
  const Bytes page0 = bytes_of(*c, 0);

  c->begin_call();
  ASSERT_TRUE(c->append_record(1, Bytes{1, 2, 3}).value());
  ASSERT_TRUE(c->append_record(1, Bytes{4}).value());
  const PageId fresh = c->allocate_page(kPageTypeVectorData).value();
  ASSERT_TRUE(c->append_record(fresh, Bytes{5}).value());
  ASSERT_TRUE(c->replace_page(1, Bytes(kPageSize, 0xEE)).has_value());
  c->rollback_call();

  EXPECT_EQ(bytes_of(*c, 1), page1);
  EXPECT_EQ(bytes_of(*c, 0), page0);
  EXPECT_EQ(c->read_header()->next_page_id, 1u);
  EXPECT_TRUE(c->fetch_page(1).value()->dirty());  // dirty stays set
  // The allocated page is back to the image already in the file.
  EXPECT_EQ(bytes_of(*c, fresh), new_page_image(kPageTypeVectorData));
  EXPECT_TRUE(c->changed_pages().empty());
  // Recording stopped with the rollback.
  ASSERT_TRUE(c->append_record(1, Bytes{8}).value());
  EXPECT_TRUE(c->changed_pages().empty());
  // The next allocation skips the orphaned page instead of reusing it.
  EXPECT_EQ(c->allocate_page(1).value(), fresh + 1);
}

}  // namespace
}  // namespace orvane::storage
