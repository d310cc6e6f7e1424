#include "storage/stream.h"

#include <algorithm>
#include <string>

#include "storage/coding.h"
#include "storage/try.h"

namespace orvane::storage {
namespace {

StorageError damaged(PageId root, const std::string& text) {
  return StorageError::invalid_database_file("stream " + std::to_string(root) + ": " + text);
}

// 1 MiB: below it, logging the pages costs less than synchronising the file.
constexpr std::uint64_t kMinStraightPages = 256;

std::uint64_t pages_for(std::uint64_t bytes) { return (bytes + kPageSize - 1) / kPageSize; }

// `bytes` onto the pages `ids` straight to the file: whole pages a run of
// contiguous ids per write, the last, partial page from a padded copy.
// REQUIRES: ids.size() == pages_for(bytes.size()).
Result<void> write_straight(PageCache& cache, std::span<const PageId> ids,
                            std::span<const std::uint8_t> bytes) {
  const std::uint64_t whole = bytes.size() / kPageSize;
  for (std::uint64_t i = 0; i < whole;) {
    std::uint64_t run = 1;
    while (i + run < whole && ids[i + run] == ids[i] + run) ++run;
    if (auto r = cache.write_run(ids[i], bytes.subspan(i * kPageSize, run * kPageSize)); !r) {
      return r;
    }
    i += run;
  }
  if (whole < ids.size()) {
    std::vector<std::uint8_t> last(kPageSize, 0);
    std::copy(bytes.begin() + static_cast<std::ptrdiff_t>(whole * kPageSize), bytes.end(),
              last.begin());
    return cache.write_run(ids.back(), last);
  }
  return {};
}

std::uint64_t dirs_for(std::uint64_t data_pages) {
  return std::max<std::uint64_t>(1, (data_pages + kDirectoryEntries - 1) / kDirectoryEntries);
}

}  // namespace

Result<Stream> Stream::open(V2Pager& pager, PageId root) {
  Stream s;
  if (root == 0) return s;
  s.root_ = root;
  std::uint64_t expected_pages = 0;
  for (PageId dir = root; dir != 0;) {
    // mark_reachable refuses a page seen before, so a looping chain ends here.
    ORVANE_TRY(pager.mark_reachable(dir));
    auto page = pager.cache().fetch_page(dir);
    ORVANE_TRY(page);
    std::shared_lock lock((*page)->mutex());
    const std::uint8_t* p = std::as_const(**page).bytes().data();
    if (get_u32(p) != kDirectoryKind) return std::unexpected(damaged(root, "not a directory page"));
    const std::uint32_t count = get_u32(p + 4);
    const PageId next = get_u64(p + 8);
    if (count > kDirectoryEntries || (next != 0 && count != kDirectoryEntries)) {
      return std::unexpected(damaged(root, "directory entry count " + std::to_string(count)));
    }
    if (dir == root) {
      s.size_ = get_u64(p + 16);
      expected_pages = pages_for(s.size_);
      if (s.size_ > (std::uint64_t{1} << 62)) return std::unexpected(damaged(root, "length"));
    }
    s.dirs_.push_back(dir);
    for (std::uint32_t i = 0; i < count; ++i) s.data_.push_back(get_u64(p + 32 + 8 * i));
    if (s.data_.size() > expected_pages) break;
    dir = next;
  }
  if (s.data_.size() != expected_pages) {
    return std::unexpected(damaged(root, "holds " + std::to_string(s.data_.size()) +
                                             " data pages for " + std::to_string(s.size_) +
                                             " bytes"));
  }
  for (PageId id : s.data_) {
    ORVANE_TRY(pager.mark_reachable(id));
  }
  return s;
}

std::vector<PageId> Stream::pages() const {
  std::vector<PageId> out(dirs_);
  out.insert(out.end(), data_.begin(), data_.end());
  return out;
}

Result<void> Stream::read(PageCache& cache, std::uint64_t offset,
                          std::span<std::uint8_t> out) const {
  if (offset > size_ || out.size() > size_ - offset) {
    return std::unexpected(StorageError::internal("stream read past its end"));
  }
  std::size_t done = 0;
  while (done < out.size()) {
    const std::uint64_t at = offset + done;
    const std::uint64_t in_page = at % kPageSize;
    const std::size_t n = std::min<std::uint64_t>(kPageSize - in_page, out.size() - done);
    auto page = cache.fetch_page(data_[at / kPageSize]);
    ORVANE_TRY(page);
    std::shared_lock lock((*page)->mutex());
    const auto bytes = std::as_const(**page).bytes();
    std::copy_n(bytes.begin() + in_page, n, out.begin() + done);
    done += n;
  }
  return {};
}

Result<void> Stream::read_pages(PageCache& cache, std::uint64_t first, std::uint64_t count,
                                std::span<std::uint8_t> out) const {
  if (first > data_.size() || count > data_.size() - first || out.size() != count * kPageSize) {
    return std::unexpected(StorageError::internal("stream page read past its end"));
  }
  std::uint64_t i = 0;
  while (i < count) {
    std::uint64_t run = 1;
    while (i + run < count && data_[first + i + run] == data_[first + i] + run) ++run;
    if (auto r = cache.read_run(data_[first + i], run, out.subspan(i * kPageSize, run * kPageSize));
        !r) {
      return r;
    }
    i += run;
  }
  return {};
}

Result<void> Stream::write(V2Pager& pager, std::uint64_t offset,
                           std::span<const std::uint8_t> bytes) {
  if (offset > size_ || bytes.size() > size_ - offset) {
    return std::unexpected(StorageError::internal("stream write past its end"));
  }
  std::size_t done = 0;
  while (done < bytes.size()) {
    const std::uint64_t at = offset + done;
    const std::uint64_t in_page = at % kPageSize;
    const std::size_t n = std::min<std::uint64_t>(kPageSize - in_page, bytes.size() - done);
    const PageId id = data_[at / kPageSize];
    const auto chunk = bytes.subspan(done, n);
    // A whole page needs no read of its old bytes.
    if (n == kPageSize) {
      ORVANE_TRY(pager.cache().create_page(id, chunk));
    } else {
      auto r = pager.cache().modify_page(
          id, [&](std::span<std::uint8_t> page) { std::copy(chunk.begin(), chunk.end(), page.begin() + in_page); });
      if (!r) return r;
    }
    done += n;
  }
  return {};
}

std::vector<std::uint8_t> Stream::directory_image(std::size_t index) const {
  std::vector<std::uint8_t> image(kPageSize, 0);
  std::uint8_t* p = image.data();
  const std::uint64_t begin = index * kDirectoryEntries;
  const std::uint64_t end = std::min<std::uint64_t>(begin + kDirectoryEntries, data_.size());
  put_u32(p, kDirectoryKind);
  put_u32(p + 4, static_cast<std::uint32_t>(end > begin ? end - begin : 0));
  put_u64(p + 8, index + 1 < dirs_.size() ? dirs_[index + 1] : 0);
  put_u64(p + 16, index == 0 ? size_ : 0);
  for (std::uint64_t i = begin; i < end; ++i) put_u64(p + 32 + 8 * (i - begin), data_[i]);
  return image;
}

Result<void> Stream::write_directory(V2Pager& pager, std::size_t index) {
  auto r = pager.cache().create_page(dirs_[index], directory_image(index));
  ORVANE_TRY(r);
  return {};
}

Result<Stream> Stream::write_unlogged(V2Pager& pager, std::span<const std::uint8_t> bytes) {
  Stream s;
  if (bytes.empty()) return s;
  if (bytes.size() > (std::uint64_t{1} << 62)) {
    return std::unexpected(StorageError::internal("stream length too large"));
  }
  const std::uint64_t data_pages = pages_for(bytes.size());
  auto ids = pager.allocate_unlogged(dirs_for(data_pages) + data_pages);
  ORVANE_TRY(ids);
  s.size_ = bytes.size();
  s.dirs_.assign(ids->begin(), ids->end() - static_cast<std::ptrdiff_t>(data_pages));
  s.data_.assign(ids->end() - static_cast<std::ptrdiff_t>(data_pages), ids->end());
  s.root_ = s.dirs_.front();
  PageCache& cache = pager.cache();
  ORVANE_TRY(write_straight(cache, s.data_, bytes));
  for (std::size_t i = 0; i < s.dirs_.size(); ++i) {
    ORVANE_TRY(cache.write_run(s.dirs_[i], s.directory_image(i)));
  }
  return s;
}

Result<void> Stream::zero_tail(V2Pager& pager, std::uint64_t from, std::uint64_t old_pages) {
  // Bytes past an old length may hold anything a shorter stream left there.
  const std::uint64_t to = std::min(size_, old_pages * kPageSize);
  if (from >= to) return {};
  const std::vector<std::uint8_t> zero(to - from, 0);
  return write(pager, from, zero);
}

Result<void> Stream::fit_directories(V2Pager& pager, std::uint64_t first_changed) {
  const std::uint64_t old_dirs = dirs_.size();
  const std::uint64_t new_dirs = dirs_for(data_.size());
  while (dirs_.size() > new_dirs) {
    pager.release(dirs_.back());
    dirs_.pop_back();
  }
  while (dirs_.size() < new_dirs) {
    auto id = pager.allocate();
    ORVANE_TRY(id);
    dirs_.push_back(*id);
  }
  root_ = dirs_.front();
  if (auto r = write_directory(pager, 0); !r) return r;
  // The last old directory gains a next link when directories were added.
  const std::uint64_t from = std::max<std::uint64_t>(
      1, std::min<std::uint64_t>(first_changed / kDirectoryEntries,
                                 old_dirs == 0 ? 0 : old_dirs - 1));
  for (std::uint64_t i = from; i < dirs_.size(); ++i) {
    if (auto r = write_directory(pager, i); !r) return r;
  }
  return {};
}

Result<void> Stream::resize(V2Pager& pager, std::uint64_t new_size) {
  if (new_size == size_ && (root_ != 0 || new_size == 0)) return {};
  if (new_size > (std::uint64_t{1} << 62)) {
    return std::unexpected(StorageError::internal("stream length too large"));
  }
  const std::uint64_t new_pages = pages_for(new_size);
  const std::uint64_t first_changed = std::min<std::uint64_t>(data_.size(), new_pages);
  while (data_.size() > new_pages) {
    pager.release(data_.back());
    data_.pop_back();
  }
  while (data_.size() < new_pages) {
    auto id = pager.allocate();
    ORVANE_TRY(id);
    data_.push_back(*id);
  }
  const std::uint64_t old_size = size_;
  const std::uint64_t old_pages = first_changed;
  size_ = new_size;
  if (auto r = fit_directories(pager, first_changed); !r) return r;
  return zero_tail(pager, old_size, old_pages);
}

Result<void> Stream::write_growing(V2Pager& pager, std::uint64_t offset,
                                   std::span<const std::uint8_t> bytes) {
  if (offset > size_ || bytes.size() > (std::uint64_t{1} << 62) - offset) {
    return std::unexpected(StorageError::internal("stream write past its end"));
  }
  const std::uint64_t end = offset + bytes.size();
  const std::uint64_t old_pages = data_.size();
  const std::uint64_t added = end > old_pages * kPageSize ? pages_for(end) - old_pages : 0;
  // Free pages first, so that a file with holes fills them before growing.
  // Pages written straight to the file cost a synchronisation of the file at
  // commit, which a short write would not repay.
  std::uint64_t logged = std::min<std::uint64_t>(added, pager.free_page_count());
  if (added - logged < kMinStraightPages) logged = added;
  for (std::uint64_t i = 0; i < logged; ++i) {
    auto id = pager.allocate();
    ORVANE_TRY(id);
    data_.push_back(*id);
  }
  auto grown = pager.allocate_growth(added - logged);
  ORVANE_TRY(grown);
  data_.insert(data_.end(), grown->begin(), grown->end());
  if (end > size_) {
    const std::uint64_t old_size = size_;
    size_ = data_.size() * kPageSize;
    if (auto r = fit_directories(pager, old_pages); !r) return r;
    if (auto r = zero_tail(pager, std::max(end, old_size), old_pages); !r) return r;
  }

  // Through the cache: everything up to the end of the logged pages.
  const std::uint64_t through_cache =
      std::min<std::uint64_t>(bytes.size(), (old_pages + logged) * kPageSize - offset);
  if (auto r = write(pager, offset, bytes.first(through_cache)); !r) return r;
  // Straight to the file.
  return write_straight(pager.cache(), *grown, bytes.subspan(through_cache));
}

Result<void> Stream::rewrite(V2Pager& pager, std::span<const std::uint8_t> bytes) {
  if (root_ == 0 || bytes.empty()) {
    destroy(pager);
    auto s = write_unlogged(pager, bytes);
    ORVANE_TRY(s);
    *this = std::move(*s);
    return {};
  }
  const std::uint64_t own = data_.size();
  if (pages_for(bytes.size()) <= own) {
    if (auto r = resize(pager, bytes.size()); !r) return r;
    pager.log_pages(data_, bytes);
    return {};
  }
  auto extra = pager.allocate_unlogged(pages_for(bytes.size()) - own);
  ORVANE_TRY(extra);
  data_.insert(data_.end(), extra->begin(), extra->end());
  size_ = bytes.size();
  if (auto r = fit_directories(pager, own); !r) return r;
  const std::uint64_t logged = own * kPageSize;
  pager.log_pages(std::span<const PageId>(data_).first(own), bytes.first(logged));
  return write_straight(pager.cache(), *extra, bytes.subspan(logged));
}

void Stream::destroy(V2Pager& pager) {
  for (PageId id : dirs_) pager.release(id);
  for (PageId id : data_) pager.release(id);
  *this = Stream();
}

}  // namespace orvane::storage
