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
// the cache remembers every page changed (append_record that fitted,
// replace_page, write_header, and allocate_page: the new page and page 0)
// together with its bytes before the first change, so that the engine can log
// the changed pages as one unit or undo the call. A page in the unit is held
// by it and so never evicted. One unit at a time: the caller serialises
// units and the changes made inside them. Cost: one page copy per page on its
// first change in a unit; nothing outside a unit.
//
// Thread-safety: every operation may be called from any thread.
// Cost: a hit is one shared lock and one reference-count increment; a miss
// reads one page; an insertion at capacity scans the table for a clean page.
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
#include "storage/try.h"
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
  // REQUIRES: mutex() held exclusively; the file holds these bytes.
  void mark_clean() { dirty_ = false; }
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
  // Takes ownership of an open file. REQUIRES: page_size >= 1040 (a slotted
  // page's header and directory; page 0's 100-byte header fits too).
  PageCache(std::string path, std::unique_ptr<File> file, std::uint32_t page_size = kPageSize,
            std::uint64_t capacity = kCacheCapacity);
  ~PageCache();  // flush_all (outcome discarded) unless abandoned, then closes the file
  PageCache(const PageCache&) = delete;
  PageCache& operator=(const PageCache&) = delete;

  const std::string& path() const { return path_; }
  std::uint32_t page_size() const { return page_size_; }
  std::uint64_t capacity() const { return capacity_; }
  std::size_t cached_page_count() const;

  // The cached page, or the page read from the file (end of file first is
  // "failed to fill whole buffer"; nothing is cached then).
  [[nodiscard]] Result<std::shared_ptr<Page>> fetch_page(PageId id);
  // Enters a page into the table (not dirty), as the open does with a new page 0.
  void insert_clean_page(PageId id, std::vector<std::uint8_t> bytes);
  // Writes to the file at once (growing it by whole pages); the table is not touched.
  [[nodiscard]] Result<void> write_page(PageId id, std::span<const std::uint8_t> bytes);
  // Refuses page 0 (returns false: it would overwrite the database header).
  [[nodiscard]] Result<bool> append_record(PageId id, std::span<const std::uint8_t> record,
                                           std::optional<std::uint16_t> explicit_slot = {});
  // Replaces a page's bytes wholesale and marks it dirty (edge snapshots).
  // The image must be page_size bytes.
  [[nodiscard]] Result<void> replace_page(PageId id, std::span<const std::uint8_t> bytes);
  // Hands out the first page past the end of the file (a partial last page
  // counts as a page; never page 0): next_page_id when the header is current;
  // a stale header never reuses a page and a damaged one never grows the file
  // beyond one page. Writes the new page to the file at once; next_page_id
  // changes in the cached page 0 only.
  // Not atomic: the caller serialises allocations.
  [[nodiscard]] Result<PageId> allocate_page(std::uint8_t page_type);
  [[nodiscard]] Result<DatabaseHeader> read_header();
  [[nodiscard]] Result<void> write_header(const DatabaseHeader& header);
  [[nodiscard]] Result<void> flush_page(PageId id);
  [[nodiscard]] Result<void> flush_all();
  [[nodiscard]] Result<std::uint64_t> file_size();
  // Synchronises the database file (File::sync).
  [[nodiscard]] Result<void> sync_file();
  // Format-2 pages. create_page enters a page with the given image without
  // reading the file (a new page, or a free one whose old bytes mean nothing)
  // and records it in the current unit, so its image is logged; an id that is
  // cached already keeps its Page object. The image must be page_size bytes.
  [[nodiscard]] Result<std::shared_ptr<Page>> create_page(PageId id,
                                                          std::span<const std::uint8_t> bytes);
  // Changes bytes of a page inside the current unit: `change` gets the page's
  // bytes with its lock held exclusively. Marks the page dirty.
  template <class F>
  [[nodiscard]] Result<void> modify_page(PageId id, F&& change) {
    auto page = fetch_page(id);
    ORVANE_TRY(page);
    std::unique_lock lock((*page)->mutex());
    note_change(*page);
    change((*page)->bytes());
    (*page)->mark_dirty();
    return {};
  }
  // After a checkpoint the file holds every committed page: every page
  // becomes clean, and clean pages are evicted down to capacity.
  // REQUIRES: no unit open.
  void mark_all_clean();
  // Reads `count` pages starting at `first` into `out` with one read of the
  // file, then overlays those that the table holds dirty. For loading: no
  // page is entered into the table.
  [[nodiscard]] Result<void> read_run(PageId first, std::uint64_t count,
                                      std::span<std::uint8_t> out);
  // Writes whole pages starting at `first` with one write of the file,
  // outside any unit: for pages no committed state names yet (a graph
  // snapshot going into free pages). A cached copy of any of them is dropped,
  // so no stale image is served or flushed over the new bytes.
  // REQUIRES: no unit open, none of the pages dirty in the table.
  [[nodiscard]] Result<void> write_run(PageId first, std::span<const std::uint8_t> pages);

  // From now on the destructor writes nothing and takes no lock: for a
  // process that must not touch the file, such as a child forked from the
  // owner (another thread of the parent may have held a lock at the fork).
  void abandon();
  // Drops the pages from the table: their newest images were logged from
  // elsewhere (V2Pager::log_pages), and the file has them after the next
  // checkpoint. REQUIRES: nothing reads them before that checkpoint.
  void forget(std::span<const PageId> ids);

  // Call units.
  void begin_call();
  // Current images of the unit's pages in first-change order, except that
  // page 0 (if changed) comes first.
  std::vector<ChangedPage> changed_pages() const;
  void end_call();  // forget the unit
  // Puts every page of the unit back to its bytes before its first change
  // (dirty stays set), then forgets the unit. A page the unit allocated keeps
  // its new image, which the file already holds.
  void rollback_call();

 private:
  struct Impl;
  void note_change(const std::shared_ptr<Page>& page);
  std::unique_ptr<Impl> impl_;
  std::string path_;
  std::uint32_t page_size_;
  std::uint64_t capacity_;
};

}  // namespace orvane::storage
