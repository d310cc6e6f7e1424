// A simulated power cut, for tests. PowerCutRecorder, installed as the file
// hook, records in one trace the writes, truncations and syncs of every file
// the storage engine opens, and every creation, removal and directory sync;
// syncs are only recorded, so tests run at memory speed. crash_image() builds
// the files a cut at any point of the trace may leave: each file as of its
// last sync plus any subset of its later writes and truncations, in any
// order, each write torn at 512-byte sectors inside the file (the part that
// lengthens it lands whole or not at all); a creation or removal not followed
// by a directory sync may or may not have happened (in trace order).
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "storage/file.h"

namespace orvane::storage {

class PowerCutRecorder final : public FileHook {
 public:
  using Bytes = std::vector<std::uint8_t>;

  // A file that exists, durable as it is, before the trace starts.
  void adopt(const std::string& path, Bytes bytes) {
    std::lock_guard lock(mutex_);
    initial_.push_back(std::move(bytes));
    durable_path_[path] = at_path_[path] = static_cast<int>(initial_.size()) - 1;
  }
  std::unique_ptr<File> opened(const std::string& path, bool created,
                               std::unique_ptr<File> file) override {
    std::lock_guard lock(mutex_);
    if (created || !at_path_.contains(path)) {
      initial_.emplace_back();
      at_path_[path] = static_cast<int>(initial_.size()) - 1;
      ops_.push_back({Op::Create, at_path_[path], path});
    }
    return std::make_unique<Recording>(*this, at_path_[path], path, std::move(file));
  }
  void removed(const std::string& path) override {
    std::lock_guard lock(mutex_);
    at_path_[path] = -1;
    ops_.push_back({Op::Remove, -1, path});
  }
  void directory_synced(const std::string&) override { push({Op::DirSync}); }

  std::size_t size() const {
    std::lock_guard lock(mutex_);
    return ops_.size();
  }
  // The position just past the log's last sync before `at` (0: none).
  std::size_t last_log_sync(std::size_t at) const {
    std::lock_guard lock(mutex_);
    for (std::size_t i = std::min(at, ops_.size()); i > 0; --i) {
      if (ops_[i - 1].kind == Op::Sync && ops_[i - 1].path.ends_with("-wal")) return i;
    }
    return 0;
  }

  // The files, by path, that a cut after the first `at` operations may
  // leave; `rng` chooses which.
  std::map<std::string, Bytes> crash_image(std::size_t at, std::mt19937_64& rng) const {
    std::lock_guard lock(mutex_);
    std::vector<Bytes> durable = initial_;
    std::vector<std::vector<const Op*>> pending(initial_.size());
    std::map<std::string, int> file_at = durable_path_;  // durable directory entries
    std::map<std::string, std::vector<int>> unsynced;     // later ones, in order (-1: removed)
    for (std::size_t i = 0; i < std::min(at, ops_.size()); ++i) {
      const Op& op = ops_[i];
      if (op.kind == Op::Write || op.kind == Op::Truncate) pending[op.file].push_back(&op);
      if (op.kind == Op::Create || op.kind == Op::Remove) unsynced[op.path].push_back(op.file);
      if (op.kind == Op::Sync) {
        for (const Op* p : pending[op.file]) apply(durable[op.file], *p, 1.0, rng);
        pending[op.file].clear();
      }
      if (op.kind != Op::DirSync) continue;
      for (auto& [path, changes] : unsynced) {
        if (!changes.empty()) file_at[path] = changes.back();
        changes.clear();
      }
    }
    // How much of the unsynced work reaches the disk, and in what order.
    const double keep = static_cast<double>(rng() % 5) / 4;
    const bool shuffled = rng() % 2 == 0;
    for (const auto& [path, changes] : unsynced) {
      file_at.try_emplace(path, -1);
      if (const std::size_t done = rng() % (changes.size() + 1)) file_at[path] = changes[done - 1];
    }
    std::map<std::string, Bytes> out;
    for (const auto& [path, id] : file_at) {
      if (id < 0) continue;
      std::vector<const Op*> later = pending[id];
      if (shuffled) std::shuffle(later.begin(), later.end(), rng);
      out[path] = durable[id];
      for (const Op* p : later) apply(out[path], *p, keep, rng);
    }
    return out;
  }

 private:
  struct Op {
    enum Kind { Write, Truncate, Sync, Create, Remove, DirSync } kind;
    int file = -1;             // all but DirSync
    std::string path;          // Sync, Create, Remove
    std::uint64_t offset = 0;  // Write: where; Truncate: the new length
    Bytes bytes;
    Op(Kind k, int f = -1, std::string p = {}, std::uint64_t o = 0, Bytes b = {})
        : kind(k), file(f), path(std::move(p)), offset(o), bytes(std::move(b)) {}
  };

  class Recording final : public File {
   public:
    Recording(PowerCutRecorder& owner, int id, std::string path, std::unique_ptr<File> inner)
        : owner_(owner), id_(id), path_(std::move(path)), inner_(std::move(inner)) {}
    Result<void> read_exact_at(std::uint64_t offset, std::span<std::uint8_t> buf) override {
      return inner_->read_exact_at(offset, buf);
    }
    Result<void> write_all_at(std::uint64_t offset, std::span<const std::uint8_t> buf) override {
      owner_.push({Op::Write, id_, {}, offset, {buf.begin(), buf.end()}});
      return inner_->write_all_at(offset, buf);
    }
    Result<void> write_all_at_v(std::uint64_t offset,  // one write, as the pwritev it stands for
                                std::span<const std::span<const std::uint8_t>> bufs) override {
      Bytes all;
      for (const auto& b : bufs) all.insert(all.end(), b.begin(), b.end());
      return write_all_at(offset, all);
    }
    Result<std::uint64_t> size() override { return inner_->size(); }
    Result<void> truncate(std::uint64_t length) override {
      owner_.push({Op::Truncate, id_, {}, length});
      return inner_->truncate(length);
    }
    Result<void> sync() override {
      owner_.push({Op::Sync, id_, path_});
      return {};
    }
    Result<std::pair<std::uint64_t, std::uint64_t>> identity() override {
      return inner_->identity();
    }
    std::optional<bool> linked() override { return inner_->linked(); }

   private:
    PowerCutRecorder& owner_;
    int id_;
    std::string path_;
    std::unique_ptr<File> inner_;
  };

  void push(Op op) {
    std::lock_guard lock(mutex_);
    ops_.push_back(std::move(op));
  }

  // Applies `op`, each part kept with probability `keep`: a truncation; of a
  // write, each 512-byte sector inside the file, and the part past its end as
  // a whole (file systems write the data before the length that exposes it).
  static void apply(Bytes& bytes, const Op& op, double keep, std::mt19937_64& rng) {
    auto kept = [&] { return keep >= 1.0 || std::bernoulli_distribution(keep)(rng); };
    auto copy = [&](std::uint64_t from, std::uint64_t to) {
      if (to > bytes.size()) bytes.resize(to, 0);
      std::copy(op.bytes.data() + (from - op.offset), op.bytes.data() + (to - op.offset),
                bytes.data() + from);
    };
    if (op.kind == Op::Truncate) {
      if (kept()) bytes.resize(op.offset, 0);
      return;
    }
    const std::uint64_t end = op.offset + op.bytes.size();
    const std::uint64_t inside = std::min<std::uint64_t>(end, bytes.size());
    for (std::uint64_t at = op.offset, next; at < inside; at = next) {
      next = std::min<std::uint64_t>(inside, (at / 512 + 1) * 512);
      if (kept()) copy(at, next);
    }
    if (end > bytes.size() && kept()) copy(std::max<std::uint64_t>(op.offset, bytes.size()), end);
  }

  mutable std::mutex mutex_;
  std::vector<Op> ops_;
  std::vector<Bytes> initial_;               // by file id
  std::map<std::string, int> at_path_;       // the file at each path now (-1: none)
  std::map<std::string, int> durable_path_;  // adopted files
};

}  // namespace orvane::storage
