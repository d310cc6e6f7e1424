// Edge page restore onto a small graph, then searches, changes, and a
// persist/restore round trip. Whatever the page says, the graph stays sound.
// Input: u8 node count, u8 metric, the edge page (4096 bytes, zero-padded),
// then per node: u8 id, two floats; then changes: u8 op, u8 id, two floats.
#include "fuzz/fuzz_support.h"
#include "index/hnsw_edges.h"

using namespace orvane;
using index::HnswGraph;
using Lists = std::vector<std::vector<std::uint64_t>>;

static void check_sound(const HnswGraph& g, std::span<const float> query, std::uint64_t k) {
  FUZZ_CHECK(g.max_level() <= 12);
  const auto entry = g.entry_point();
  FUZZ_CHECK(g.node_count() == 0 ? !entry : entry && g.contains(*entry));
  for (std::uint64_t id : g.node_ids()) {
    const Lists lists = g.neighbor_lists(id);
    FUZZ_CHECK(lists.size() <= 13);
    for (std::size_t layer = 0; layer < lists.size(); ++layer) {
      const std::set<std::uint64_t> distinct(lists[layer].begin(), lists[layer].end());
      FUZZ_CHECK(distinct.size() == lists[layer].size() && !distinct.contains(id));
      FUZZ_CHECK(distinct.size() <= (layer == 0 ? HnswGraph::kMMax0 : HnswGraph::kM));
    }
  }
  auto hits = g.search(query, k);
  FUZZ_CHECK(hits.has_value() && hits->size() <= k);
  std::set<std::uint64_t> seen;
  for (const auto& h : *hits) FUZZ_CHECK(g.contains(h.id) && seen.insert(h.id).second);
}

// A node's lists without their trailing empty ones: a restored node keeps as
// many lists as its record's level asks for, the empty ones included.
static Lists lists_of(const HnswGraph& g, std::uint64_t id) {
  Lists lists = g.neighbor_lists(id);
  while (!lists.empty() && lists.back().empty()) lists.pop_back();
  return lists;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  storage::thread_random_seed_for_testing(0xed6e);
  fuzz::FuzzInput in{{data, size}};
  const std::size_t node_count = in.u8() % 48;
  const auto metric = static_cast<index::DistanceMetric>(in.u8() % 3);
  fuzz::Bytes db = fuzz::db_image(3);
  std::ranges::copy(in.take(fuzz::kPageSize), db.begin() + fuzz::kPageSize);
  storage::PageCache cache("fuzz.db", fuzz::mem_file(std::move(db)));

  // Node ids 1..64 with two-dimensional vectors; a change with an odd op removes.
  HnswGraph graph(2, metric);
  std::map<std::uint64_t, std::vector<float>> vectors;
  const std::vector<float> query = {0.25f, -1.0f};
  auto change = [&](bool remove) {
    const std::uint64_t id = 1 + in.u8() % 64;
    std::vector<float> v = {in.f32(), in.f32()};
    if (remove && graph.remove(id)) vectors.erase(id);
    if (!remove && graph.insert(id, v)) vectors[id] = std::move(v);
    check_sound(graph, query, 5);
  };
  for (std::size_t i = 0; i < node_count; ++i) change(false);
  FUZZ_CHECK(index::restore_edges(graph, cache, 1).has_value());
  check_sound(graph, query, 1 + node_count / 2);
  while (!in.left.empty()) change(in.u8() & 1);
  FUZZ_CHECK(graph.node_count() == vectors.size());

  // A graph too large for one page stores nothing.
  if (index::persist_edges(graph, cache, 2).value() != graph.node_count()) return 0;
  HnswGraph copy(2, metric);
  for (const auto& [id, v] : vectors) FUZZ_CHECK(copy.insert(id, v).has_value());
  FUZZ_CHECK(index::restore_edges(copy, cache, 2).has_value());
  check_sound(copy, query, 5);
  FUZZ_CHECK(copy.entry_point() == graph.entry_point() && copy.max_level() == graph.max_level());
  for (const auto& [id, v] : vectors) FUZZ_CHECK(lists_of(copy, id) == lists_of(graph, id));
  return 0;
}
