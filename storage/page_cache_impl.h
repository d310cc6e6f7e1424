// PageCache's state, shared by the files that implement it (page_cache.cc:
// the table, classic pages and call units; page_cache_runs.cc: format 2's
// whole pages and runs). Not part of the storage library's interface.
#pragma once

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "storage/page.h"
#include "storage/page_cache.h"
#include "storage/random.h"

namespace orvane::storage {

namespace page_cache_detail {

// Random per cache so that the table's iteration order (and thus the choice of
// evicted page) carries no meaning anyone could come to rely on.
struct IdHash {
  std::uint64_t seed;
  std::size_t operator()(PageId id) const {
    std::uint64_t x = id ^ seed;
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdULL;
    x ^= x >> 33;
    x *= 0xc4ceb9fe1a85ec53ULL;
    x ^= x >> 33;
    return static_cast<std::size_t>(x);
  }
};

// A change of the page before which it was first seen in the current unit.
struct UnitEntry {
  std::shared_ptr<Page> page;
  std::vector<std::uint8_t> before;
};

}  // namespace page_cache_detail

struct PageCache::Impl {
  explicit Impl(std::unique_ptr<File> f)
      : table(64, page_cache_detail::IdHash{thread_random_next()}), file(std::move(f)) {}

  mutable std::shared_mutex table_mutex;
  std::unordered_map<PageId, std::shared_ptr<Page>, page_cache_detail::IdHash> table;
  std::mutex file_mutex;
  std::unique_ptr<File> file;

  std::atomic<bool> recording{false};
  std::atomic<bool> abandoned{false};
  mutable std::mutex unit_mutex;
  std::vector<page_cache_detail::UnitEntry> unit;
  std::unordered_set<PageId> unit_ids;  // ids of `unit`, for a constant-time check
  // Ids that may be evicted, oldest first: every page entered clean and every
  // page made clean. An entry may be stale (evicted, dirty again, or held by
  // a caller); evict_once skips those, so no scan ever walks dirty pages.
  std::deque<PageId> candidates;  // guarded by table_mutex
  // Set when no candidate could be evicted; cleared when one may have
  // appeared. Saves a pass over held pages per insertion.
  bool nothing_to_evict = false;  // guarded by table_mutex

  // REQUIRES: the page's lock held exclusively, before the change is made.
  void note_change(const std::shared_ptr<Page>& page) {
    if (!recording.load(std::memory_order_relaxed)) return;
    std::lock_guard lock(unit_mutex);
    if (!unit_ids.insert(page->id()).second) return;
    const auto bytes = std::as_const(*page).bytes();
    unit.push_back({page, std::vector<std::uint8_t>(bytes.begin(), bytes.end())});
  }

  // REQUIRES: table_mutex held exclusively.
  void add_candidate(PageId id) {
    nothing_to_evict = false;
    if (id == 0) return;
    // Stale entries pile up only as fast as pages come and go; rebuild
    // before they outnumber the table.
    if (candidates.size() > 2 * table.size() + 64) {
      candidates.clear();
      for (const auto& [cached, page] : table) {
        if (cached != 0) candidates.push_back(cached);
      }
    }
    candidates.push_back(id);
  }

  // REQUIRES: table_mutex held exclusively.
  void evict_once() {
    for (std::size_t tries = candidates.size(); tries > 0; --tries) {
      const PageId id = candidates.front();
      candidates.pop_front();
      auto it = table.find(id);
      if (it == table.end()) continue;
      if (it->second.use_count() > 1) {
        candidates.push_back(id);  // a caller holds it: later
        continue;
      }
      std::shared_lock page_lock(it->second->mutex());
      if (it->second->dirty()) continue;  // queued again when made clean
      page_lock.unlock();
      table.erase(it);
      return;
    }
    nothing_to_evict = true;
  }
};


}  // namespace orvane::storage
