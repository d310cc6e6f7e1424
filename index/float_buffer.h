// FloatBuffer: a growable array of floats whose growth never copies them.
//
// Large blocks come from malloc, which maps them on their own; realloc then
// moves the mapping (mremap) instead of the bytes, so appending to a buffer
// of gigabytes costs what the new floats cost. New floats are uninitialised
// and pages never written are never resident.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <algorithm>
#include <new>
#include <utility>

namespace orvane::index {

class FloatBuffer {
 public:
  FloatBuffer() = default;
  FloatBuffer(const FloatBuffer&) = delete;
  FloatBuffer& operator=(const FloatBuffer&) = delete;
  FloatBuffer(FloatBuffer&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)) {}
  FloatBuffer& operator=(FloatBuffer&& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    std::swap(capacity_, other.capacity_);
    return *this;
  }
  ~FloatBuffer() { std::free(data_); }

  float* data() { return data_; }
  const float* data() const { return data_; }
  std::size_t size() const { return size_; }

  // Room for `n` floats without another allocation. Throws std::bad_alloc.
  void reserve(std::size_t n) {
    if (n <= capacity_) return;
    void* p = std::realloc(data_, n * sizeof(float));
    if (p == nullptr) throw std::bad_alloc();
    data_ = static_cast<float*>(p);
    capacity_ = n;
  }
  // Grows (new floats uninitialised) or shrinks the array; growth is
  // geometric so that appends one slot at a time stay amortised O(1).
  void resize(std::size_t n) {
    if (n > capacity_) reserve(std::max(n, capacity_ + capacity_ / 2));
    size_ = n;
  }

 private:
  float* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace orvane::index
