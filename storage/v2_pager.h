// V2Pager: page allocation and call units of a format-2 file, over the page
// cache and the log.
//
// Free pages are not stored: the open marks every page reachable from the
// header (mark_reachable), and every other page below page_count is free.
// Allocation takes the lowest free page, else page_count (which grows).
//
// A call unit: begin(), then allocate/release/page changes through the cache,
// then commit(wal) or rollback(). Pages released in a unit become free only
// when it commits, so a rolled-back unit never loses a page that still holds
// committed data; pages allocated in a unit return to the free set when it
// rolls back. commit logs every changed page as one call, page 0 among them
// when the header changes (page_count, catalog_root, or the stamp limit).
//
// Thread-safety: none; the engine's write mutex serialises units and the
// open. Reads through cache() may run concurrently with a unit.
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <vector>

#include "storage/errors.h"
#include "storage/page_cache.h"
#include "storage/v2_header.h"
#include "storage/wal.h"

namespace orvane::storage {

class V2Pager {
 public:
  V2Pager(std::shared_ptr<PageCache> cache, V2Header header);

  PageCache& cache() { return *cache_; }
  const std::shared_ptr<PageCache>& shared_cache() const { return cache_; }
  // The header as last committed.
  const V2Header& header() const { return header_; }
  // Pages of the file, counting those allocated by the open unit.
  std::uint64_t page_count() const { return page_count_; }
  std::uint64_t free_page_count() const { return free_.size(); }

  // Open: marks a page used. "invalid database file" for page 0, a page at
  // or past page_count, or one marked twice (two owners).
  [[nodiscard]] Result<void> mark_reachable(PageId id);
  // Open: every page below page_count that was not marked becomes free.
  void finish_open();

  void begin();
  // A zeroed page entered into the unit: the lowest free page, else a new
  // one at page_count. Page ids stay below 2^32 (the log's frame field).
  [[nodiscard]] Result<PageId> allocate();
  // Page ids for pages written straight to the file, outside the cache and
  // the log (PageCache::write_run): taken like allocate(), lowest free first,
  // and returned to the free set if the unit rolls back, but entered into
  // neither the cache nor the unit.
  [[nodiscard]] Result<std::vector<PageId>> allocate_unlogged(std::uint64_t count);
  // `count` contiguous new page ids past every committed page, for pages
  // written straight to the file (PageCache::write_run): no committed state
  // names them, so an unfinished unit or a lost commit leaves only unused
  // bytes past the file's pages. Not entered into the cache or the unit.
  [[nodiscard]] Result<std::vector<PageId>> allocate_growth(std::uint64_t count);
  // Logs whole-page images of pages the unit owns with the unit's commit,
  // without a copy in the cache: `bytes` (a multiple of the page size, or
  // the last page short and taken as zero-padded) stays the caller's and
  // must live until commit or rollback. For rewriting large committed
  // streams in place; nothing may read those pages before the checkpoint
  // that follows the commit.
  void log_pages(std::span<const PageId> ids, std::span<const std::uint8_t> bytes);
  // Frees a page when the unit commits.
  void release(PageId id);
  void set_catalog_root(PageId root) { catalog_root_ = root; }
  PageId catalog_root() const { return catalog_root_; }
  // The stamp the open unit commits with: larger than every stamp a
  // committed call used, in this run or an earlier one (the header's
  // change_counter is a limit up to kStampsAhead past the last stamp).
  std::uint64_t unit_counter() const { return counter_ + 1; }
  static constexpr std::uint64_t kStampsAhead = 1024;
  // Logs the unit; on failure rolls it back and returns the error. A unit
  // that wrote pages straight to the file synchronises the file first
  // (unless the log's level is off), so that a commit that survives a power
  // cut finds those pages' bytes.
  [[nodiscard]] Result<void> commit(Wal& wal);
  void rollback();

 private:
  std::shared_ptr<PageCache> cache_;
  V2Header header_;
  std::uint64_t page_count_;
  PageId catalog_root_;
  std::set<PageId> free_;
  std::vector<bool> marked_;  // open only
  std::vector<PageId> taken_;     // from free_ by the open unit
  std::vector<PageId> released_;  // by the open unit
  bool wrote_unlogged_ = false;   // by the open unit
  std::vector<FrameImage> logged_;            // log_pages of the open unit
  // log_pages' zero-padded short pages, one buffer each (a unit may log
  // several streams).
  std::vector<std::vector<std::uint8_t>> logged_tails_;
  std::uint64_t counter_;         // the last committed call's stamp
};

}  // namespace orvane::storage
