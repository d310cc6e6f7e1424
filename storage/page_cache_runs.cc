// PageCache's whole-page operations for format 2: pages entered with their
// image, runs read and written past the table, and the cache made clean
// after a checkpoint.
#include <algorithm>
#include <limits>

#include "storage/page_cache.h"
#include "storage/page_cache_impl.h"

namespace orvane::storage {

Result<std::shared_ptr<Page>> PageCache::create_page(PageId id,
                                                     std::span<const std::uint8_t> bytes) {
  if (bytes.size() != page_size_) {
    return std::unexpected(StorageError::internal("page image of " + std::to_string(bytes.size()) +
                                                  " bytes, expected " +
                                                  std::to_string(page_size_)));
  }
  std::shared_ptr<Page> page;
  {
    std::unique_lock lock(impl_->table_mutex);
    if (auto it = impl_->table.find(id); it != impl_->table.end()) {
      page = it->second;
    } else {
      if (impl_->table.size() >= capacity_ && !impl_->nothing_to_evict) impl_->evict_once();
      page = std::make_shared<Page>(id, std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
      impl_->table.emplace(id, page);
    }
  }
  std::unique_lock lock(page->mutex());
  impl_->note_change(page);
  std::copy(bytes.begin(), bytes.end(), page->bytes().begin());
  page->mark_dirty();
  return page;
}

void PageCache::mark_all_clean() {
  std::unique_lock lock(impl_->table_mutex);
  impl_->candidates.clear();
  impl_->nothing_to_evict = false;
  for (auto it = impl_->table.begin(); it != impl_->table.end();) {
    {
      std::unique_lock page_lock(it->second->mutex());
      it->second->mark_clean();
    }
    // Evict in this pass rather than a lookup per page later.
    if (impl_->table.size() > capacity_ && it->first != 0 && it->second.use_count() == 1) {
      it = impl_->table.erase(it);
      continue;
    }
    if (it->first != 0) impl_->candidates.push_back(it->first);
    ++it;
  }
}

Result<void> PageCache::read_run(PageId first, std::uint64_t count, std::span<std::uint8_t> out) {
  if (out.size() != count * page_size_) {
    return std::unexpected(StorageError::internal("run buffer of the wrong size"));
  }
  if (first > (std::numeric_limits<std::uint64_t>::max() / page_size_) - count) {
    return std::unexpected(StorageError::io_unexpected_eof());
  }
  {
    std::lock_guard lock(impl_->file_mutex);
    if (auto r = impl_->file->read_exact_at(first * page_size_, out); !r) return r;
  }
  std::shared_lock lock(impl_->table_mutex);
  // The table is small next to a long run: look up whichever is fewer.
  auto overlay = [&](PageId id, const Page& page) {
    std::shared_lock page_lock(page.mutex());
    if (!page.dirty()) return;
    const auto bytes = page.bytes();
    std::copy(bytes.begin(), bytes.end(), out.begin() + (id - first) * page_size_);
  };
  if (impl_->table.size() < count) {
    for (const auto& [id, page] : impl_->table) {
      if (id >= first && id - first < count) overlay(id, *page);
    }
  } else {
    for (PageId id = first; id < first + count; ++id) {
      if (auto it = impl_->table.find(id); it != impl_->table.end()) overlay(id, *it->second);
    }
  }
  return {};
}

void PageCache::forget(std::span<const PageId> ids) {
  std::unique_lock lock(impl_->table_mutex);
  for (PageId id : ids) impl_->table.erase(id);
}

Result<void> PageCache::write_run(PageId first, std::span<const std::uint8_t> pages) {
  if (pages.size() % page_size_ != 0) {
    return std::unexpected(StorageError::internal("run of a partial page"));
  }
  const std::uint64_t count = pages.size() / page_size_;
  if (first > (std::numeric_limits<std::int64_t>::max() / page_size_) - count) {
    return std::unexpected(StorageError::io_errno(EFBIG));
  }
  {
    std::lock_guard lock(impl_->file_mutex);
    if (auto r = impl_->file->write_all_at(first * page_size_, pages); !r) return r;
  }
  std::unique_lock lock(impl_->table_mutex);
  if (impl_->table.size() < count) {
    std::erase_if(impl_->table, [&](const auto& e) { return e.first >= first && e.first - first < count; });
  } else {
    for (PageId id = first; id < first + count; ++id) impl_->table.erase(id);
  }
  return {};
}

}  // namespace orvane::storage
