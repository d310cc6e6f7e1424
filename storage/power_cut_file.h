// A simulated power cut, for tests. PowerCutRecorder, installed as the file
// hook, wraps every file the storage engine opens and records, in one trace,
// every write, truncation and synchronisation of each file, and every
// creation, removal and directory synchronisation. Synchronisations are only
// recorded (the trace decides what they made durable), so tests run at disk
// speed. crash_image() then builds the files a power cut at any position of
// the trace may leave: every file as it was at its last synchronisation, plus
// any subset of its later writes and truncations, applied in any order, each
// write torn at 512-byte sectors inside the file (a write that lengthens the
// file lengthens it whole or not at all); a creation or removal not followed
// by a directory synchronisation may or may not have happened (in trace
// order).
// Test-only.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "storage/file.h"

namespace orvane::storage {

struct TraceOp {
  enum class Kind { Write, Truncate, Sync, Create, Remove, DirSync } kind;
  int file = -1;             // the file (one per creation) for Write, Truncate, Sync, Create
  std::string path;          // Create, Remove
  std::uint64_t offset = 0;  // Write: offset; Truncate: the new length
  std::vector<std::uint8_t> bytes;
};

class PowerCutRecorder final : public FileHook {
 public:
  // A file that exists, durable as it is, before the trace starts.
  void adopt(const std::string& path, std::vector<std::uint8_t> bytes) {
    std::lock_guard lock(mutex_);
    const int id = static_cast<int>(initial_.size());
    initial_.push_back(std::move(bytes));
    paths_.push_back(path);
    at_path_[path] = id;
    durable_path_[path] = id;
  }

  std::unique_ptr<File> opened(const std::string& path, bool created,
                               std::unique_ptr<File> file) override {
    std::lock_guard lock(mutex_);
    int id;
    if (created || !at_path_.contains(path)) {
      id = static_cast<int>(initial_.size());
      initial_.emplace_back();
      paths_.push_back(path);
      at_path_[path] = id;
      ops_.push_back({TraceOp::Kind::Create, id, path, 0, {}});
    } else {
      id = at_path_[path];
    }
    return std::make_unique<Recording>(*this, id, std::move(file));
  }
  void removed(const std::string& path) override {
    std::lock_guard lock(mutex_);
    at_path_[path] = -1;
    ops_.push_back({TraceOp::Kind::Remove, -1, path, 0, {}});
  }
  void directory_synced(const std::string&) override {
    std::lock_guard lock(mutex_);
    ops_.push_back({TraceOp::Kind::DirSync, -1, {}, 0, {}});
  }

  std::size_t size() const {
    std::lock_guard lock(mutex_);
    return ops_.size();
  }
  // Position just past the last synchronisation, before `at`, of the data
  // of a file whose path ends with `suffix`.
  std::size_t last_sync_before(std::size_t at, std::string_view suffix = {}) const {
    std::lock_guard lock(mutex_);
    for (std::size_t i = std::min(at, ops_.size()); i > 0; --i) {
      const TraceOp& op = ops_[i - 1];
      if (op.kind == TraceOp::Kind::Sync && paths_[op.file].ends_with(suffix)) return i;
    }
    return 0;
  }

  // The files, by path, that a power cut after the first `at` operations may
  // leave (nullopt: no file at the path). `rng` chooses which of them.
  std::map<std::string, std::optional<std::vector<std::uint8_t>>> crash_image(
      std::size_t at, std::mt19937_64& rng) const {
    std::lock_guard lock(mutex_);
    std::vector<std::vector<std::uint8_t>> durable = initial_;
    std::vector<std::vector<const TraceOp*>> pending(initial_.size());
    std::map<std::string, int> durable_path = durable_path_;
    std::map<std::string, std::vector<int>> pending_path;
    for (std::size_t i = 0; i < at && i < ops_.size(); ++i) {
      const TraceOp& op = ops_[i];
      switch (op.kind) {
        case TraceOp::Kind::Write:
        case TraceOp::Kind::Truncate:
          pending[op.file].push_back(&op);
          break;
        case TraceOp::Kind::Sync:
          for (const TraceOp* p : pending[op.file]) apply(durable[op.file], *p, 1.0, rng);
          pending[op.file].clear();
          break;
        case TraceOp::Kind::Create:
          pending_path[op.path].push_back(op.file);
          break;
        case TraceOp::Kind::Remove:
          pending_path[op.path].push_back(-1);
          break;
        case TraceOp::Kind::DirSync:
          for (auto& [path, changes] : pending_path) {
            if (!changes.empty()) durable_path[path] = changes.back();
            changes.clear();
          }
          break;
      }
    }
    // How much of the unsynchronised work reaches the disk, and in what order.
    const double keep = std::array{0.0, 0.25, 0.5, 0.75, 1.0}[rng() % 5];
    const bool shuffled = rng() % 2 == 0;
    std::map<std::string, std::optional<std::vector<std::uint8_t>>> out;
    std::map<std::string, int> paths = durable_path;
    for (const auto& [path, changes] : pending_path) paths.try_emplace(path, -1);
    for (auto& [path, id] : paths) {
      const std::vector<int>& changes = pending_path[path];
      if (!changes.empty()) {
        const std::size_t done = rng() % (changes.size() + 1);
        if (done > 0) id = changes[done - 1];
      }
      if (id < 0) {
        out[path] = std::nullopt;
        continue;
      }
      std::vector<std::uint8_t> bytes = durable[id];
      std::vector<const TraceOp*> later = pending[id];
      if (shuffled) std::shuffle(later.begin(), later.end(), rng);
      for (const TraceOp* p : later) apply(bytes, *p, keep, rng);
      out[path] = std::move(bytes);
    }
    return out;
  }

 private:
  class Recording final : public File {
   public:
    Recording(PowerCutRecorder& owner, int id, std::unique_ptr<File> inner)
        : owner_(owner), id_(id), inner_(std::move(inner)) {}
    Result<void> read_exact_at(std::uint64_t offset, std::span<std::uint8_t> buf) override {
      return inner_->read_exact_at(offset, buf);
    }
    Result<void> write_all_at(std::uint64_t offset, std::span<const std::uint8_t> buf) override {
      owner_.push({TraceOp::Kind::Write, id_, {}, offset, {buf.begin(), buf.end()}});
      return inner_->write_all_at(offset, buf);
    }
    Result<void> write_all_at_v(std::uint64_t offset,
                                std::span<const std::span<const std::uint8_t>> bufs) override {
      std::vector<std::uint8_t> all;
      for (const auto& b : bufs) all.insert(all.end(), b.begin(), b.end());
      owner_.push({TraceOp::Kind::Write, id_, {}, offset, all});
      return inner_->write_all_at(offset, all);
    }
    Result<std::uint64_t> size() override { return inner_->size(); }
    Result<void> truncate(std::uint64_t length) override {
      owner_.push({TraceOp::Kind::Truncate, id_, {}, length, {}});
      return inner_->truncate(length);
    }
    Result<void> sync() override {
      owner_.push({TraceOp::Kind::Sync, id_, {}, 0, {}});
      return {};
    }
    Result<std::pair<std::uint64_t, std::uint64_t>> identity() override {
      return inner_->identity();
    }
    std::optional<bool> linked() override { return inner_->linked(); }

   private:
    PowerCutRecorder& owner_;
    int id_;
    std::unique_ptr<File> inner_;
  };

  void push(TraceOp op) {
    std::lock_guard lock(mutex_);
    ops_.push_back(std::move(op));
  }

  // Applies `op`, each part kept with probability `keep`: a truncation; of a
  // write, each 512-byte sector inside the file's length, and the part past
  // it as a whole (file systems write the data before the length that
  // exposes it).
  static void apply(std::vector<std::uint8_t>& bytes, const TraceOp& op, double keep,
                    std::mt19937_64& rng) {
    std::bernoulli_distribution kept(keep);
    auto chosen = [&] { return keep >= 1.0 || kept(rng); };
    if (op.kind == TraceOp::Kind::Truncate) {
      if (chosen()) bytes.resize(op.offset, 0);
      return;
    }
    constexpr std::uint64_t kSector = 512;
    const std::uint64_t end = op.offset + op.bytes.size();
    auto copy = [&](std::uint64_t from, std::uint64_t to) {
      std::copy(op.bytes.begin() + static_cast<std::ptrdiff_t>(from - op.offset),
                op.bytes.begin() + static_cast<std::ptrdiff_t>(to - op.offset),
                bytes.begin() + static_cast<std::ptrdiff_t>(from));
    };
    const std::uint64_t inside = std::min<std::uint64_t>(end, bytes.size());
    for (std::uint64_t at = op.offset; at < inside;) {
      const std::uint64_t next = std::min(inside, (at / kSector + 1) * kSector);
      if (chosen()) copy(at, next);
      at = next;
    }
    if (end > bytes.size() && chosen()) {
      const std::uint64_t from = std::max<std::uint64_t>(op.offset, bytes.size());
      bytes.resize(end, 0);
      copy(from, end);
    }
  }

  mutable std::mutex mutex_;
  std::vector<TraceOp> ops_;
  std::vector<std::vector<std::uint8_t>> initial_;  // by file id
  std::vector<std::string> paths_;                   // by file id: where it was created
  std::map<std::string, int> at_path_;              // the file at each path now (-1: none)
  std::map<std::string, int> durable_path_;         // adopted files
};

}  // namespace orvane::storage
