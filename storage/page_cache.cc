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
#include <limits>

#include "storage/page_cache_impl.h"
#include "storage/try.h"

namespace orvane::storage {

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
    ORVANE_TRY(impl_->file->read_exact_at(id * page_size_, bytes));
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
  ORVANE_TRY(size);
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
  ORVANE_TRY(page);
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
  ORVANE_TRY(page);
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
  ORVANE_TRY(size);
  // Every allocation writes its page at once, so no page that holds data is
  // handed out again; a damaged next_page_id cannot grow the file.
  const PageId id = next_new_page(*size, page_size_);
  ORVANE_TRY(write_page(id, image));

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
  ORVANE_TRY(header);
  header->next_page_id = id + 1;
  ORVANE_TRY(write_header(*header));
  return id;
}

Result<DatabaseHeader> PageCache::read_header() {
  auto page = fetch_page(0);
  ORVANE_TRY(page);
  std::shared_lock lock((*page)->mutex());
  return DatabaseHeader::decode(std::as_const(**page).bytes().data());
}

Result<void> PageCache::write_header(const DatabaseHeader& header) {
  auto page = fetch_page(0);
  ORVANE_TRY(page);
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
  std::vector<page_cache_detail::UnitEntry> unit;
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

}  // namespace orvane::storage
