// Internal: a checked view of a snapshot image, shared by decode and the open
// rule (hnsw_snapshot.cc, hnsw_restore.cc).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "index/hnsw_graph_impl.h"
#include "storage/coding.h"

namespace orvane::index {

struct ParsedSnapshot {
  std::uint32_t m = 0;
  std::size_t record = 0;  // node table bytes per slot
  std::uint64_t slots = 0;
  std::uint64_t entry = 0;
  std::uint32_t max_level = 0;
  const std::uint8_t* table = nullptr;
  std::vector<std::uint64_t> generations;
  std::vector<std::uint32_t> levels;
  std::vector<const std::uint8_t*> upper;  // a node's first upper list, or null

  std::uint32_t list_size(std::uint64_t s, std::uint32_t layer) const {
    return storage::get_u32(layer == 0 ? table + s * record + 12
                                       : upper[s] + (layer - 1) * (4 + 4 * std::size_t{m}));
  }
  // The targets of slot s on a layer (REQUIRES: layer <= levels[s]; counts
  // checked by parse_snapshot except while it checks them).
  struct List {
    const std::uint8_t* p;
    std::uint32_t n;
    struct It {
      const std::uint8_t* p;
      std::uint32_t operator*() const { return storage::get_u32(p); }
      It& operator++() {
        p += 4;
        return *this;
      }
      bool operator!=(const It& o) const { return p != o.p; }
    };
    It begin() const { return {p}; }
    It end() const { return {p + 4 * std::size_t{n}}; }
  };
  List list(std::uint64_t s, std::uint32_t layer) const {
    const std::uint32_t cap = layer == 0 ? 2 * m : m;
    const std::uint32_t n = std::min(list_size(s, layer), cap);
    const std::uint8_t* p = layer == 0 ? table + s * record + 16
                                       : upper[s] + (layer - 1) * (4 + 4 * std::size_t{m}) + 4;
    return {p, n};
  }

  // Adds the nodes (all, or those `keep` marks) to an empty graph with their
  // levels and their lists restricted to added nodes; sets the entry point
  // when it is added. REQUIRES: vectors cover every added slot.
  void build(HnswGraph::Impl& g, std::span<const float> vectors,
             const std::vector<bool>* keep) const;
};

// Checks the whole image against parameter m.
[[nodiscard]] IndexResult<ParsedSnapshot> parse_snapshot(std::span<const std::uint8_t> bytes,
                                                         std::uint32_t m);

}  // namespace orvane::index
