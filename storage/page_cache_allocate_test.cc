// allocate_page on a header whose next_page_id is damaged.
#include <gtest/gtest.h>

#include "storage/coding.h"
#include "storage/mem_file.h"
#include "storage/page.h"
#include "storage/page_cache.h"

namespace orvane::storage {
namespace {

TEST(PageCacheAllocate, DamagedNextPageIdNeverGrowsTheFileFar) {
  for (std::uint64_t next : {std::uint64_t{3}, std::uint64_t{1} << 31, std::uint64_t{1} << 52,
                             ~std::uint64_t{0}}) {
    auto data = std::make_shared<std::vector<std::uint8_t>>(2 * kPageSize, 0);
    DatabaseHeader h = DatabaseHeader::fresh(0);
    h.next_page_id = next;
    h.encode(data->data());
    PageCache cache("db", std::make_unique<MemFile>(data));

    auto id = cache.allocate_page(kPageTypeVectorData);
    ASSERT_TRUE(id.has_value()) << next << ": " << id.error().to_string();
    EXPECT_EQ(*id, 2u) << next;
    EXPECT_EQ(data->size(), 3u * kPageSize) << next;
    EXPECT_EQ(std::vector<std::uint8_t>(data->begin() + 2 * kPageSize, data->end()),
              new_page_image(kPageTypeVectorData));
    EXPECT_EQ(cache.read_header()->next_page_id, 3u) << next;
    EXPECT_EQ(cache.allocate_page(kPageTypeMetadata).value(), 3u) << next;
    EXPECT_EQ(data->size(), 4u * kPageSize) << next;
  }
}

}  // namespace
}  // namespace orvane::storage
