#include "index/hnsw_snapshot.h"

#include "index/dense_flat.h"
#include "index/hnsw_test_util.h"
#include "storage/coding.h"
#include "storage/crc32.h"

namespace orvane::index {
namespace {

using Bytes = std::vector<std::uint8_t>;
using testing::id_set;
using testing::reachable_layer0;
constexpr DistanceMetric kEuclidean = DistanceMetric::Euclidean;

struct Built {
  HnswGraph graph;
  std::vector<float> vectors;  // by slot
  std::vector<std::uint64_t> generations;
};

// Slots 0..n-1, every fifth one removed again; generation = slot + 100.
Built build_slots(std::size_t n, std::size_t dim, const HnswParams& params, std::uint64_t seed) {
  const auto rows = testing::clustered(n, dim, 8, seed);
  Built b{HnswGraph(dim, kEuclidean, params), testing::flatten(rows), {}};
  storage::thread_random_seed_for_testing(seed);
  for (std::size_t s = 0; s < n; ++s) {
    EXPECT_TRUE(b.graph.insert(s, rows[s]));
    b.generations.push_back(s % 5 == 0 ? 0 : s + 100);
  }
  for (std::size_t s = 0; s < n; s += 5) EXPECT_TRUE(b.graph.remove(s));
  return b;
}

// Level and lists (of nodes only, as the image keeps them) by node.
std::map<std::uint64_t, std::pair<std::uint64_t, testing::Lists>> shape(const HnswGraph& g) {
  std::map<std::uint64_t, std::pair<std::uint64_t, testing::Lists>> out;
  for (auto& [id, lists] : testing::all_lists(g)) {
    for (auto& l : lists) std::erase_if(l, [&](std::uint64_t t) { return !g.contains(t); });
    out[id] = {*g.node_level(id), lists};
  }
  return out;
}

TEST(HnswSnapshot, RoundTripRestoresTheGraphExactly) {
  for (const HnswParams& params : {HnswParams{}, HnswParams{5, 40, 16}}) {
    const Built b = build_slots(700, 12, params, params.m);
    const Bytes bytes = encode_hnsw_snapshot(b.graph, b.generations).value();
    auto decoded = decode_hnsw_snapshot(bytes, 12, kEuclidean, params, b.vectors);
    ASSERT_TRUE(decoded) << decoded.error().to_string();
    EXPECT_EQ(decoded->generations, b.generations);
    EXPECT_EQ(shape(decoded->graph), shape(b.graph));
    EXPECT_EQ(decoded->graph.entry_point(), b.graph.entry_point());
    EXPECT_EQ(decoded->graph.max_level(), b.graph.max_level());
    EXPECT_EQ(encode_hnsw_snapshot(decoded->graph, b.generations).value(), bytes);
    // Nothing changed: every node kept, and those removals left unreached linked.
    auto restored = restore_hnsw(bytes, 12, kEuclidean, params, b.vectors, b.generations).value();
    EXPECT_EQ(restored.kept, b.graph.node_count());
    EXPECT_EQ(restored.removed + restored.inserted, 0u);
    EXPECT_LT(reachable_layer0(b.graph).size(), b.graph.node_count());
    EXPECT_EQ(reachable_layer0(restored.graph).size(), b.graph.node_count());
    auto missing = b.generations;  // a node without a generation cannot be written
    missing[1] = 0;
    EXPECT_FALSE(encode_hnsw_snapshot(b.graph, missing));
  }
}

// Every damage is refused with an error: truncation, a flipped byte, and
// fields rewritten with the checksum fixed so the structural checks are hit.
TEST(HnswSnapshot, DamagedImagesAreRefused) {
  const HnswParams params{4, 40, 16};
  const Built b = build_slots(60, 3, params, 9);
  const Bytes good = *encode_hnsw_snapshot(b.graph, b.generations);
  auto decode = [&](const Bytes& bytes) {
    return decode_hnsw_snapshot(bytes, 3, kEuclidean, params, b.vectors);
  };
  ASSERT_TRUE(decode(good));
  for (std::size_t len : {10ul, 63ul, 64ul, good.size() / 2}) {  // OpenRule tries 0 and size - 1
    EXPECT_FALSE(decode({good.begin(), good.begin() + static_cast<long>(len)})) << len;
  }
  for (std::size_t at = 0; at < good.size(); at += 7) {
    auto bad = good;
    bad[at] ^= 0x20;
    EXPECT_FALSE(decode(bad)) << at;
  }
  const std::size_t n1 = kSnapshotHeaderSize + 16 + 4 * 8;  // slot 1's record; a node
  const std::tuple<std::size_t, int, std::uint64_t> edits[] = {
      {8, 4, 5},                                              // other M
      {16, 8, 1ull << 60},                                    // slot count
      {24, 8, 0},                                             // entry is a free slot
      {32, 4, 13},                                            // max level
      {40, 8, 8},                                             // upper length
      {50, 1, 1},                                             // reserved bytes
      {n1 + 12, 4, 9},                                        // count0 > M0
      {n1 + 16, 4, 1},                                        // self link
      {n1 + 16, 4, 5},                                        // link to a free slot
      {n1 + 16, 4, 999},                                      // past the table
      {n1 + 8, 4, 13},                                        // level
      {n1, 8, 0},                                             // freed, links stay
      {n1 + 20, 4, storage::get_u32(good.data() + n1 + 16)},  // one target listed twice
  };
  for (const auto& [at, width, value] : edits) {
    auto bad = good;
    for (int i = 0; i < width; ++i) bad[at + i] = static_cast<std::uint8_t>(value >> 8 * i);
    const auto body = std::span<const std::uint8_t>(bad).subspan(kSnapshotHeaderSize);
    storage::put_u32(bad.data() + 36, storage::crc32(body));
    auto r = decode(bad);
    ASSERT_FALSE(r) << "edit at " << at;
    EXPECT_EQ(r.error().kind(), VectorIndexError::Kind::Storage) << "edit at " << at;
  }
}

// Slots freed, rewritten and added after the image: exactly the live slots,
// all reached, searched well; an unusable image means inserting them all.
TEST(HnswSnapshot, OpenRuleKeepsRepairsAndInserts) {
  const std::size_t dim = 16;
  Built b = build_slots(1500, dim, HnswParams{}, 21);
  const Bytes image = *encode_hnsw_snapshot(b.graph, b.generations);
  const auto fresh = testing::clustered(400, dim, 8, 22);
  std::size_t f = 0;
  for (std::size_t s = 1; f < 150; s += 9, ++f) b.generations[s] = 0;  // freed
  for (std::size_t s = 3; s < 1500 && f < 300; s += 7) {               // rewritten
    if (b.generations[s] == 0) continue;
    b.generations[s] += 5000;
    std::copy(fresh[f].begin(), fresh[f].end(), b.vectors.begin() + s * dim);
    ++f;
  }
  for (; f < fresh.size(); ++f) {  // added past the image
    b.vectors.insert(b.vectors.end(), fresh[f].begin(), fresh[f].end());
    b.generations.push_back(9000 + f);
  }
  std::vector<std::uint8_t> live_flags;
  std::set<std::uint64_t> live;
  testing::Vectors queries;
  for (std::uint64_t s = 0; s < b.generations.size(); ++s) {
    live_flags.push_back(b.generations[s] != 0);
    if (live_flags.back() != 0) live.insert(s);
    if (s % 23 == 0) queries.emplace_back(&b.vectors[s * dim], &b.vectors[s * dim] + dim);
  }
  DenseFlat exact(dim, kEuclidean);
  ASSERT_TRUE(exact.append(b.vectors, live_flags));
  const Bytes none, truncated(image.begin(), image.end() - 1);
  for (const Bytes* bytes : {&image, &none, &truncated}) {
    auto r = restore_hnsw(*bytes, dim, kEuclidean, HnswParams{}, b.vectors, b.generations).value();
    EXPECT_EQ(r.snapshot_error.has_value(), bytes != &image);
    EXPECT_EQ(id_set(r.graph), live);
    EXPECT_EQ(reachable_layer0(r.graph), live);
    testing::expect_lists_sound(r.graph, id_set(r.graph));
    EXPECT_EQ(r.kept > 900 && r.removed > 200, bytes == &image);
    EXPECT_EQ(r.kept + r.inserted, live.size());
    EXPECT_GE(testing::recall(r.graph, exact, queries, {}), 0.9);
  }
}

}  // namespace
}  // namespace orvane::index
