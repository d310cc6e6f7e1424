#include "index/hnsw_snapshot.h"

#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <vector>

#include "index/hnsw_test_util.h"
#include "storage/coding.h"
#include "storage/crc32.h"

namespace orvane::index {
namespace {

using testing::clustered;

struct Built {
  HnswGraph graph;
  std::vector<float> vectors;  // by slot
  std::vector<std::uint64_t> generations;
};

// Slots 0..n-1, every fifth one removed again; generation = slot + 100.
Built build_slots(std::size_t n, std::size_t dim, const HnswParams& params, std::uint64_t seed) {
  const auto rows = clustered(n, dim, 8, seed);
  Built b{HnswGraph(dim, DistanceMetric::Euclidean, params), {}, std::vector<std::uint64_t>(n, 0)};
  storage::thread_random_seed_for_testing(seed);
  for (std::size_t s = 0; s < n; ++s) {
    b.vectors.insert(b.vectors.end(), rows[s].begin(), rows[s].end());
    EXPECT_TRUE(b.graph.insert(s, rows[s]));
    b.generations[s] = s + 100;
  }
  for (std::size_t s = 0; s < n; s += 5) {
    EXPECT_TRUE(b.graph.remove(s));
    b.generations[s] = 0;
  }
  return b;
}

// Lists restricted to nodes: what the image keeps of one-way links.
std::vector<std::vector<std::uint64_t>> node_lists(const HnswGraph& g, std::uint64_t id) {
  auto lists = g.neighbor_lists(id);
  for (auto& l : lists) std::erase_if(l, [&](std::uint64_t t) { return !g.contains(t); });
  return lists;
}

TEST(HnswSnapshot, RoundTripRestoresTheGraphExactly) {
  for (const HnswParams& params : {HnswParams{}, HnswParams{5, 40, 16}}) {
    const Built b = build_slots(700, 12, params, params.m);
    const auto bytes = encode_hnsw_snapshot(b.graph, b.generations);
    ASSERT_TRUE(bytes);
    auto decoded = decode_hnsw_snapshot(*bytes, 12, DistanceMetric::Euclidean, params, b.vectors);
    ASSERT_TRUE(decoded) << decoded.error().to_string();
    const HnswGraph& g = decoded->graph;
    EXPECT_EQ(decoded->generations, b.generations);
    EXPECT_EQ(testing::id_set(g), testing::id_set(b.graph));
    EXPECT_EQ(g.entry_point(), b.graph.entry_point());
    EXPECT_EQ(g.max_level(), b.graph.max_level());
    for (std::uint64_t id : b.graph.node_ids()) {
      EXPECT_EQ(g.node_level(id), b.graph.node_level(id));
      EXPECT_EQ(node_lists(g, id), node_lists(b.graph, id)) << id;
    }
    const auto again = encode_hnsw_snapshot(g, decoded->generations);
    ASSERT_TRUE(again);
    EXPECT_EQ(*again, *bytes);
    // The open rule with nothing changed keeps every node, and links in the
    // nodes that the removals left unreached, so that every one is found.
    auto restored = restore_hnsw(*bytes, 12, DistanceMetric::Euclidean, params, b.vectors,
                                 b.generations);
    ASSERT_TRUE(restored);
    EXPECT_EQ(restored->kept, b.graph.node_count());
    EXPECT_EQ(restored->removed + restored->inserted, 0u);
    EXPECT_LT(testing::reachable_layer0(b.graph).size(), b.graph.node_count());
    EXPECT_EQ(testing::reachable_layer0(restored->graph).size(), b.graph.node_count());
    // A node without a generation cannot be written.
    auto missing = b.generations;
    missing[1] = 0;
    EXPECT_FALSE(encode_hnsw_snapshot(b.graph, missing));
  }
}

// Every damage is refused with an error: truncation, a flipped byte, and
// fields rewritten with the checksum fixed so the structural checks are hit.
TEST(HnswSnapshot, DamagedImagesAreRefused) {
  const HnswParams params{4, 40, 16};
  const Built b = build_slots(60, 3, params, 9);
  const auto good = *encode_hnsw_snapshot(b.graph, b.generations);
  auto decode = [&](const std::vector<std::uint8_t>& bytes) {
    return decode_hnsw_snapshot(bytes, 3, DistanceMetric::Euclidean, params, b.vectors);
  };
  ASSERT_TRUE(decode(good));
  for (std::size_t len : {0ul, 10ul, 63ul, 64ul, good.size() / 2, good.size() - 1}) {
    EXPECT_FALSE(decode({good.begin(), good.begin() + static_cast<long>(len)})) << len;
  }
  for (std::size_t at = 0; at < good.size(); at += 7) {
    auto bad = good;
    bad[at] ^= 0x20;
    EXPECT_FALSE(decode(bad)) << at;
  }
  const std::size_t record = 16 + 4 * 8;
  const std::uint8_t* node1 = good.data() + 64 + record;  // slot 1 is a node
  using storage::put_u32;
  using storage::put_u64;
  const std::function<void(std::uint8_t*)> edits[] = {
      [](std::uint8_t* h) { put_u32(h + 8, 5); },                        // other M
      [](std::uint8_t* h) { put_u64(h + 16, 1ull << 60); },              // slot count
      [](std::uint8_t* h) { put_u64(h + 24, 0); },                       // entry is a free slot
      [](std::uint8_t* h) { put_u32(h + 32, 13); },                      // max level
      [](std::uint8_t* h) { put_u64(h + 40, 8); },                       // upper length
      [](std::uint8_t* h) { h[50] = 1; },                                // reserved bytes
      [&](std::uint8_t* h) { put_u32(h + (node1 - good.data()) + 12, 9); },   // count0 > M0
      [&](std::uint8_t* h) { put_u32(h + (node1 - good.data()) + 16, 1); },   // self link
      [&](std::uint8_t* h) { put_u32(h + (node1 - good.data()) + 16, 5); },   // link to free slot
      [&](std::uint8_t* h) { put_u32(h + (node1 - good.data()) + 16, 999); }, // past the table
      [&](std::uint8_t* h) { put_u32(h + (node1 - good.data()) + 8, 13); },   // level
      [&](std::uint8_t* h) { put_u64(h + (node1 - good.data()), 0); },  // freed, links stay
      [&](std::uint8_t* h) {  // one target listed twice
        std::uint8_t* n = h + (node1 - good.data());
        std::copy_n(n + 16, 4, n + 20);
      },
  };
  for (std::size_t i = 0; i < std::size(edits); ++i) {
    auto bad = good;
    edits[i](bad.data());
    put_u32(bad.data() + 36,
            storage::crc32(std::span<const std::uint8_t>(bad).subspan(kSnapshotHeaderSize)));
    auto r = decode(bad);
    ASSERT_FALSE(r) << "edit " << i;
    EXPECT_EQ(r.error().kind(), VectorIndexError::Kind::Storage) << "edit " << i;
  }
}

// Slots freed, rewritten and added after the image: the result holds exactly
// the live slots, reaches all of them, and searches as well as a fresh graph.
TEST(HnswSnapshot, OpenRuleKeepsRepairsAndInserts) {
  const std::size_t dim = 16;
  Built b = build_slots(1500, dim, HnswParams{}, 21);
  const auto image = *encode_hnsw_snapshot(b.graph, b.generations);
  const auto fresh = clustered(400, dim, 8, 22);
  std::size_t f = 0;
  for (std::size_t s = 1; s < 1500 && f < 150; s += 9) b.generations[s] = 0, ++f;  // freed
  for (std::size_t s = 3; s < 1500 && f < 300; s += 7) {  // rewritten
    if (b.generations[s] == 0) continue;
    b.generations[s] += 5000;
    std::copy(fresh[f].begin(), fresh[f].end(), b.vectors.begin() + s * dim);
    ++f;
  }
  for (; f < fresh.size(); ++f) {  // added past the image
    b.vectors.insert(b.vectors.end(), fresh[f].begin(), fresh[f].end());
    b.generations.push_back(9000 + f);
  }
  struct Row {
    std::vector<std::uint8_t> bytes;
    bool usable;
  };
  const Row rows[] = {{image, true}, {{}, false}, {std::vector<std::uint8_t>(image.begin(), image.end() - 1), false}};
  for (const Row& row : rows) {
    auto r = restore_hnsw(row.bytes, dim, DistanceMetric::Euclidean, HnswParams{}, b.vectors,
                          b.generations);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->snapshot_error.has_value(), !row.usable)
        << (r->snapshot_error ? r->snapshot_error->to_string() : "");
    std::set<std::uint64_t> live;
    for (std::uint64_t s = 0; s < b.generations.size(); ++s) {
      if (b.generations[s] != 0) live.insert(s);
    }
    EXPECT_EQ(testing::id_set(r->graph), live);
    EXPECT_EQ(testing::reachable_layer0(r->graph), live);
    testing::expect_lists_name_nodes(r->graph);
    if (row.usable) {
      EXPECT_GT(r->kept, 900u);
      EXPECT_GT(r->removed, 200u);
      EXPECT_EQ(r->kept + r->inserted, live.size());
    } else {
      EXPECT_EQ(r->inserted, live.size());
    }
    std::size_t found = 0, wanted = 0;
    for (std::size_t q = 0; q < 60; ++q) {
      const std::vector<float> query(b.vectors.begin() + (q * 23 % live.size()) * dim,
                                     b.vectors.begin() + (q * 23 % live.size() + 1) * dim);
      std::set<std::pair<float, std::uint64_t>> all;
      for (std::uint64_t s : live) {
        all.insert({distance(DistanceMetric::Euclidean, query.data(), b.vectors.data() + s * dim, dim), s});
      }
      std::set<std::uint64_t> want;
      for (auto it = all.begin(); want.size() < 10; ++it) want.insert(it->second);
      const auto hits = r->graph.search(query, 10);
      ASSERT_TRUE(hits);
      for (const auto& h : *hits) found += want.contains(h.id);
      wanted += 10;
    }
    EXPECT_GE(static_cast<double>(found) / wanted, 0.9);
  }
}

}  // namespace
}  // namespace orvane::index
