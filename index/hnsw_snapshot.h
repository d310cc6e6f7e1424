// HNSW snapshot: the byte image of a graph whose node ids are slots, with a
// generation per slot (the slot's write stamp, 0 = free), and the open rule
// that turns an old image plus the current slots into a complete graph.
//
// Layout (all little-endian; docs/FORMAT2-DESIGN.md section 4.2):
//   off  size  field
//     0     4  kind "HNSW"
//     4     4  version 1
//     8     4  M
//    12     4  M0 (= 2M)
//    16     8  node slots S
//    24     8  entry point slot (u64 max = none)
//    32     4  max level
//    36     4  CRC-32 of every byte after this 64-byte header
//    40     8  byte length of the upper-layer region
//    48    16  zero
//    64  S*(16+4*M0)  node table: u64 generation, u32 level, u32 count0,
//                     M0 x u32 layer-0 neighbours (unused entries zero)
//     …     …  upper region: for each node with level >= 1, in slot order, for
//              levels 1..level: u32 count, M x u32 neighbours
// Links to ids that are no node (one-way links a removal left) are not
// written. Decoding checks every count, slot, level and the checksum first:
// damaged or foreign bytes give an error, never a partial graph.
// Cost: encode and decode are linear in the image size.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "index/errors.h"
#include "index/hnsw_graph.h"

namespace orvane::index {

inline constexpr std::size_t kSnapshotHeaderSize = 64;

// The image of `graph`. REQUIRES: every node id is below generations.size()
// and has a non-zero generation there (an error says which one does not).
[[nodiscard]] IndexResult<std::vector<std::uint8_t>> encode_hnsw_snapshot(
    const HnswGraph& graph, std::span<const std::uint64_t> generations);

struct DecodedHnsw {
  HnswGraph graph;
  std::vector<std::uint64_t> generations;  // per snapshot slot, 0 = no node
};

// The graph of an image, node s taking its vector from vectors[s * dimension].
// params.m must equal the image's M. Errors: "Storage error: HNSW snapshot: …".
[[nodiscard]] IndexResult<DecodedHnsw> decode_hnsw_snapshot(std::span<const std::uint8_t> bytes,
                                                            std::uint64_t dimension,
                                                            DistanceMetric metric,
                                                            const HnswParams& params,
                                                            std::span<const float> vectors);

struct RestoredHnsw {
  HnswGraph graph;
  std::uint64_t kept = 0;      // snapshot nodes whose generation still matches
  std::uint64_t removed = 0;   // stale snapshot nodes taken out with repair
  std::uint64_t inserted = 0;  // live slots that had no kept node
  std::uint64_t linked = 0;    // nodes layer 0 did not reach, linked in
  // Why the image was not used (then every live slot was inserted).
  std::optional<VectorIndexError> snapshot_error;
};

// The open rule. `generations[s]` is slot s's current generation (0 = free),
// `vectors` its vector at s * dimension. Keeps the image's nodes whose
// generation matches, removes the others with repair of their neighbours'
// lists, and inserts every live slot without a kept node. The result holds
// exactly the live slots. An unusable image (empty, damaged, other M) means a
// full build. Fails only when vectors is shorter than generations needs.
[[nodiscard]] IndexResult<RestoredHnsw> restore_hnsw(std::span<const std::uint8_t> bytes,
                                                     std::uint64_t dimension,
                                                     DistanceMetric metric,
                                                     const HnswParams& params,
                                                     std::span<const float> vectors,
                                                     std::span<const std::uint64_t> generations);
// The same rule on `graph`: empty, with dense ids, its vectors already in
// place (HnswGraph::load_vectors of at least generations.size() slots), so
// that nothing is copied. Fails when the graph is not so.
[[nodiscard]] IndexResult<RestoredHnsw> restore_hnsw(std::span<const std::uint8_t> bytes,
                                                     HnswGraph graph,
                                                     std::span<const std::uint64_t> generations);

}  // namespace orvane::index
