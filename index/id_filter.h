// IdFilter: which internal ids a filtered search may return.
//
// A search asks allows() once per id it considers (never per distance), so a
// virtual call is cheap beside the distance it guards. IdBitmap is the usual
// implementation: one bit per id below its size, built once per query batch.
// Thread-safety: allows() is const and must be safe to call concurrently.
#pragma once

#include <cstdint>
#include <vector>

namespace orvane::index {

class IdFilter {
 public:
  virtual ~IdFilter() = default;
  virtual bool allows(std::uint64_t id) const = 0;
};

// A set of ids below a bound, as bits. Ids at or past size() are not allowed.
class IdBitmap final : public IdFilter {
 public:
  explicit IdBitmap(std::uint64_t size = 0) : size_(size), words_((size + 63) / 64, 0) {}

  std::uint64_t size() const { return size_; }
  // REQUIRES: id < size().
  void set(std::uint64_t id) {
    std::uint64_t& w = words_[id / 64];
    const std::uint64_t bit = std::uint64_t{1} << (id % 64);
    count_ += (w & bit) == 0;
    w |= bit;
  }
  // Ids set so far.
  std::uint64_t count() const { return count_; }
  bool allows(std::uint64_t id) const override {
    return id < size_ && ((words_[id / 64] >> (id % 64)) & 1) != 0;
  }

 private:
  std::uint64_t size_;
  std::uint64_t count_ = 0;
  std::vector<std::uint64_t> words_;
};

}  // namespace orvane::index
