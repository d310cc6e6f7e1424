// An abandoned page cache writes nothing when it goes, whatever is dirty.
#include <gtest/gtest.h>

#include "storage/mem_file.h"
#include "storage/page.h"
#include "storage/page_cache.h"

namespace orvane::storage {
namespace {

using Bytes = std::vector<std::uint8_t>;

// A file of a fresh header page and one vector data page; a record is
// appended to page 1 in a cache over it, which is then destroyed.
Bytes file_after_release(bool abandon) {
  auto data = std::make_shared<Bytes>(2 * kPageSize, 0);
  DatabaseHeader::fresh(1700000000).encode(data->data());
  const Bytes page1 = new_page_image(kPageTypeVectorData);
  std::copy(page1.begin(), page1.end(), data->begin() + kPageSize);
  {
    PageCache cache("db", std::make_unique<MemFile>(data));
    const Bytes record = {1, 2, 3, 4};
    EXPECT_TRUE(cache.append_record(1, record).value());
    if (abandon) cache.abandon();
  }
  return *data;
}

TEST(PageCacheAbandonTest, DestructionWritesNothing) {
  Bytes untouched(2 * kPageSize, 0);
  DatabaseHeader::fresh(1700000000).encode(untouched.data());
  const Bytes page1 = new_page_image(kPageTypeVectorData);
  std::copy(page1.begin(), page1.end(), untouched.begin() + kPageSize);

  EXPECT_EQ(file_after_release(true), untouched);
  EXPECT_NE(file_after_release(false), untouched);  // the dirty page is written otherwise
}

}  // namespace
}  // namespace orvane::storage
