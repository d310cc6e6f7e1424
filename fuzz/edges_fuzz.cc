// Edge page restore onto a small graph, then searches, changes, and a
// persist/restore round trip.
//
// Input: u8 node count, u8 metric, the edge page (4096 bytes, zero-padded),
// then per node: u8 id, two floats; then changes: u8 op, u8 id, two floats.
//
// Properties: restoring never fails for a page that can be fetched; whatever
// the page says, every neighbour list stays within its layer's capacity,
// without repeats and without the node itself; the entry point is a node
// whenever the graph has nodes; searches succeed with at most k distinct
// node ids; a snapshot that fits restores onto a graph of the same nodes
// with the same lists, entry point and top layer.
#include <cstring>
#include <map>
#include <memory>
#include <set>

#include "fuzz/fuzz_support.h"
#include "index/hnsw_edges.h"
#include "storage/header_format.h"
#include "storage/mem_file.h"
#include "storage/random.h"

namespace {

using namespace orvane;
using index::HnswGraph;
using storage::kPageSize;
using Vectors = std::map<std::uint64_t, std::vector<float>>;
using Lists = std::vector<std::vector<std::uint64_t>>;

constexpr std::uint64_t kDim = 2;

std::vector<float> take_vector(fuzz::FuzzInput& in) {
  std::vector<float> v(kDim);
  for (float& f : v) {
    const std::uint32_t bits = in.u32();
    std::memcpy(&f, &bits, 4);
  }
  return v;
}

// The lists without their trailing empty ones: a restored node keeps as many
// lists as its record's level asks for, the empty ones included.
Lists trimmed(Lists lists) {
  while (!lists.empty() && lists.back().empty()) lists.pop_back();
  return lists;
}

void check_sound(const HnswGraph& g) {
  FUZZ_CHECK(g.max_level() <= 12);
  if (g.node_count() == 0) {
    FUZZ_CHECK(!g.entry_point());
  } else {
    FUZZ_CHECK(g.entry_point() && g.contains(*g.entry_point()));
  }
  for (std::uint64_t id : g.node_ids()) {
    const Lists lists = g.neighbor_lists(id);
    FUZZ_CHECK(lists.size() <= 13);
    for (std::size_t layer = 0; layer < lists.size(); ++layer) {
      const auto& list = lists[layer];
      FUZZ_CHECK(list.size() <= (layer == 0 ? HnswGraph::kMMax0 : HnswGraph::kM));
      const std::set<std::uint64_t> distinct(list.begin(), list.end());
      FUZZ_CHECK(distinct.size() == list.size());
      FUZZ_CHECK(!distinct.contains(id));
    }
  }
}

void check_search(const HnswGraph& g, std::span<const float> query, std::uint64_t k) {
  auto hits = g.search(query, k);
  FUZZ_CHECK(hits.has_value());
  FUZZ_CHECK(hits->size() <= k);
  std::set<std::uint64_t> seen;
  for (const auto& h : *hits) {
    FUZZ_CHECK(g.contains(h.id));
    FUZZ_CHECK(seen.insert(h.id).second);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  storage::thread_random_seed_for_testing(0xed6e);
  fuzz::FuzzInput in(data, size);
  const std::size_t node_count = in.u8() % 48;
  const auto metric = static_cast<index::DistanceMetric>(in.u8() % 3);

  auto file = std::make_unique<storage::MemFile>();
  auto& bytes = *file->data();
  bytes.assign(3 * kPageSize, 0);
  storage::DatabaseHeader header = storage::DatabaseHeader::fresh(0);
  header.next_page_id = 3;
  header.encode(bytes.data());
  const auto page = in.take_padded(kPageSize);
  std::copy(page.begin(), page.end(), bytes.begin() + kPageSize);
  storage::PageCache cache("fuzz.db", std::move(file));

  HnswGraph graph(kDim, metric);
  Vectors vectors;
  for (std::size_t i = 0; i < node_count; ++i) {
    const std::uint64_t id = 1 + in.u8() % 64;
    auto v = take_vector(in);
    if (graph.insert(id, v)) vectors[id] = std::move(v);
  }
  FUZZ_CHECK(index::restore_edges(graph, cache, 1).has_value());
  check_sound(graph);
  const std::vector<float> query = {0.25f, -1.0f};
  check_search(graph, query, 1 + node_count / 2);

  while (in.remaining() > 0) {
    const std::uint8_t op = in.u8();
    const std::uint64_t id = 1 + in.u8() % 64;
    auto v = take_vector(in);
    if (op & 1) {
      if (graph.remove(id)) vectors.erase(id);
    } else if (graph.insert(id, v)) {
      vectors[id] = std::move(v);
    }
    check_sound(graph);
    check_search(graph, query, 5);
  }
  FUZZ_CHECK(graph.node_count() == vectors.size());

  auto written = index::persist_edges(graph, cache, 2);
  FUZZ_CHECK(written.has_value());
  if (*written != graph.node_count()) return 0;  // too large for one page: nothing stored
  HnswGraph copy(kDim, metric);
  for (const auto& [id, v] : vectors) FUZZ_CHECK(copy.insert(id, v).has_value());
  FUZZ_CHECK(index::restore_edges(copy, cache, 2).has_value());
  check_sound(copy);
  FUZZ_CHECK(copy.entry_point() == graph.entry_point());
  FUZZ_CHECK(copy.max_level() == graph.max_level());
  for (const auto& [id, v] : vectors) {
    FUZZ_CHECK(trimmed(copy.neighbor_lists(id)) == trimmed(graph.neighbor_lists(id)));
  }
  return 0;
}
