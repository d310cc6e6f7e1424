#include "index/hnsw_edge_page.h"

#include <algorithm>

#include "index/hnsw_graph_impl.h"
#include "storage/coding.h"
#include "storage/page.h"

namespace orvane::index {
namespace {

using storage::get_u32;
using storage::get_u64;

std::vector<std::uint8_t> encode_slot(const HnswNodes& nodes, std::uint32_t slot) {
  const std::uint32_t count = nodes.list_count(slot);
  std::size_t size = kEdgeRecordHeaderSize;
  for (std::uint32_t layer = 0; layer < count; ++layer) {
    const std::size_t c = nodes.list(slot, layer).size();
    if (c > 0) size += 8 + 8 * c;
  }
  std::vector<std::uint8_t> rec(size);
  std::uint8_t* p = rec.data();
  storage::put_u64(p, nodes.id(slot));
  // A restored node keeps the lists of its stored record, which may reach
  // above the level it drew at load; a reader drops layers above the record's
  // level, so the level written covers every list.
  storage::put_u32(p + 8, std::max(nodes.level(slot), count - 1));
  storage::put_u32(p + 12, count);
  p += kEdgeRecordHeaderSize;
  for (std::uint32_t layer = 0; layer < count; ++layer) {
    const auto list = nodes.list(slot, layer);
    if (list.empty()) continue;
    storage::put_u32(p, layer);
    storage::put_u32(p + 4, static_cast<std::uint32_t>(list.size()));
    p += 8;
    for (std::uint32_t target : list) {
      storage::put_u64(p, nodes.id(target));
      p += 8;
    }
  }
  return rec;
}

// Parsed lists of one node record, at most kMaxLevel + 1 of them.
struct ParsedRecord {
  std::uint64_t id = 0;
  std::vector<std::vector<std::uint64_t>> lists;
};

// Every read is bounded by the record's length; the loops consume 8 bytes per
// step or stop, so no count read from the page can make them run long.
// A level above the largest a graph can hold marks the record as corrupt.
std::optional<ParsedRecord> parse_record(std::span<const std::uint8_t> rec) {
  if (rec.size() < kEdgeRecordHeaderSize) return std::nullopt;
  ParsedRecord out;
  out.id = get_u64(rec.data());
  const std::uint32_t level = get_u32(rec.data() + 8);
  const std::uint32_t list_count = get_u32(rec.data() + 12);
  if (level > HnswNodes::kMaxLevel) return std::nullopt;
  out.lists.resize(level + 1);
  std::size_t p = kEdgeRecordHeaderSize;
  for (std::uint32_t i = 0; i < list_count; ++i) {
    if (p + 8 > rec.size()) break;
    const std::uint32_t layer = get_u32(rec.data() + p);
    const std::uint32_t c = get_u32(rec.data() + p + 4);
    p += 8;
    for (std::uint32_t j = 0; j < c && p + 8 <= rec.size(); ++j, p += 8) {
      if (layer <= level) out.lists[layer].push_back(get_u64(rec.data() + p));
    }
  }
  return out;
}

// Replaces a node's lists. The graph's list invariants are kept whatever the
// page says: the node's own id, repeated ids and ids beyond a layer's
// capacity are dropped. Ids without a node stay, as dangling links.
void apply_record(HnswGraph::Impl& g, const ParsedRecord& rec) {
  const std::uint32_t slot = g.nodes.find_node(rec.id);
  if (slot == HnswNodes::kNoSlot) return;
  g.nodes.reset_lists(slot, static_cast<std::uint32_t>(rec.lists.size()));
  std::vector<std::uint32_t> slots;
  for (std::uint32_t layer = 0; layer < rec.lists.size(); ++layer) {
    slots.clear();
    for (std::uint64_t id : rec.lists[layer]) {
      if (slots.size() == g.nodes.cap(layer)) break;
      if (id == rec.id) continue;
      const std::uint32_t target = g.nodes.slot_for_link(id);
      if (std::find(slots.begin(), slots.end(), target) == slots.end()) slots.push_back(target);
    }
    g.nodes.replace_list(slot, layer, slots);
  }
}

// The entry point is taken only when it names a node (a stale one would make
// every search fail) and the top layer only when a graph can have it; an
// absent entry only for a graph without nodes.
void apply_header(HnswGraph::Impl& g, std::span<const std::uint8_t> rec) {
  if (rec.size() < kEdgeHeaderSize) return;
  const std::uint64_t entry = get_u64(rec.data());
  const std::uint32_t max_level = get_u32(rec.data() + 8);
  if (max_level > HnswNodes::kMaxLevel) return;
  if (entry == 0) {
    if (g.nodes.node_count() != 0) return;
    g.entry_point.reset();
    g.max_level = 0;
    return;
  }
  if (g.nodes.find_node(entry) == HnswNodes::kNoSlot) return;
  g.entry_point = entry;
  g.max_level = max_level;
}

}  // namespace

std::vector<std::uint8_t> encode_edge_header(const HnswGraph& graph) {
  std::vector<std::uint8_t> rec(kEdgeHeaderSize);
  storage::put_u64(rec.data(), graph.entry_point().value_or(0));
  storage::put_u32(rec.data() + 8, static_cast<std::uint32_t>(graph.max_level()));
  storage::put_u32(rec.data() + 12, static_cast<std::uint32_t>(graph.node_count()));
  return rec;
}

std::vector<std::uint8_t> encode_node_record(const HnswGraph& graph, std::uint64_t id) {
  const HnswNodes& nodes = HnswGraphAccess::impl(graph).nodes;
  const std::uint32_t slot = nodes.find_node(id);
  if (slot == HnswNodes::kNoSlot) return {};
  return encode_slot(nodes, slot);
}

EdgePageImage build_edge_page(const HnswGraph& graph) {
  const HnswNodes& nodes = HnswGraphAccess::impl(graph).nodes;
  EdgePageImage image{storage::new_page_image(storage::kPageTypeHnswEdges), 0};
  bool fits = graph.node_count() < storage::kMaxSlots &&
              storage::append_to_page(image.bytes, encode_edge_header(graph), 0);
  std::uint16_t next = 1;
  for (std::uint32_t s = 0; fits && s < nodes.slot_count(); ++s) {
    if (!nodes.is_node(s)) continue;
    fits = storage::append_to_page(image.bytes, encode_slot(nodes, s), next);
    ++next;
  }
  if (!fits) return {storage::new_page_image(storage::kPageTypeHnswEdges), 0};
  storage::PageHeader header = storage::PageHeader::decode(image.bytes);
  header.slot_count = next;
  header.encode(image.bytes);
  image.records = next - 1u;
  return image;
}

void apply_edge_page(HnswGraph& graph, storage::PageId page_id,
                     std::span<const std::uint8_t> page) {
  if (page.size() < storage::kPageHeaderSize) return;
  HnswGraph::Impl& g = HnswGraphAccess::impl(graph);
  const std::uint16_t n = storage::PageHeader::decode(page).slot_count;
  if (auto header = storage::read_record(page_id, page, 0)) apply_header(g, *header);
  for (std::uint32_t s = 1; s < n; ++s) {
    const auto rec = storage::read_record(page_id, page, static_cast<std::uint16_t>(s));
    if (!rec) continue;
    if (auto parsed = parse_record(*rec)) apply_record(g, *parsed);
  }
}

}  // namespace orvane::index
