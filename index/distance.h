// distance(): the one function every vector comparison goes through.
//
// Rounding is fixed: 4-lane blocks accumulated with fused multiply-adds,
// reduced (l0 + l1) + (l2 + l3), then an unfused tail (Euclidean/Dot add each
// tail term to the reduced sum; Cosine sums tails separately and adds them at
// the end). Every ISA variant returns the bits of the scalar reference.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "index/metric.h"

namespace orvane::index {

// distance(metric, a, b) over n = length of a; b has at least n floats.
// `a` is the query (or the node being evaluated). Pure, allocation-free.
float distance(DistanceMetric metric, const float* a, const float* b, std::size_t n);

// out[i] = distance(metric, query, base + i * n, n) for i in [0, count).
void distance_batch(DistanceMetric metric, const float* query, const float* base, std::size_t n,
                    std::size_t count, float* out);

// out[i] = distance(metric, query, vectors[i], n) for i in [0, count).
void distance_batch_ptrs(DistanceMetric metric, const float* query, const float* const* vectors,
                         std::size_t n, std::size_t count, float* out);

// out[q * count + i] = distance(metric, queries + q * n, base + i * n, n) for
// q in [0, query_count), i in [0, count): several queries per pass over the
// stored vectors. Uses thread-local scratch.
void distance_multi(DistanceMetric metric, const float* queries, std::size_t query_count,
                    const float* base, std::size_t n, std::size_t count, float* out);

// Kernel variants, for tests and benchmarks.
enum class Isa { Scalar, Avx2, Avx512 };
std::vector<Isa> runnable_isas();  // detected once at first use
Isa active_isa();
// Forces a variant for the calling process (tests only); returns false if not runnable.
bool force_isa_for_testing(Isa isa);

}  // namespace orvane::index
