// Stream: a growable byte array of a format-2 file, laid end to end over
// header-less data pages listed by a chain of directory pages. The root
// directory page never moves, so its id names the stream; root 0 is an empty
// stream that has no page yet (its first growth allocates the root).
//
// Directory page:
//   offset size  field
//   0      4     kind 0x52494453 ("SDIR")
//   4      4     entry_count: data page ids in this page (<= 508; 508 unless last)
//   8      8     next directory page (0 = last)
//   16     8     byte_length of the stream (root only; 0 elsewhere)
//   24     8     zero
//   32     8*508 data page ids, in stream order
//
// Byte o of the stream lives in data page o / 4096 (counted over the chain)
// at o % 4096; the stream owns exactly ceil(byte_length / 4096) data pages.
//
// A Stream object is a value: the engine copies it, changes the copy inside a
// call unit and keeps the copy only when the unit commits.
// Thread-safety: const methods may run concurrently; changes need the
// engine's write mutex and a unit open on the pager.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "storage/errors.h"
#include "storage/v2_pager.h"

namespace orvane::storage {

inline constexpr std::uint32_t kDirectoryKind = 0x52494453;
inline constexpr std::uint64_t kDirectoryEntries = 508;
inline constexpr std::uint64_t kDirectoryHeaderSize = 32;
static_assert(kDirectoryHeaderSize + 8 * kDirectoryEntries == 4096);

class Stream {
 public:
  Stream() = default;

  // Reads the directory chain of `root` (0: an empty stream), checks it and
  // marks its pages reachable in the pager. "invalid database file: ..."
  // for a damaged chain.
  [[nodiscard]] static Result<Stream> open(V2Pager& pager, PageId root);

  // A new stream holding `bytes`, written straight to the database file
  // (one write per run of contiguous pages) and logged nowhere: its pages
  // come from V2Pager::allocate_unlogged in the open unit. It exists only
  // once a committed unit names its root; before that commit the caller
  // synchronises the file, so a root that survives a crash finds its bytes.
  // REQUIRES: a unit open, no change to any page of the cache pending in it
  // that the file lacks (the log just checkpointed).
  [[nodiscard]] static Result<Stream> write_unlogged(V2Pager& pager,
                                                     std::span<const std::uint8_t> bytes);

  // Replaces the whole stream by `bytes` in place, so that the file holds
  // one copy of it, not an old one beside a new one: its own data pages are
  // logged with the unit straight from `bytes` (V2Pager::log_pages: their
  // committed bytes stay in the file until the unit commits, and no copy
  // enters the cache); pages past them come from V2Pager::allocate_unlogged
  // and are written straight to the file; pages it no longer needs are
  // released. The root stays unless the stream was empty. REQUIRES: as
  // write_unlogged, and `bytes` lives until the unit commits or rolls back.
  [[nodiscard]] Result<void> rewrite(V2Pager& pager, std::span<const std::uint8_t> bytes);

  PageId root() const { return root_; }
  std::uint64_t size() const { return size_; }
  // Directory pages then data pages.
  std::vector<PageId> pages() const;
  std::uint64_t data_page_count() const { return data_.size(); }

  // REQUIRES: offset + out.size() <= size().
  [[nodiscard]] Result<void> read(PageCache& cache, std::uint64_t offset,
                                  std::span<std::uint8_t> out) const;
  // Whole data pages [first, first + count) with one read per run of
  // contiguous page ids, bypassing the cache's table (see read_run).
  // REQUIRES: first + count <= data_page_count(), out.size() == count * 4096.
  [[nodiscard]] Result<void> read_pages(PageCache& cache, std::uint64_t first, std::uint64_t count,
                                        std::span<std::uint8_t> out) const;

  // Unit operations. REQUIRES: offset + bytes.size() <= size().
  [[nodiscard]] Result<void> write(V2Pager& pager, std::uint64_t offset,
                                   std::span<const std::uint8_t> bytes);
  // Grows (new bytes are zero) or shrinks the stream.
  [[nodiscard]] Result<void> resize(V2Pager& pager, std::uint64_t new_size);
  // Writes `bytes` at `offset` (<= size()), growing the stream by whole
  // pages (its length becomes a multiple of 4096) to hold what lies past its
  // end. Bytes up to the old last page go through the cache, and new pages
  // come from the pager's free pages as resize() takes them; the rest goes
  // onto pages past the file's end (V2Pager::allocate_growth), written
  // straight to the file a run of contiguous pages per write, without a
  // copy in the cache or the log.
  [[nodiscard]] Result<void> write_growing(V2Pager& pager, std::uint64_t offset,
                                           std::span<const std::uint8_t> bytes);
  // Releases every page; the stream becomes empty with root 0.
  void destroy(V2Pager& pager);

 private:
  // Directory page `index` of the chain, as its bytes.
  std::vector<std::uint8_t> directory_image(std::size_t index) const;
  [[nodiscard]] Result<void> write_directory(V2Pager& pager, std::size_t index);
  // Directories for data_.size() pages; rewrites the root (it holds the
  // length) and every directory from the one holding data page `first_changed`.
  [[nodiscard]] Result<void> fit_directories(V2Pager& pager, std::uint64_t first_changed);
  // Zeroes bytes [from, end of the stream's first `old_pages` pages) that the
  // stream now holds: its old last page's tail after a growth.
  [[nodiscard]] Result<void> zero_tail(V2Pager& pager, std::uint64_t from, std::uint64_t old_pages);

  PageId root_ = 0;
  std::uint64_t size_ = 0;
  std::vector<PageId> dirs_;  // dirs_[0] == root_ when not empty
  std::vector<PageId> data_;
};

}  // namespace orvane::storage
