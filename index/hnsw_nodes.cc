#include "index/hnsw_nodes.h"

#include <algorithm>
#include <cassert>

namespace orvane::index {

std::uint32_t HnswNodes::find(std::uint64_t id) const {
  if (dense_) {
    return id < ids_.size() && state_[id] != State::Free ? static_cast<std::uint32_t>(id) : kNoSlot;
  }
  const auto it = slot_of_.find(id);
  return it == slot_of_.end() ? kNoSlot : it->second;
}

std::uint32_t HnswNodes::find_node(std::uint64_t id) const {
  const std::uint32_t slot = find(id);
  return slot != kNoSlot && is_node(slot) ? slot : kNoSlot;
}

std::uint32_t HnswNodes::first_node() const {
  for (std::uint32_t s = 0; s < ids_.size(); ++s) {
    if (is_node(s)) return s;
  }
  return kNoSlot;
}

std::uint32_t HnswNodes::max_node_level() const {
  std::uint32_t top = 0;
  for (std::uint32_t s = 0; s < ids_.size(); ++s) {
    if (is_node(s)) top = std::max<std::uint32_t>(top, levels_[s]);
  }
  return top;
}

bool HnswNodes::list_contains(std::uint32_t slot, std::uint32_t layer, std::uint32_t target) const {
  const auto l = list(slot, layer);
  return std::find(l.begin(), l.end(), target) != l.end();
}

void HnswNodes::append(std::uint32_t slot, std::uint32_t layer, std::uint32_t target) {
  const std::uint32_t n = count(slot, layer);
  assert(n < cap(layer));
  ids_ptr(slot, layer)[n] = target;
  set_count(slot, layer, n + 1);
  if (!dense_) ++refs_[target];
}

void HnswNodes::erase_all(std::uint32_t slot, std::uint32_t layer, std::uint32_t target) {
  std::uint32_t* ids = ids_ptr(slot, layer);
  const std::uint32_t n = count(slot, layer);
  std::uint32_t kept = 0;
  std::uint32_t removed = 0;
  for (std::uint32_t i = 0; i < n; ++i) {
    if (ids[i] == target) {
      ++removed;
    } else {
      ids[kept++] = ids[i];
    }
  }
  set_count(slot, layer, kept);
  if (!dense_) {
    for (; removed > 0; --removed) unref(target);
  }
}

void HnswNodes::replace_list(std::uint32_t slot, std::uint32_t layer,
                             std::span<const std::uint32_t> targets) {
  assert(targets.size() <= cap(layer));
  std::uint32_t* ids = ids_ptr(slot, layer);
  // Reference the new targets before releasing the old ones, so a slot that
  // stays in the list is never recycled in between.
  if (!dense_) {
    for (std::uint32_t t : targets) ++refs_[t];
  }
  if (dense_) {
    std::copy(targets.begin(), targets.end(), ids);
    set_count(slot, layer, static_cast<std::uint32_t>(targets.size()));
    return;
  }
  std::uint32_t old[kMaxCap0];
  const std::uint32_t old_count = count(slot, layer);
  std::copy(ids, ids + old_count, old);
  std::copy(targets.begin(), targets.end(), ids);
  set_count(slot, layer, static_cast<std::uint32_t>(targets.size()));
  for (std::uint32_t i = 0; i < old_count; ++i) unref(old[i]);
}

void HnswNodes::reset_lists(std::uint32_t slot, std::uint32_t count) {
  assert(count >= 1 && count <= kMaxLevel + 1);
  clear_lists(slot);
  list_counts_[slot] = static_cast<std::uint8_t>(count);
  upper_[slot].assign((count - 1) * stride_upper_, 0);
}

void HnswNodes::reserve(std::size_t slots) {
  if (!dense_) slot_of_.reserve(slots);
  ids_.reserve(slots);
  state_.reserve(slots);
  levels_.reserve(slots);
  list_counts_.reserve(slots);
  refs_.reserve(slots);
  vectors_.reserve(slots * dimension_);
  links0_.reserve(slots * cap0_);
  count0_.reserve(slots);
  upper_.reserve(slots);
}

std::span<float> HnswNodes::load_vectors(std::size_t slots) {
  assert(dense_ && ids_.empty());
  grow_to(slots);
  return {vectors_.data(), vectors_.size()};
}

void HnswNodes::grow_to(std::size_t slots) {
  const std::size_t old = ids_.size();
  ids_.resize(slots);
  for (std::size_t s = old; s < slots; ++s) ids_[s] = s;
  state_.resize(slots, State::Free);
  levels_.resize(slots, 0);
  list_counts_.resize(slots, 0);
  refs_.resize(slots, 0);
  vectors_.resize(slots * dimension_);
  links0_.resize(slots * cap0_);
  count0_.resize(slots, 0);
  upper_.resize(slots);
}

std::uint32_t HnswNodes::begin_node(std::uint64_t id, std::span<const float> vector,
                                    std::uint32_t level) {
  assert(level <= kMaxLevel && vector.size() == dimension_);
  std::uint32_t slot = find(id);
  if (slot == kNoSlot) {
    slot = new_slot(id, State::Building);
  } else {
    assert(state_[slot] == State::Dangling);
    state_[slot] = State::Building;
  }
  float* to = vectors_.data() + slot * dimension_;
  if (vector.data() != to) std::copy(vector.begin(), vector.end(), to);  // a load fills in place
  levels_[slot] = static_cast<std::uint8_t>(level);
  reset_lists(slot, level + 1);
  return slot;
}

void HnswNodes::publish(std::uint32_t slot) {
  assert(state_[slot] == State::Building);
  state_[slot] = State::Node;
  ++node_count_;
}

void HnswNodes::drop_node(std::uint32_t slot) {
  assert(is_node(slot));
  --node_count_;
  clear_lists(slot);
  state_[slot] = State::Dangling;
  release_if_unused(slot);
}

std::uint32_t HnswNodes::slot_for_link(std::uint64_t id) {
  const std::uint32_t slot = find(id);
  return slot != kNoSlot ? slot : new_slot(id, State::Dangling);
}

std::uint32_t HnswNodes::new_slot(std::uint64_t id, State state) {
  std::uint32_t slot;
  if (dense_) {
    if (id >= ids_.size()) grow_to(id + 1);
    slot = static_cast<std::uint32_t>(id);
  } else if (!free_slots_.empty()) {
    slot = free_slots_.back();
    free_slots_.pop_back();
  } else {
    slot = static_cast<std::uint32_t>(ids_.size());
    ids_.push_back(0);
    state_.push_back(State::Free);
    levels_.push_back(0);
    list_counts_.push_back(0);
    refs_.push_back(0);
    vectors_.resize(vectors_.size() + dimension_);
    links0_.resize(links0_.size() + cap0_);
    count0_.push_back(0);
    upper_.emplace_back();
  }
  ids_[slot] = id;
  state_[slot] = state;
  levels_[slot] = 0;
  list_counts_[slot] = 0;
  refs_[slot] = 0;
  if (!dense_) slot_of_.emplace(id, slot);
  return slot;
}

void HnswNodes::unref(std::uint32_t target) {
  assert(refs_[target] > 0);
  --refs_[target];
  release_if_unused(target);
}

// A dangling slot that no list names any more goes back to the free list.
void HnswNodes::release_if_unused(std::uint32_t slot) {
  if (refs_[slot] != 0 || state_[slot] != State::Dangling) return;
  state_[slot] = State::Free;
  if (dense_) return;
  slot_of_.erase(ids_[slot]);
  free_slots_.push_back(slot);
}

void HnswNodes::clear_lists(std::uint32_t slot) {
  const std::uint32_t lists = list_counts_[slot];
  for (std::uint32_t layer = 0; layer < lists; ++layer) {
    const std::uint32_t* ids = ids_ptr(slot, layer);
    const std::uint32_t n = count(slot, layer);
    set_count(slot, layer, 0);
    if (!dense_) {
      for (std::uint32_t i = 0; i < n; ++i) unref(ids[i]);
    }
  }
  list_counts_[slot] = 0;
  upper_[slot].clear();
  count0_[slot] = 0;
}

}  // namespace orvane::index
