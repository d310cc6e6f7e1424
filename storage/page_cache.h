// PageCache: owns the open database file and a table of shared pages.
//
// Invariants:
//  1. A page id maps to at most one Page object in the table; a fetch miss
//     re-checks the table under the exclusive lock and returns the page that
//     is already there instead of entering a second copy.
//  2. Page 0 is never evicted; a dirty page is never evicted; a page that a
//     caller still holds (use_count > 1) is never evicted.
//  3. `dirty` is never cleared: once changed, a page is rewritten by every
//     flush that covers it.
//  4. Lock order: table lock, then page lock, then file lock.
//
// Call units (crash safety): between begin_call() and end_call()/rollback_call()
// the cache remembers every page changed (append_record, write_header,
// allocate_page) together with its bytes before the first change, so that the
// engine can log the changed pages as one unit or undo the call.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "storage/errors.h"
#include "storage/file.h"
#include "storage/header_format.h"
#include "storage/types.h"

namespace orvane::storage {

class Page {
 public:
  Page(PageId id, std::vector<std::uint8_t> bytes) : id_(id), bytes_(std::move(bytes)) {}
  PageId id() const { return id_; }
  // REQUIRES: mutex() held (shared to read, exclusive to change).
  std::span<std::uint8_t> bytes() { return bytes_; }
  std::span<const std::uint8_t> bytes() const { return bytes_; }
  bool dirty() const { return dirty_; }
  void mark_dirty() { dirty_ = true; }
  std::shared_mutex& mutex() const { return mutex_; }

 private:
  const PageId id_;
  std::vector<std::uint8_t> bytes_;
  bool dirty_ = false;
  mutable std::shared_mutex mutex_;
};

// One changed page of a call unit: its id and its current bytes.
struct ChangedPage {
  PageId id;
  std::vector<std::uint8_t> bytes;
};

class PageCache {
 public:
  PageCache(std::string path, std::unique_ptr<File> file, std::uint32_t page_size = kPageSize,
            std::uint64_t capacity = kCacheCapacity);
  ~PageCache();  // flush_all (outcome discarded), then closes the file
  PageCache(const PageCache&) = delete;
  PageCache& operator=(const PageCache&) = delete;

  const std::string& path() const { return path_; }
  std::uint32_t page_size() const { return page_size_; }
  std::uint64_t capacity() const { return capacity_; }
  std::size_t cached_page_count() const;

  [[nodiscard]] Result<std::shared_ptr<Page>> fetch_page(PageId id);
  // Enters a page into the table (not dirty), as the open does with a new page 0.
  void insert_clean_page(PageId id, std::vector<std::uint8_t> bytes);
  [[nodiscard]] Result<void> write_page(PageId id, std::span<const std::uint8_t> bytes);
  // Refuses page 0 (returns false: it would overwrite the database header).
  [[nodiscard]] Result<bool> append_record(PageId id, std::span<const std::uint8_t> record,
                                           std::optional<std::uint16_t> explicit_slot = {});
  // Replaces a page's bytes wholesale and marks it dirty (edge snapshots).
  [[nodiscard]] Result<void> replace_page(PageId id, std::span<const std::uint8_t> bytes);
  // Hands out max(next_page_id, pages in the file) so a stale header never reuses a page.
  [[nodiscard]] Result<PageId> allocate_page(std::uint8_t page_type);
  [[nodiscard]] Result<DatabaseHeader> read_header();
  [[nodiscard]] Result<void> write_header(const DatabaseHeader& header);
  [[nodiscard]] Result<void> flush_page(PageId id);
  [[nodiscard]] Result<void> flush_all();
  [[nodiscard]] Result<std::uint64_t> file_size();

  // Call units.
  void begin_call();
  std::vector<ChangedPage> changed_pages() const;  // in first-change order
  void end_call();                                  // forget the unit
  void rollback_call();                             // restore before-images, forget

 private:
  // ... implementation-defined members
  struct Impl;
  std::unique_ptr<Impl> impl_;
  std::string path_;
  std::uint32_t page_size_;
  std::uint64_t capacity_;
};

}  // namespace orvane::storage
