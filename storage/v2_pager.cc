#include "storage/v2_pager.h"

#include <algorithm>
#include <string>

#include "storage/try.h"

namespace orvane::storage {

V2Pager::V2Pager(std::shared_ptr<PageCache> cache, V2Header header)
    : cache_(std::move(cache)),
      header_(header),
      page_count_(header.page_count),
      catalog_root_(header.catalog_root),
      counter_(header.change_counter) {}

Result<void> V2Pager::mark_reachable(PageId id) {
  if (id == 0 || id >= page_count_) {
    return std::unexpected(StorageError::invalid_database_file(
        "page " + std::to_string(id) + " lies outside the file's " + std::to_string(page_count_) +
        " pages"));
  }
  if (marked_.size() != page_count_) marked_.resize(page_count_, false);
  if (marked_[id]) {
    return std::unexpected(
        StorageError::invalid_database_file("page " + std::to_string(id) + " is used twice"));
  }
  marked_[id] = true;
  return {};
}

void V2Pager::finish_open() {
  marked_.resize(page_count_, false);
  free_.clear();
  for (PageId id = 1; id < page_count_; ++id) {
    if (!marked_[id]) free_.insert(free_.end(), id);
  }
  marked_ = {};
}

void V2Pager::begin() {
  taken_.clear();
  released_.clear();
  wrote_unlogged_ = false;
  page_count_ = header_.page_count;
  catalog_root_ = header_.catalog_root;
  cache_->begin_call();
}

Result<PageId> V2Pager::allocate() {
  PageId id;
  if (!free_.empty()) {
    id = *free_.begin();
    free_.erase(free_.begin());
    taken_.push_back(id);
  } else {
    if (page_count_ >= (std::uint64_t{1} << 32)) {
      return std::unexpected(StorageError::io("database file reached 2^32 pages"));
    }
    id = page_count_++;
  }
  const std::vector<std::uint8_t> zero(cache_->page_size(), 0);
  ORVANE_TRY(cache_->create_page(id, zero));
  return id;
}

Result<std::vector<PageId>> V2Pager::allocate_unlogged(std::uint64_t count) {
  const std::uint64_t from_free = std::min<std::uint64_t>(count, free_.size());
  if (count - from_free > (std::uint64_t{1} << 32) - page_count_) {
    return std::unexpected(StorageError::io("database file reached 2^32 pages"));
  }
  std::vector<PageId> ids;
  ids.reserve(count);
  for (auto it = free_.begin(); ids.size() < from_free;) {
    ids.push_back(*it);
    it = free_.erase(it);
  }
  taken_.insert(taken_.end(), ids.begin(), ids.end());
  while (ids.size() < count) ids.push_back(page_count_++);
  wrote_unlogged_ = true;
  return ids;
}

Result<std::vector<PageId>> V2Pager::allocate_growth(std::uint64_t count) {
  if (count > (std::uint64_t{1} << 32) - page_count_) {
    return std::unexpected(StorageError::io("database file reached 2^32 pages"));
  }
  std::vector<PageId> ids(count);
  for (PageId& id : ids) id = page_count_++;
  if (count > 0) wrote_unlogged_ = true;
  return ids;
}

void V2Pager::release(PageId id) { released_.push_back(id); }

void V2Pager::log_pages(std::span<const PageId> ids, std::span<const std::uint8_t> bytes) {
  const std::uint64_t whole = bytes.size() / kPageSize;
  for (std::uint64_t i = 0; i < whole; ++i) {
    logged_.push_back({ids[i], bytes.subspan(i * kPageSize, kPageSize)});
  }
  if (whole < ids.size()) {
    std::vector<std::uint8_t>& tail = logged_tails_.emplace_back(kPageSize, 0);
    std::copy(bytes.begin() + static_cast<std::ptrdiff_t>(whole * kPageSize), bytes.end(),
              tail.begin());
    logged_.push_back({ids[whole], tail});
  }
}

Result<void> V2Pager::commit(Wal& wal) {
  if (wrote_unlogged_ && wal.sync_level() != SyncLevel::Off) {
    if (auto r = cache_->sync_file(); !r) {
      rollback();
      return r;
    }
  }
  const std::uint64_t stamp = counter_ + 1;
  V2Header next = header_;
  next.page_count = page_count_;
  next.catalog_root = catalog_root_;
  // Page 0 is logged only when it changes: its page count, its catalog root,
  // or a stamp past its limit. The limit runs ahead of the stamps, so most
  // small calls log no header, and a reopen still starts past every stamp a
  // committed call used.
  if (next.page_count != header_.page_count || next.catalog_root != header_.catalog_root ||
      stamp > header_.change_counter) {
    next.change_counter = stamp + kStampsAhead;
    auto changed =
        cache_->modify_page(0, [&](std::span<std::uint8_t> bytes) { next.encode(bytes); });
    if (!changed) {
      rollback();
      return changed;
    }
  }
  const std::vector<ChangedPage> changed = cache_->changed_pages();
  // Page 0 stays first (changed_pages puts it there); borrowed images last,
  // so they win over any cached copy the unit also changed.
  std::vector<FrameImage> pages;
  pages.reserve(changed.size() + logged_.size());
  for (const ChangedPage& p : changed) pages.push_back({p.id, p.bytes});
  pages.insert(pages.end(), logged_.begin(), logged_.end());
  if (auto r = wal.append_frames(std::span<const FrameImage>(pages)); !r) {
    rollback();
    return r;
  }
  cache_->end_call();
  std::vector<PageId> forgotten;
  for (const FrameImage& p : logged_) forgotten.push_back(p.id);
  cache_->forget(forgotten);
  logged_.clear();
  logged_tails_.clear();
  header_ = next;
  counter_ = stamp;
  for (PageId id : released_) free_.insert(id);
  taken_.clear();
  released_.clear();
  return {};
}

void V2Pager::rollback() {
  cache_->rollback_call();
  logged_.clear();
  logged_tails_.clear();
  for (PageId id : taken_) free_.insert(id);
  taken_.clear();
  released_.clear();
  page_count_ = header_.page_count;
  catalog_root_ = header_.catalog_root;
}

}  // namespace orvane::storage
