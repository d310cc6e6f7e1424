// The log object: opening, header checks and reading frames. Writing frames
// is in wal_writer.cc, checkpoint and replay in checkpoint.cc.
#include "storage/wal.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "storage/coding.h"
#include "storage/header_format.h"
#include "storage/random.h"
#include "storage/try.h"

namespace orvane::storage {
namespace {

std::string hex8(std::uint32_t v) {
  char buf[9];
  std::snprintf(buf, sizeof buf, "%08X", v);
  return buf;
}

// Calls on_frame(page_id, frame_tag, offset, image) for each valid frame in
// file order; stops quietly at the first frame that is cut short or whose
// checksums do not match. on_frame may move the image out.
template <class OnFrame>
Result<void> walk_frames(File& file, std::uint32_t page_size, std::uint32_t salt1,
                         std::uint32_t salt2, OnFrame&& on_frame) {
  auto size = file.size();
  ORVANE_TRY(size);
  const std::uint64_t s = *size;
  const std::uint64_t frame = kWalFrameHeaderSize + page_size;
  // Read a batch of frames at a time: a checkpoint or an open reads the log
  // once, sequentially, instead of two small reads per frame.
  constexpr std::uint64_t kBatchFrames = 256;
  std::vector<std::uint8_t> batch;
  std::vector<std::uint8_t> image;
  for (std::uint64_t p = kWalHeaderSize; p + frame <= s;) {
    const std::uint64_t count = std::min(kBatchFrames, (s - p) / frame);
    batch.resize(count * frame);
    if (auto r = file.read_exact_at(p, batch); !r) return r;
    for (std::uint64_t i = 0; i < count; ++i, p += frame) {
      const std::uint8_t* fh = batch.data() + i * frame;
      image.assign(fh + kWalFrameHeaderSize, fh + frame);
      const std::uint32_t page_id = get_u32(fh);
      const auto [c1, c2] = frame_checksums(page_id, salt1, salt2, image);
      if (c1 != get_u32(fh + 20) || c2 != get_u32(fh + 24)) return {};
      on_frame(page_id, get_u64(fh + 4), p, image);
    }
  }
  return {};
}

}  // namespace

Wal::Wal(std::string path, std::uint32_t page_size, std::uint64_t checkpoint_threshold)
    : path_(std::move(path)), page_size_(page_size), checkpoint_threshold_(checkpoint_threshold) {
  salt1_ = static_cast<std::uint32_t>(thread_random_next());
  salt2_ = static_cast<std::uint32_t>(thread_random_next());
}

Wal::~Wal() = default;

std::uint64_t Wal::frame_count() const {
  std::lock_guard lock(frame_count_mutex_);
  return frame_count_;
}

std::uint64_t Wal::sequence() const {
  std::lock_guard lock(sequence_mutex_);
  return sequence_;
}

Result<void> Wal::check_wal_header(File& file) {
  std::array<std::uint8_t, kWalHeaderSize> h;
  if (auto r = file.read_exact_at(0, h); !r) return r;
  const WalHeaderFields f = decode_wal_header(h.data());
  if (f.magic != kWalMagic) {
    return std::unexpected(StorageError::wal_corrupted("Invalid WAL magic: 0x" + hex8(f.magic)));
  }
  if (f.version != kWalVersion) {
    return std::unexpected(
        StorageError::wal_corrupted("Unsupported WAL version: " + std::to_string(f.version)));
  }
  return {};
}

Result<void> Wal::write_wal_header(File& file) {
  std::uint32_t sequence;
  {
    std::lock_guard lock(sequence_mutex_);
    sequence = static_cast<std::uint32_t>(sequence_);
  }
  const auto h = encode_wal_header(page_size_, sequence, salt1_, salt2_);
  return file.write_all_at(0, h);
}

Result<std::vector<WalFrame>> Wal::read_frames(File& file) {
  return read_frames(file, salt1_, salt2_);
}

Result<std::vector<WalFrame>> Wal::read_frames(File& file, std::uint32_t salt1,
                                               std::uint32_t salt2) {
  std::vector<WalFrame> frames;
  auto r = walk_frames(
      file, page_size_, salt1, salt2,
      [&](std::uint32_t id, std::uint64_t tag, std::uint64_t, std::vector<std::uint8_t>& image) {
        frames.push_back({id, tag, std::move(image)});
      });
  ORVANE_TRY(r);
  return frames;
}

Result<std::vector<FrameLocation>> Wal::scan_frames(File& file, std::uint32_t salt1,
                                                    std::uint32_t salt2) {
  std::vector<FrameLocation> frames;
  auto r = walk_frames(file, page_size_, salt1, salt2,
                       [&](std::uint32_t id, std::uint64_t tag, std::uint64_t offset,
                           std::vector<std::uint8_t>& image) {
                         const bool magic =
                             image.size() >= header_magic_.size() &&
                             std::equal(header_magic_.begin(), header_magic_.end(), image.begin());
                         frames.push_back({id, tag, offset, magic});
                       });
  ORVANE_TRY(r);
  return frames;
}

Result<void> Wal::open() {
  const bool existed = path_exists(path_);
  auto opened = open_file(path_, OpenMode::ReadWriteCreate);
  ORVANE_TRY(opened);
  std::unique_ptr<File> file = std::move(*opened);
  auto size = file->size();
  ORVANE_TRY(size);

  std::uint32_t salt1 = salt1_, salt2 = salt2_;
  std::uint64_t end = kWalHeaderSize;
  std::size_t kept = 0;
  std::vector<FrameLocation> live_frames;
  if (!existed || *size == 0) {
    if (auto r = write_wal_header(*file); !r) return r;
    if (auto r = sync_new_file(*file); !r) return r;
  } else {
    if (auto r = check_wal_header(*file); !r) return r;
    // Keep the log's own salts so that its frames and ours form one chain.
    std::array<std::uint8_t, kWalHeaderSize> h;
    if (auto r = file->read_exact_at(0, h); !r) return r;
    const WalHeaderFields fields = decode_wal_header(h.data());
    salt1 = fields.salt1;
    salt2 = fields.salt2;
    auto frames = scan_frames(*file, salt1, salt2);
    ORVANE_TRY(frames);
    for (std::size_t i = 0; i < frames->size(); ++i) {
      if ((*frames)[i].frame_tag & kFrameTagCommit) kept = i + 1;
    }
    end = kWalHeaderSize + kept * (kWalFrameHeaderSize + page_size_);
    frames->resize(kept);
    live_frames = std::move(*frames);
    // A torn call (killed mid-write) is cut off so that new frames follow
    // the last whole call directly.
    // Synchronised so that the cut-off frames, which carry this log's
    // salts, cannot come back behind new frames after a power cut.
    if (*size > end) {
      if (auto r = file->truncate(end); !r) return r;
      if (syncs()) {
        if (auto r = file->sync(); !r) return r;
      }
    }
  }
  auto identity = file->identity();
  ORVANE_TRY(identity);

  std::lock_guard lock(file_mutex_);
  file_ = std::move(file);
  file_identity_ = *identity;
  append_offset_ = end;
  frames_ = std::move(live_frames);
  unsynced_ = kept > 0;
  salt1_ = salt1;
  salt2_ = salt2;
  std::lock_guard count_lock(frame_count_mutex_);
  frame_count_ = kept;
  return {};
}

Result<void> Wal::bind_database_file(std::string db_path, std::unique_ptr<File> db) {
  auto identity = db->identity();
  ORVANE_TRY(identity);
  db_path_ = std::move(db_path);
  db_file_ = std::move(db);
  db_identity_ = *identity;
  return {};
}

bool Wal::database_left_path() const {
  if (!db_file_) return false;
  auto at_path = path_identity(db_path_);
  return !at_path || *at_path != db_identity_;
}

Result<void> Wal::remove_own_file() {
  std::lock_guard lock(file_mutex_);
  if (!file_) return {};
  // The file at the path may be the live log of a database that replaced
  // ours at its path: only the file we hold is ours to delete.
  auto at_path = path_identity(path_);
  if (!at_path) return {};
  if (*at_path == file_identity_) return remove_file(path_);
  // A directory is never a log, ours or another database's, and cannot be
  // unlinked: the log path is blocked, which the caller must hear about.
  if (path_is_directory(path_)) return std::unexpected(StorageError::io_errno(EISDIR));
  return {};
}

Result<void> Wal::offer_checkpoint(const std::string& db_path) {
  bool due;
  {
    std::lock_guard lock(frame_count_mutex_);
    due = frame_count_ >= checkpoint_threshold_;
  }
  if (!due) return {};
  return checkpoint(db_path);
}

Result<void> Wal::sync() {
  std::lock_guard lock(file_mutex_);
  return sync_locked();
}

Result<void> Wal::sync_locked() {
  if (!syncs() || !file_ || !unsynced_) return {};
  if (auto r = file_->sync(); !r) return r;
  unsynced_ = false;
  return {};
}

Result<void> Wal::sync_new_file(File& file) {
  if (!syncs()) return {};
  if (auto r = file.sync(); !r) return r;
  return sync_directory_of(path_);
}

void Wal::wrap_file_for_testing(
    const std::function<std::unique_ptr<File>(std::unique_ptr<File>)>& wrap) {
  std::lock_guard lock(file_mutex_);
  file_ = wrap(std::move(file_));
}

}  // namespace orvane::storage
