// HNSW graph beside hnswlib on 100,000 clustered vectors of dimension 128
// (fixed seed), Euclidean, single thread, M 16, ef_construction 200.
//
//   hnsw_build/ENGINE      one full build per iteration (insert every vector)
//   hnsw_query_k10/ENGINE  all kQueries queries at k = 10, ef 64, per iteration;
//                          counters: qps, recall@10 against brute force
//   hnsw_sweep/ENGINE      ef from 16 to 512: recall@10 and QPS (best of three
//                          passes, thread CPU time) per ef, written as
//                          recall_qps_ENGINE.csv into $ORVANE_BENCH_OUT (when
//                          set) and printed to stdout
//
// Both engines index the same vectors under the same ids; ground truth is an
// exhaustive scan with orvane's distance. hnswlib's L2 is the squared
// distance, which orders neighbours the same way. Sizes can be reduced for a
// quick look with ORVANE_HNSW_BENCH_N (number of stored vectors).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "index/distance.h"
#include "index/hnsw_graph.h"
#include "index/score_order.h"

#ifdef ORVANE_HAVE_HNSWLIB
#include <hnswlib/hnswlib.h>
#endif

namespace orvane::index {
namespace {

constexpr std::size_t kDim = 128;
constexpr std::size_t kQueries = 1000;
constexpr std::size_t kK = 10;
constexpr std::size_t kClusters = 50;
constexpr float kSpread = 1.5f;
constexpr std::size_t kEfs[] = {16, 24, 32, 48, 64, 96, 128, 192, 256, 384, 512};

struct Data {
  std::size_t n = 0;
  std::vector<float> stored;   // n * kDim
  std::vector<float> queries;  // kQueries * kDim
  std::vector<std::set<std::uint64_t>> truth;
};

std::size_t stored_count() {
  const char* env = std::getenv("ORVANE_HNSW_BENCH_N");
  return env != nullptr ? std::strtoull(env, nullptr, 10) : 100000;
}

void fill_clustered(std::mt19937_64& rng, const std::vector<float>& centres, std::size_t count,
                    std::vector<float>& out) {
  std::normal_distribution<float> noise(0.0f, kSpread);
  out.resize(count * kDim);
  for (std::size_t i = 0; i < count; ++i) {
    const float* c = centres.data() + (rng() % kClusters) * kDim;
    for (std::size_t j = 0; j < kDim; ++j) out[i * kDim + j] = c[j] + noise(rng);
  }
}

const Data& data() {
  static const Data d = [] {
    Data d;
    d.n = stored_count();
    std::mt19937_64 rng(20240607);
    std::normal_distribution<float> unit(0.0f, 1.0f);
    std::vector<float> centres(kClusters * kDim);
    for (float& x : centres) x = unit(rng);
    fill_clustered(rng, centres, d.n, d.stored);
    fill_clustered(rng, centres, kQueries, d.queries);
    std::vector<float> dist(d.n);
    std::vector<std::uint32_t> order(d.n);
    for (std::size_t q = 0; q < kQueries; ++q) {
      distance_batch(DistanceMetric::Euclidean, d.queries.data() + q * kDim, d.stored.data(), kDim,
                     d.n, dist.data());
      for (std::uint32_t i = 0; i < d.n; ++i) order[i] = i;
      std::partial_sort(order.begin(), order.begin() + kK, order.end(),
                        [&](std::uint32_t a, std::uint32_t b) {  // ties by position
                          const std::uint32_t ka = score_key(dist[a]), kb = score_key(dist[b]);
                          return ka != kb ? ka < kb : a < b;
                        });
      std::set<std::uint64_t>& t = d.truth.emplace_back();
      for (std::size_t i = 0; i < kK; ++i) t.insert(order[i] + 1);
    }
    return d;
  }();
  return d;
}

const float* query(std::size_t q) { return data().queries.data() + q * kDim; }

double thread_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

// Runs every query once; returns recall@10.
template <class Search>
double one_pass(Search&& search) {
  std::size_t found = 0;
  for (std::size_t q = 0; q < kQueries; ++q) found += search(q);
  return static_cast<double>(found) / (kK * kQueries);
}

// Runs every query at one ef, best of three passes; returns {recall@10,
// queries per second of this thread's CPU time}. CPU time, not wall time: on
// a shared machine the wall clock also counts the time other processes ran.
template <class Search>
std::pair<double, double> measure(Search&& search) {
  std::size_t found = 0;
  double best = 0.0;
  for (int pass = 0; pass < 3; ++pass) {
    found = 0;
    const double start = thread_seconds();
    for (std::size_t q = 0; q < kQueries; ++q) found += search(q);
    best = std::max(best, kQueries / (thread_seconds() - start));
  }
  return {static_cast<double>(found) / (kK * kQueries), best};
}

void write_sweep(const char* engine, const std::vector<std::array<double, 3>>& rows) {
  std::string csv = "ef,recall,qps\n";
  for (const auto& r : rows) {
    char line[96];
    std::snprintf(line, sizeof line, "%.0f,%.4f,%.1f\n", r[0], r[1], r[2]);
    csv += line;
  }
  std::printf("recall/QPS sweep, %s\n%s", engine, csv.c_str());
  if (const char* dir = std::getenv("ORVANE_BENCH_OUT")) {
    std::ofstream(std::string(dir) + "/recall_qps_" + engine + ".csv") << csv;
  }
}

// ---- orvane ----

std::unique_ptr<HnswGraph>& orvane_graph() {
  static std::unique_ptr<HnswGraph> graph;
  return graph;
}

void build_orvane() {
  const Data& d = data();
  auto g = std::make_unique<HnswGraph>(kDim, DistanceMetric::Euclidean);
  for (std::size_t i = 0; i < d.n; ++i) {
    auto r = g->insert(i + 1, std::span<const float>(d.stored.data() + i * kDim, kDim));
    if (!r) std::abort();
  }
  orvane_graph() = std::move(g);
}

HnswGraph& orvane() {
  if (!orvane_graph()) build_orvane();
  return *orvane_graph();
}

std::size_t orvane_hits(HnswGraph& g, std::size_t q, std::size_t ef = 64) {
  SearchOptions options;
  options.ef = ef;
  auto hits = g.search(std::span<const float>(query(q), kDim), kK, options);
  std::size_t found = 0;
  for (const ScoredId& h : *hits) found += data().truth[q].contains(h.id) ? 1 : 0;
  return found;
}

void BM_build_orvane(benchmark::State& state) {
  data();
  for (auto _ : state) build_orvane();
  state.counters["inserts/s"] = benchmark::Counter(static_cast<double>(data().n),
                                                   benchmark::Counter::kIsIterationInvariantRate);
}

void BM_query_orvane(benchmark::State& state) {
  HnswGraph& g = orvane();
  double recall = 0.0;
  for (auto _ : state) recall = one_pass([&](std::size_t q) { return orvane_hits(g, q); });
  state.counters["recall@10"] = recall;
  state.counters["qps"] =
      benchmark::Counter(kQueries, benchmark::Counter::kIsIterationInvariantRate);
}

void BM_sweep_orvane(benchmark::State& state) {
  HnswGraph& g = orvane();
  std::vector<std::array<double, 3>> rows;
  for (auto _ : state) {
    rows.clear();
    for (std::size_t ef : kEfs) {
      const auto [recall, qps] = measure([&](std::size_t q) { return orvane_hits(g, q, ef); });
      rows.push_back({static_cast<double>(ef), recall, qps});
    }
  }
  write_sweep("orvane", rows);
}

BENCHMARK(BM_build_orvane)->Name("hnsw_build/orvane")->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK(BM_query_orvane)
    ->Name("hnsw_query_k10/orvane")
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_sweep_orvane)->Name("hnsw_sweep/orvane")->Iterations(1)->Unit(benchmark::kSecond);

// ---- hnswlib ----
#ifdef ORVANE_HAVE_HNSWLIB

struct Peer {
  hnswlib::L2Space space{kDim};
  std::unique_ptr<hnswlib::HierarchicalNSW<float>> index;
};

std::unique_ptr<Peer>& peer_index() {
  static std::unique_ptr<Peer> peer;
  return peer;
}

void build_peer() {
  const Data& d = data();
  peer_index().reset();
  auto p = std::make_unique<Peer>();
  p->index = std::make_unique<hnswlib::HierarchicalNSW<float>>(&p->space, d.n, 16, 200, 100);
  for (std::size_t i = 0; i < d.n; ++i) p->index->addPoint(d.stored.data() + i * kDim, i + 1);
  peer_index() = std::move(p);
}

hnswlib::HierarchicalNSW<float>& peer() {
  if (!peer_index()) build_peer();
  return *peer_index()->index;
}

std::size_t peer_hits(hnswlib::HierarchicalNSW<float>& h, std::size_t q) {
  auto result = h.searchKnn(query(q), kK);
  std::size_t found = 0;
  for (; !result.empty(); result.pop()) found += data().truth[q].contains(result.top().second);
  return found;
}

void BM_build_hnswlib(benchmark::State& state) {
  data();
  for (auto _ : state) build_peer();
  state.counters["inserts/s"] = benchmark::Counter(static_cast<double>(data().n),
                                                   benchmark::Counter::kIsIterationInvariantRate);
}

void BM_query_hnswlib(benchmark::State& state) {
  auto& h = peer();
  h.setEf(64);
  double recall = 0.0;
  for (auto _ : state) recall = one_pass([&](std::size_t q) { return peer_hits(h, q); });
  state.counters["recall@10"] = recall;
  state.counters["qps"] =
      benchmark::Counter(kQueries, benchmark::Counter::kIsIterationInvariantRate);
}

void BM_sweep_hnswlib(benchmark::State& state) {
  auto& h = peer();
  std::vector<std::array<double, 3>> rows;
  for (auto _ : state) {
    rows.clear();
    for (std::size_t ef : kEfs) {
      h.setEf(ef);
      const auto [recall, qps] = measure([&](std::size_t q) { return peer_hits(h, q); });
      rows.push_back({static_cast<double>(ef), recall, qps});
    }
  }
  h.setEf(64);
  write_sweep("hnswlib", rows);
}

BENCHMARK(BM_build_hnswlib)->Name("hnsw_build/hnswlib")->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK(BM_query_hnswlib)
    ->Name("hnsw_query_k10/hnswlib")
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_sweep_hnswlib)->Name("hnsw_sweep/hnswlib")->Iterations(1)->Unit(benchmark::kSecond);

#endif  // ORVANE_HAVE_HNSWLIB

}  // namespace
}  // namespace orvane::index

BENCHMARK_MAIN();
