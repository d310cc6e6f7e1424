// Page cache. States of a cached page:
//
//   (file) --fetch miss / allocate--> clean --append/replace/write_header--> dirty
//   clean --evicted (not page 0, not held by a caller)--> (dropped)
//   dirty stays dirty and cached until the cache is destroyed.
//
// Invariants (see page_cache.h): one Page object per id in the table; page 0,
// dirty pages and pages a caller holds are never evicted; lock order is table
// lock, page lock, file lock, with the call-unit mutex innermost of all.
#include "storage/page_cache.h"

#include <algorithm>
#include <atomic>
#include <deque>
#include <limits>
#include <unordered_set>
#include <utility>

#include "storage/page.h"
#include "storage/random.h"

namespace orvane::storage {
namespace {

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

}  // namespace

struct PageCache::Impl {
  explicit Impl(std::unique_ptr<File> f)
      : table(64, IdHash{thread_random_next()}), file(std::move(f)) {}

  mutable std::shared_mutex table_mutex;
  std::unordered_map<PageId, std::shared_ptr<Page>, IdHash> table;
  std::mutex file_mutex;
  std::unique_ptr<File> file;

  std::atomic<bool> recording{false};
  std::atomic<bool> abandoned{false};
  mutable std::mutex unit_mutex;
  std::vector<UnitEntry> unit;
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

void PageCache::note_change(const std::shared_ptr<Page>& page) { impl_->note_change(page); }

PageCache::PageCache(std::string path, std::unique_ptr<File> file, std::uint32_t page_size,
                     std::uint64_t capacity)
    : impl_(std::make_unique<Impl>(std::move(file))),
      path_(std::move(path)),
      page_size_(page_size),
      capacity_(capacity) {}

PageCache::~PageCache() {
  if (!impl_->abandoned.load(std::memory_order_acquire)) (void)flush_all();
}

void PageCache::abandon() { impl_->abandoned.store(true, std::memory_order_release); }

std::size_t PageCache::cached_page_count() const {
  std::shared_lock lock(impl_->table_mutex);
  return impl_->table.size();
}

Result<std::shared_ptr<Page>> PageCache::fetch_page(PageId id) {
  {
    std::shared_lock lock(impl_->table_mutex);
    if (auto it = impl_->table.find(id); it != impl_->table.end()) return it->second;
  }
  // A page past the largest addressable offset cannot be in the file.
  if (id > (std::numeric_limits<std::uint64_t>::max() / page_size_) - 1) {
    return std::unexpected(StorageError::io_unexpected_eof());
  }
  std::vector<std::uint8_t> bytes(page_size_, 0);
  {
    std::lock_guard lock(impl_->file_mutex);
    if (auto r = impl_->file->read_exact_at(id * page_size_, bytes); !r) {
      return std::unexpected(r.error());
    }
  }
  std::unique_lock lock(impl_->table_mutex);
  // Another thread may have loaded the same page meanwhile: keep its copy so
  // that no change is ever made to a page the table no longer knows.
  if (auto it = impl_->table.find(id); it != impl_->table.end()) return it->second;
  if (impl_->table.size() >= capacity_ && !impl_->nothing_to_evict) impl_->evict_once();
  auto page = std::make_shared<Page>(id, std::move(bytes));
  impl_->table.emplace(id, page);
  impl_->add_candidate(id);
  return page;
}

void PageCache::insert_clean_page(PageId id, std::vector<std::uint8_t> bytes) {
  auto page = std::make_shared<Page>(id, std::move(bytes));
  std::unique_lock lock(impl_->table_mutex);
  if (impl_->table.size() >= capacity_ && !impl_->nothing_to_evict && !impl_->table.contains(id)) {
    impl_->evict_once();
  }
  impl_->table.insert_or_assign(id, std::move(page));
  impl_->add_candidate(id);
}

Result<void> PageCache::write_page(PageId id, std::span<const std::uint8_t> bytes) {
  constexpr std::uint64_t kMaxLength = std::numeric_limits<std::int64_t>::max();
  if (id >= kMaxLength / page_size_) return std::unexpected(StorageError::io_errno(EFBIG));
  const std::uint64_t offset = id * page_size_;
  std::lock_guard lock(impl_->file_mutex);
  auto size = impl_->file->size();
  if (!size) return std::unexpected(size.error());
  // Grow by whole pages so that any skipped page reads back as zeros.
  if (*size < offset + page_size_) {
    if (auto r = impl_->file->truncate(offset + page_size_); !r) return r;
  }
  return impl_->file->write_all_at(offset, bytes);
}

Result<bool> PageCache::append_record(PageId id, std::span<const std::uint8_t> record,
                                      std::optional<std::uint16_t> explicit_slot) {
  if (id == 0) return false;  // would overwrite the database header
  auto page = fetch_page(id);
  if (!page) return std::unexpected(page.error());
  std::unique_lock lock((*page)->mutex());
  if (!append_fits((*page)->bytes(), record.size(), explicit_slot)) return false;
  impl_->note_change(*page);
  append_to_page((*page)->bytes(), record, explicit_slot);
  (*page)->mark_dirty();
  return true;
}

Result<void> PageCache::replace_page(PageId id, std::span<const std::uint8_t> bytes) {
  if (bytes.size() != page_size_) {
    return std::unexpected(StorageError::internal("page image of " + std::to_string(bytes.size()) +
                                                  " bytes, expected " +
                                                  std::to_string(page_size_)));
  }
  auto page = fetch_page(id);
  if (!page) return std::unexpected(page.error());
  std::unique_lock lock((*page)->mutex());
  impl_->note_change(*page);
  std::copy(bytes.begin(), bytes.end(), (*page)->bytes().begin());
  (*page)->mark_dirty();
  return {};
}

Result<PageId> PageCache::allocate_page(std::uint8_t page_type) {
  std::vector<std::uint8_t> image = new_page_image(page_type);
  image.resize(page_size_, 0);
  auto size = file_size();
  if (!size) return std::unexpected(size.error());
  // Every allocation writes its page at once, so no page that holds data is
  // handed out again; a damaged next_page_id cannot grow the file.
  const PageId id = next_new_page(*size, page_size_);
  if (auto r = write_page(id, image); !r) return std::unexpected(r.error());

  auto page = std::make_shared<Page>(id, image);
  {
    std::unique_lock lock(impl_->table_mutex);
    if (impl_->table.size() >= capacity_ && !impl_->nothing_to_evict &&
        !impl_->table.contains(id)) {
      impl_->evict_once();
    }
    impl_->table.insert_or_assign(id, page);
    impl_->add_candidate(id);
  }
  // The new page is part of the unit so that its image is logged; its
  // before-image is the image just written, so a rollback leaves it as is.
  {
    std::unique_lock page_lock(page->mutex());
    impl_->note_change(page);
  }

  auto header = read_header();
  if (!header) return std::unexpected(header.error());
  header->next_page_id = id + 1;
  if (auto r = write_header(*header); !r) return std::unexpected(r.error());
  return id;
}

Result<DatabaseHeader> PageCache::read_header() {
  auto page = fetch_page(0);
  if (!page) return std::unexpected(page.error());
  std::shared_lock lock((*page)->mutex());
  return DatabaseHeader::decode(std::as_const(**page).bytes().data());
}

Result<void> PageCache::write_header(const DatabaseHeader& header) {
  auto page = fetch_page(0);
  if (!page) return std::unexpected(page.error());
  std::unique_lock lock((*page)->mutex());
  impl_->note_change(*page);
  header.encode((*page)->bytes().data());
  (*page)->mark_dirty();
  return {};
}

Result<void> PageCache::flush_page(PageId id) {
  std::shared_lock table_lock(impl_->table_mutex);
  auto it = impl_->table.find(id);
  if (it == impl_->table.end()) return {};
  const Page& page = *it->second;
  std::shared_lock page_lock(page.mutex());
  if (!page.dirty()) return {};
  return write_page(id, page.bytes());
}

Result<void> PageCache::flush_all() {
  std::shared_lock table_lock(impl_->table_mutex);
  for (const auto& [id, ptr] : impl_->table) {
    const Page& page = *ptr;
    std::shared_lock page_lock(page.mutex());
    if (!page.dirty()) continue;
    if (auto r = write_page(id, page.bytes()); !r) return r;
  }
  return {};
}

Result<std::uint64_t> PageCache::file_size() {
  std::lock_guard lock(impl_->file_mutex);
  return impl_->file->size();
}

Result<void> PageCache::sync_file() {
  std::lock_guard lock(impl_->file_mutex);
  return impl_->file->sync();
}

void PageCache::begin_call() {
  std::lock_guard lock(impl_->unit_mutex);
  impl_->unit.clear();
  impl_->unit_ids.clear();
  impl_->recording.store(true, std::memory_order_relaxed);
}

std::vector<ChangedPage> PageCache::changed_pages() const {
  std::vector<std::shared_ptr<Page>> pages;
  {
    std::lock_guard lock(impl_->unit_mutex);
    pages.reserve(impl_->unit.size());
    for (const auto& e : impl_->unit) pages.push_back(e.page);
  }
  // The header goes first: a replay that refuses a call's header frame then
  // stops before any other page of that call.
  std::stable_partition(pages.begin(), pages.end(),
                        [](const std::shared_ptr<Page>& p) { return p->id() == 0; });
  std::vector<ChangedPage> out;
  out.reserve(pages.size());
  for (const auto& p : pages) {
    std::shared_lock lock(p->mutex());
    const auto bytes = std::as_const(*p).bytes();
    out.push_back({p->id(), std::vector<std::uint8_t>(bytes.begin(), bytes.end())});
  }
  return out;
}

void PageCache::end_call() {
  std::lock_guard lock(impl_->unit_mutex);
  impl_->recording.store(false, std::memory_order_relaxed);
  impl_->unit.clear();
  impl_->unit_ids.clear();
}

void PageCache::rollback_call() {
  std::vector<UnitEntry> unit;
  {
    std::lock_guard lock(impl_->unit_mutex);
    impl_->recording.store(false, std::memory_order_relaxed);
    unit.swap(impl_->unit);
    impl_->unit_ids.clear();
  }
  for (auto& e : unit) {
    std::unique_lock lock(e.page->mutex());
    std::copy(e.before.begin(), e.before.end(), e.page->bytes().begin());
  }
}

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
