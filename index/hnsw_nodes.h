// HnswNodes: the node table of an HnswGraph, stored by dense slot.
//
// Every id that is a node, or that some neighbour list names, owns a slot
// (a small dense index). Vectors lie contiguously in slot order, layer-0 lists
// in one fixed-stride array, so a search follows a link with one array access
// and no hash lookup. Lists store slots; an id that lists name but that has no
// node (a one-way link left by a removal, or an id read from an edge page)
// keeps a "dangling" slot, so an insertion under that id revives the links,
// exactly as links by id would. A slot is recycled once it is neither a node
// nor named by any list (reference counts track list occurrences).
//
// Slot order is the graph's iteration order over nodes.
// Thread-safety: none; reads may run concurrently when nothing writes.
// Cost: id lookups are hash lookups (constant time); list edits are linear in
// the list length (at most cap(0) <= kMaxCap0).
#pragma once

#include <cstdint>
#include <new>
#include <span>
#include <unordered_map>
#include <utility>
#include <vector>

namespace orvane::index {

// Allocator of 64-byte aligned arrays, so that a vector or a layer-0 list
// whose size is a multiple of 64 bytes starts on a cache line.
template <class T>
struct CacheAligned {
  using value_type = T;
  static constexpr std::align_val_t kAlign{64};
  CacheAligned() = default;
  template <class U>
  CacheAligned(const CacheAligned<U>&) {}
  T* allocate(std::size_t n) { return static_cast<T*>(::operator new(n * sizeof(T), kAlign)); }
  void deallocate(T* p, std::size_t) { ::operator delete(p, kAlign); }
  // Growth leaves new elements uninitialised: every vector and list entry is
  // written before it is read, and zeroing gigabytes first would double the
  // memory traffic of a load.
  template <class U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
  friend bool operator==(const CacheAligned&, const CacheAligned&) { return true; }
};

class HnswNodes {
 public:
  static constexpr std::uint32_t kNoSlot = 0xFFFFFFFFu;
  // Node levels never exceed 12, so no node has more than 13 lists.
  static constexpr std::uint32_t kMaxLevel = 12;
  // Largest layer-0 list any graph may use; bounds the callers' stack buffers.
  static constexpr std::uint32_t kMaxCap0 = 128;

  // REQUIRES: 1 <= cap_upper <= cap0 <= kMaxCap0. With dense_ids every id
  // is its own slot (ids are small integers, such as a collection's slots):
  // no id map, and a slot is never recycled for another id.
  HnswNodes(std::size_t dimension, std::uint32_t cap0, std::uint32_t cap_upper,
            bool dense_ids = false)
      : dimension_(dimension),
        cap0_(cap0),
        cap_upper_(cap_upper),
        stride_upper_(1 + cap_upper),
        dense_(dense_ids) {}

  std::uint32_t cap(std::uint32_t layer) const { return layer == 0 ? cap0_ : cap_upper_; }

  std::size_t dimension() const { return dimension_; }
  // Slots in use or free; an upper bound for slot indices.
  std::size_t slot_count() const { return ids_.size(); }
  std::size_t node_count() const { return node_count_; }

  // The slot that holds or names id (node or dangling), or kNoSlot.
  std::uint32_t find(std::uint64_t id) const;
  // The slot of id only when id is a node, else kNoSlot.
  std::uint32_t find_node(std::uint64_t id) const;
  bool is_node(std::uint32_t slot) const { return state_[slot] == State::Node; }
  std::uint64_t id(std::uint32_t slot) const { return ids_[slot]; }
  std::uint32_t level(std::uint32_t slot) const { return levels_[slot]; }
  std::uint32_t list_count(std::uint32_t slot) const { return list_counts_[slot]; }
  const float* vector(std::uint32_t slot) const { return vectors_.data() + slot * dimension_; }
  // First node in slot order, or kNoSlot when there is none.
  std::uint32_t first_node() const;
  // Largest level over all nodes (0 when there is none).
  std::uint32_t max_node_level() const;

  // REQUIRES: layer < list_count(slot).
  std::span<const std::uint32_t> list(std::uint32_t slot, std::uint32_t layer) const {
    return {ids_ptr(slot, layer), count(slot, layer)};
  }
  // Hints the cache to load a list that is about to be read.
  void prefetch_list(std::uint32_t slot, std::uint32_t layer) const {
    if (layer >= list_counts_[slot]) return;
    const std::uint32_t* p = ids_ptr(slot, layer);
    __builtin_prefetch(p);
    __builtin_prefetch(p + 16);
  }
  // Hints the cache to load a node's state (the is_node test).
  void prefetch_state(std::uint32_t slot) const { __builtin_prefetch(state_.data() + slot); }
  bool list_contains(std::uint32_t slot, std::uint32_t layer, std::uint32_t target) const;
  // REQUIRES: list not full, target not in it.
  void append(std::uint32_t slot, std::uint32_t layer, std::uint32_t target);
  // Deletes every occurrence of target, keeping the others in order.
  void erase_all(std::uint32_t slot, std::uint32_t layer, std::uint32_t target);
  // REQUIRES: targets.size() <= cap(layer), no duplicates, no self.
  void replace_list(std::uint32_t slot, std::uint32_t layer,
                    std::span<const std::uint32_t> targets);
  // Drops every list of the slot and gives it `count` empty ones (1..13).
  void reset_lists(std::uint32_t slot, std::uint32_t count);

  // Starts the node for id (REQUIRES: id is not a node): copies the vector,
  // sets the level and level + 1 empty lists. The slot is not a node until
  // publish(), so searches made meanwhile pass over it.
  std::uint32_t begin_node(std::uint64_t id, std::span<const float> vector, std::uint32_t level);
  // Room for `slots` slots in all, so that a load that adds them grows no array.
  void reserve(std::size_t slots);
  // Dense ids, empty table: `slots` free slots and their vector array, for a
  // load to fill in place (uninitialised). begin_node(id, vector(id)...) then
  // makes id a node without a copy.
  std::span<float> load_vectors(std::size_t slots);
  void publish(std::uint32_t slot);
  // Removes the node: drops its lists; the slot stays while lists name it.
  void drop_node(std::uint32_t slot);
  // The slot for a link to id, creating a dangling one when id has none.
  std::uint32_t slot_for_link(std::uint64_t id);

 private:
  enum class State : std::uint8_t { Free, Dangling, Building, Node };
  // Layer-0 ids of a slot are contiguous (two cache lines at cap 32); counts
  // live apart.
  const std::uint32_t* ids_ptr(std::uint32_t slot, std::uint32_t layer) const {
    return layer == 0 ? links0_.data() + std::size_t{slot} * cap0_
                      : upper_[slot].data() + (layer - 1) * stride_upper_ + 1;
  }
  std::uint32_t* ids_ptr(std::uint32_t slot, std::uint32_t layer) {
    return layer == 0 ? links0_.data() + std::size_t{slot} * cap0_
                      : upper_[slot].data() + (layer - 1) * stride_upper_ + 1;
  }
  std::uint32_t count(std::uint32_t slot, std::uint32_t layer) const {
    return layer == 0 ? count0_[slot] : upper_[slot][(layer - 1) * stride_upper_];
  }
  void set_count(std::uint32_t slot, std::uint32_t layer, std::uint32_t n) {
    if (layer == 0) {
      count0_[slot] = static_cast<std::uint8_t>(n);
    } else {
      upper_[slot][(layer - 1) * stride_upper_] = n;
    }
  }
  std::uint32_t new_slot(std::uint64_t id, State state);
  void grow_to(std::size_t slots);
  void unref(std::uint32_t target);
  void release_if_unused(std::uint32_t slot);
  void clear_lists(std::uint32_t slot);

  std::size_t dimension_;
  std::uint32_t cap0_;
  std::uint32_t cap_upper_;
  std::size_t stride_upper_;  // upper lists: a count, then cap_upper_ slots, per layer
  // slot == id: no slot_of_, free_slots_ or reference counts. A slot that
  // is no node is free at once; lists that still name it revive when the id
  // is inserted again, as they would through a dangling slot.
  bool dense_;
  std::size_t node_count_ = 0;
  std::unordered_map<std::uint64_t, std::uint32_t> slot_of_;
  std::vector<std::uint64_t> ids_;
  std::vector<State> state_;
  std::vector<std::uint8_t> levels_;
  std::vector<std::uint8_t> list_counts_;
  std::vector<std::uint32_t> refs_;  // list occurrences naming the slot (hashed ids)
  std::vector<float, CacheAligned<float>> vectors_;
  std::vector<std::uint32_t, CacheAligned<std::uint32_t>> links0_;  // cap0_ per slot
  std::vector<std::uint8_t> count0_;
  std::vector<std::vector<std::uint32_t>> upper_;  // layers >= 1, kStrideUpper each
  std::vector<std::uint32_t> free_slots_;
};

}  // namespace orvane::index
