// Snapshot encode and decode. Decoding parses and checks the whole image
// before it builds anything (parse_snapshot), so a damaged image costs no
// half-built graph; building then cannot fail.
#include "index/hnsw_snapshot.h"

#include <algorithm>
#include <string>

#include "index/hnsw_graph_impl.h"
#include "index/hnsw_snapshot_parse.h"
#include "storage/coding.h"
#include "storage/crc32.h"
#include "storage/try.h"

namespace orvane::index {
namespace {

using storage::get_u32;
using storage::get_u64;
using storage::put_u32;
using storage::put_u64;

constexpr std::uint64_t kNoEntry = ~std::uint64_t{0};
constexpr std::uint32_t kVersion = 1;

VectorIndexError damaged(const std::string& what) {
  return VectorIndexError::storage("HNSW snapshot: " + what);
}

}  // namespace

IndexResult<std::vector<std::uint8_t>> encode_hnsw_snapshot(
    const HnswGraph& graph, std::span<const std::uint64_t> generations) {
  const HnswGraph::Impl& g = HnswGraphAccess::impl(graph);
  const HnswNodes& nodes = g.nodes;
  const std::uint32_t m = g.params.m;
  const std::uint32_t m0 = g.params.m_max0();
  const std::uint64_t slots = generations.size();
  const std::size_t record = 16 + 4 * std::size_t{m0};
  // Node slot of each snapshot slot, and each node's written level.
  std::vector<std::uint32_t> node_of(slots, HnswNodes::kNoSlot);
  std::vector<std::uint32_t> level(slots, 0);
  std::size_t upper_bytes = 0;
  for (std::uint32_t s = 0; s < nodes.slot_count(); ++s) {
    if (!nodes.is_node(s)) continue;
    const std::uint64_t id = nodes.id(s);
    if (id >= slots || generations[id] == 0) {
      return std::unexpected(VectorIndexError::invalid_parameter(
          "node " + std::to_string(id) + " has no generation"));
    }
    node_of[id] = s;
    // A node's lists never outnumber its level + 1 in a graph built here; the
    // maximum keeps every list should one ever hold more.
    level[id] = std::max(nodes.level(s), nodes.list_count(s) - 1);
    upper_bytes += level[id] * (4 + 4 * std::size_t{m});
  }
  std::vector<std::uint8_t> out(kSnapshotHeaderSize + slots * record + upper_bytes, 0);
  auto write_list = [&](std::uint8_t* p, std::uint32_t s, std::uint32_t layer) {
    std::uint32_t n = 0;
    if (layer < nodes.list_count(s)) {
      for (std::uint32_t t : nodes.list(s, layer)) {
        if (nodes.is_node(t)) put_u32(p + 4 * n++, static_cast<std::uint32_t>(nodes.id(t)));
      }
    }
    return n;
  };
  std::uint8_t* upper = out.data() + kSnapshotHeaderSize + slots * record;
  for (std::uint64_t id = 0; id < slots; ++id) {
    const std::uint32_t s = node_of[id];
    if (s == HnswNodes::kNoSlot) continue;
    std::uint8_t* rec = out.data() + kSnapshotHeaderSize + id * record;
    put_u64(rec, generations[id]);
    put_u32(rec + 8, level[id]);
    put_u32(rec + 12, write_list(rec + 16, s, 0));
    for (std::uint32_t layer = 1; layer <= level[id]; ++layer) {
      put_u32(upper, write_list(upper + 4, s, layer));
      upper += 4 + 4 * std::size_t{m};
    }
  }
  std::uint8_t* h = out.data();
  std::copy_n("HNSW", 4, h);
  put_u32(h + 4, kVersion);
  put_u32(h + 8, m);
  put_u32(h + 12, m0);
  put_u64(h + 16, slots);
  put_u64(h + 24, g.entry_point ? *g.entry_point : kNoEntry);
  put_u32(h + 32, static_cast<std::uint32_t>(g.max_level));
  put_u64(h + 40, upper_bytes);
  put_u32(h + 36, storage::crc32(std::span<const std::uint8_t>(out).subspan(kSnapshotHeaderSize)));
  return out;
}

IndexResult<ParsedSnapshot> parse_snapshot(std::span<const std::uint8_t> bytes, std::uint32_t m) {
  if (bytes.size() < kSnapshotHeaderSize) return std::unexpected(damaged("truncated header"));
  const std::uint8_t* h = bytes.data();
  if (!std::equal(h, h + 4, "HNSW")) return std::unexpected(damaged("not a graph snapshot"));
  if (get_u32(h + 4) != kVersion) return std::unexpected(damaged("unknown version"));
  ParsedSnapshot p;
  p.m = get_u32(h + 8);
  if (p.m != m || get_u32(h + 12) != 2 * m) {
    return std::unexpected(damaged("written with other graph parameters"));
  }
  if (std::any_of(h + 48, h + 64, [](std::uint8_t b) { return b != 0; })) {
    return std::unexpected(damaged("reserved header bytes are not zero"));
  }
  p.record = 16 + 8 * std::size_t{m};
  p.slots = get_u64(h + 16);
  const std::size_t body = bytes.size() - kSnapshotHeaderSize;
  if (p.slots > body / p.record) return std::unexpected(damaged("node table past the end"));
  const std::uint64_t upper_bytes = get_u64(h + 40);
  if (upper_bytes != body - p.slots * p.record) {
    return std::unexpected(damaged("length does not match the node table"));
  }
  if (storage::crc32(bytes.subspan(kSnapshotHeaderSize)) != get_u32(h + 36)) {
    return std::unexpected(damaged("checksum mismatch"));
  }
  p.entry = get_u64(h + 24);
  p.max_level = get_u32(h + 32);
  p.table = bytes.data() + kSnapshotHeaderSize;
  const std::uint8_t* upper = p.table + p.slots * p.record;
  p.generations.resize(p.slots);
  p.levels.resize(p.slots);
  p.upper.assign(p.slots, nullptr);
  std::uint64_t nodes = 0;
  std::size_t upper_used = 0;
  const std::size_t block = 4 + 4 * std::size_t{m};
  for (std::uint64_t s = 0; s < p.slots; ++s) {
    const std::uint8_t* rec = p.table + s * p.record;
    p.generations[s] = get_u64(rec);
    p.levels[s] = get_u32(rec + 8);
    const std::uint32_t count0 = get_u32(rec + 12);
    if (p.generations[s] == 0) {
      if (p.levels[s] != 0 || count0 != 0) return std::unexpected(damaged("free slot with links"));
      continue;
    }
    ++nodes;
    if (p.levels[s] > HnswNodes::kMaxLevel || count0 > 2 * m) {
      return std::unexpected(damaged("node " + std::to_string(s) + " level or count out of range"));
    }
    if (p.levels[s] > 0) {
      if (p.levels[s] * block > upper_bytes - upper_used) {
        return std::unexpected(damaged("upper region too short"));
      }
      p.upper[s] = upper + upper_used;
      upper_used += p.levels[s] * block;
    }
  }
  if (upper_used != upper_bytes) return std::unexpected(damaged("upper region too long"));
  if (nodes == 0 ? (p.entry != kNoEntry || p.max_level != 0)
                 : (p.entry >= p.slots || p.generations[p.entry] == 0 ||
                    p.max_level > HnswNodes::kMaxLevel)) {
    return std::unexpected(damaged("bad entry point"));
  }
  // Every link names another node that reaches the layer, at most once.
  // One byte per slot (0: no node, else level + 1) and one bit per slot for
  // the list at hand keep the random lookups of a large image in cache.
  std::vector<std::uint8_t> reach(p.slots, 0);
  for (std::uint64_t s = 0; s < p.slots; ++s) {
    if (p.generations[s] != 0) reach[s] = static_cast<std::uint8_t>(p.levels[s] + 1);
  }
  std::vector<std::uint64_t> in_list((p.slots + 63) / 64, 0);
  for (std::uint64_t s = 0; s < p.slots; ++s) {
    if (reach[s] == 0) continue;
    if (p.levels[s] > p.max_level) return std::unexpected(damaged("level above the top"));
    for (std::uint32_t layer = 0; layer <= p.levels[s]; ++layer) {
      if (p.list_size(s, layer) > (layer == 0 ? 2 * m : m)) {
        return std::unexpected(damaged("node " + std::to_string(s) + " list too long"));
      }
      bool bad = false;
      const ParsedSnapshot::List list = p.list(s, layer);
      for (std::uint32_t t : list) {
        if (t >= p.slots || t == s || reach[t] <= layer || (in_list[t / 64] >> (t % 64) & 1)) {
          bad = true;
          break;
        }
        in_list[t / 64] |= std::uint64_t{1} << (t % 64);
      }
      for (std::uint32_t t : list) {
        if (t < p.slots) in_list[t / 64] &= ~(std::uint64_t{1} << (t % 64));
      }
      if (bad) return std::unexpected(damaged("node " + std::to_string(s) + " has a bad link"));
    }
  }
  return p;
}

void ParsedSnapshot::build(HnswGraph::Impl& g, std::span<const float> vectors,
                           const std::vector<bool>* keep) const {
  const std::size_t dim = g.nodes.dimension();
  auto kept = [&](std::uint64_t s) {
    return generations[s] != 0 && (keep == nullptr || (*keep)[s]);
  };
  std::vector<std::uint32_t> node_of(slots, HnswNodes::kNoSlot);
  // A graph whose vectors were loaded in place has every slot already, and
  // must not move them.
  if (g.nodes.slot_count() == 0) g.nodes.reserve(slots);
  for (std::uint64_t s = 0; s < slots; ++s) {
    if (!kept(s)) continue;
    node_of[s] = g.nodes.begin_node(s, vectors.subspan(s * dim, dim), levels[s]);
  }
  // Links name nodes of the image (parse_snapshot checked them); with every
  // node kept in its own slot they go over unchanged.
  bool identity = true;
  for (std::uint64_t s = 0; s < slots && identity; ++s) {
    identity = generations[s] == 0 || (kept(s) && node_of[s] == s);
  }
  std::vector<std::uint32_t> targets;
  for (std::uint64_t s = 0; s < slots; ++s) {
    if (!kept(s)) continue;
    for (std::uint32_t layer = 0; layer <= levels[s]; ++layer) {
      targets.clear();
      for (std::uint32_t t : list(s, layer)) {
        if (identity) {
          targets.push_back(t);
        } else if (kept(t)) {
          targets.push_back(node_of[t]);
        }
      }
      g.nodes.replace_list(node_of[s], layer, targets);
    }
  }
  for (std::uint64_t s = 0; s < slots; ++s) {
    if (kept(s)) g.nodes.publish(node_of[s]);
  }
  if (entry != kNoEntry && kept(entry)) {
    g.entry_point = entry;
    g.max_level = max_level;
  }
}

IndexResult<DecodedHnsw> decode_hnsw_snapshot(std::span<const std::uint8_t> bytes,
                                              std::uint64_t dimension, DistanceMetric metric,
                                              const HnswParams& params,
                                              std::span<const float> vectors) {
  auto parsed = parse_snapshot(bytes, params.m);
  ORVANE_TRY(parsed);
  for (std::uint64_t s = parsed->slots; s-- > 0;) {
    if (parsed->generations[s] == 0) continue;
    if (dimension != 0 && (s + 1) > vectors.size() / dimension) {
      return std::unexpected(damaged("node " + std::to_string(s) + " has no stored vector"));
    }
    break;
  }
  DecodedHnsw out{HnswGraph(dimension, metric, params), parsed->generations};
  parsed->build(HnswGraphAccess::impl(out.graph), vectors, nullptr);
  return out;
}

}  // namespace orvane::index
