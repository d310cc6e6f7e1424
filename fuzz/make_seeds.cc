// Writes the seed corpus of every fuzz target: small valid inputs built with
// the system's own encoders (and, for whole files, by the database itself),
// laid out as each target reads its input (see the comment atop each
// *_fuzz.cc). Deterministic: the thread random generator is seeded.
//
//   make_seeds <corpus dir>      writes <dir>/<target>/<name>
#include <filesystem>
#include <iostream>
#include <string>

#include "engine/catalog.h"
#include "engine/database.h"
#include "engine/records.h"
#include "fuzz/fuzz_support.h"
#include "index/hnsw_edge_page.h"
#include "index/hnsw_graph.h"
#include "storage/coding.h"
#include "storage/header_format.h"
#include "storage/page.h"
#include "storage/random.h"
#include "storage/wal_format.h"

namespace {

using namespace orvane;
using Bytes = std::vector<std::uint8_t>;
using storage::kPageSize;

std::filesystem::path g_root;

void emit(const std::string& target, const std::string& name, const Bytes& bytes) {
  const auto dir = g_root / target;
  std::filesystem::create_directories(dir);
  fuzz::write_file((dir / name).string(), bytes);
}

void append(Bytes& out, std::span<const std::uint8_t> more) {
  out.insert(out.end(), more.begin(), more.end());
}

Bytes text(std::string_view s) { return Bytes(s.begin(), s.end()); }

Bytes page_with(std::uint8_t type, const std::vector<Bytes>& records) {
  Bytes page = storage::new_page_image(type);
  for (const Bytes& r : records) {
    if (!storage::append_to_page(page, r, std::nullopt)) std::abort();
  }
  return page;
}

Bytes header_page(std::uint64_t next_page_id, std::uint64_t catalog_page_id) {
  Bytes page(kPageSize, 0);
  auto h = storage::DatabaseHeader::fresh(1700000000);
  h.next_page_id = next_page_id;
  h.catalog_page_id = catalog_page_id;
  h.encode(page.data());
  return page;
}

Bytes u32_bytes(std::uint32_t v) {
  Bytes b(4);
  storage::put_u32(b.data(), v);
  return b;
}

Bytes floats(std::initializer_list<float> values) {
  Bytes b;
  for (float f : values) {
    Bytes one(4);
    storage::put_f32(one.data(), f);
    append(b, one);
  }
  return b;
}

Bytes config_text(const engine::CollectionConfig& c) { return text(*engine::encode_config(c)); }

engine::CollectionConfig config(std::string name, std::uint64_t dim, bool hnsw) {
  engine::CollectionConfig c;
  c.name = std::move(name);
  c.dimension = dim;
  c.distance = index::DistanceMetric::Euclidean;
  c.data_root_page = 1;
  c.metadata_root_page = 2;
  if (hnsw) {
    c.hnsw_edge_page = 3;
    c.index_type = "hnsw";
  }
  return c;
}

// A graph over ids 1..n in two dimensions, and its edge page.
struct Graph {
  std::vector<std::vector<float>> vectors;
  Bytes edge_page;
};
Graph small_graph(std::size_t n) {
  Graph g;
  index::HnswGraph graph(2, index::DistanceMetric::Euclidean);
  for (std::size_t i = 0; i < n; ++i) {
    g.vectors.push_back({static_cast<float>(i % 5), static_cast<float>(i / 5)});
    if (!graph.insert(i + 1, g.vectors.back())) std::abort();
  }
  g.edge_page = index::build_edge_page(graph).bytes;
  return g;
}

Bytes vector_page_of(const Graph& g) {
  std::vector<Bytes> records;
  for (std::size_t i = 0; i < g.vectors.size(); ++i) {
    records.push_back(engine::encode_vector_record("v" + std::to_string(i), i + 1, g.vectors[i]));
  }
  return page_with(storage::kPageTypeVectorData, records);
}

void page_seeds() {
  const std::vector<Bytes> records = {
      engine::encode_vector_record("a", 7, std::vector<float>{1.0f, 2.0f}),
      engine::encode_deletion_marker("a"), Bytes{}, config_text(config("c", 3, false))};
  Bytes in = {1};
  append(in, page_with(storage::kPageTypeVectorData, records));
  append(in, Bytes{0, 5, 0, 'h', 'e', 'l', 'l', 'o'});  // append "hello"
  append(in, Bytes{1, 0, 0, 3, 0, 'x', 'y', 'z'});      // explicit slot 0
  emit("page", "records", in);

  Bytes full = {1};
  std::vector<Bytes> empties(255, Bytes{});
  append(full, page_with(storage::kPageTypeMetadata, empties));
  append(full, Bytes{0, 1, 0, '!', 0, 1, 0, '?'});  // the 256th fits, the 257th does not
  emit("page", "slots_full", full);

  Bytes big = {1};
  append(big, page_with(storage::kPageTypeHnswEdges, {Bytes(3000, 0xAB)}));
  append(big, Bytes{0, 56, 0});
  append(big, Bytes(56, 0xCD));  // exactly fills the page
  emit("page", "bytes_full", big);
  emit("page", "header_page", [] {
    Bytes b = {0};
    append(b, header_page(1, 0));
    return b;
  }());
}

void records_seeds() {
  const std::vector<float> a = {1.0f, 2.0f, 3.0f}, b = {-1.0f, 0.5f, 4.0f};
  const Bytes data =
      page_with(storage::kPageTypeVectorData,
                {engine::encode_vector_record("a", 1, a), engine::encode_vector_record("b", 2, b),
                 engine::encode_deletion_marker("a"), engine::encode_vector_record("a", 3, b)});
  const Bytes meta = page_with(
      storage::kPageTypeMetadata,
      {engine::encode_metadata_record("b", "{\"tag\":[1,2.5,null]}"),
       engine::encode_metadata_record("a", "\"x\""), engine::encode_deletion_marker("a")});
  const Bytes ops = [] {
    Bytes o = {0, 1, 0};  // insert "a"
    append(o, floats({0.0f, 1.0f, 2.0f}));
    append(o, Bytes{1, 1, 1});  // delete "b"
    append(o, floats({0, 0, 0}));
    return o;
  }();
  Bytes flat = {2, 3};  // Euclidean, dimension 3
  append(flat, data);
  append(flat, meta);
  append(flat, storage::new_page_image(storage::kPageTypeHnswEdges));
  append(flat, ops);
  emit("records", "flat", flat);

  const Graph g = small_graph(12);
  Bytes hnsw = {3, 2};  // hnsw, Euclidean, dimension 2
  append(hnsw, vector_page_of(g));
  append(hnsw, meta);
  append(hnsw, g.edge_page);
  append(hnsw, Bytes{4, 1, 2});
  append(hnsw, floats({0.5f, 0.5f}));
  emit("records", "hnsw", hnsw);
}

void catalog_seeds() {
  emit("catalog", "object", config_text(config("docs", 3, false)));
  emit("catalog", "hnsw", config_text(config("g", 8, true)));
  emit("catalog", "minimal", text("{\"name\":\"x\",\"dimension\":8}"));
  emit("catalog", "array", text("[\"x\",8,\"Euclidean\",\"\",1,2,0,\"hnsw\"]"));
  emit("catalog", "extra_member",
       text(" {\"comment\":{\"a\":[1]},\"dimension\":18446744073709551615,\"name\":\"\\u00e9\"} "));
  emit("catalog", "page",
       page_with(storage::kPageTypeCatalog,
                 {config_text(config("a", 3, false)), text("[\"b\",2]"), text("{\"name\":1}")}));
}

void edges_seeds() {
  const Graph g = small_graph(20);
  Bytes in = {20, 1};
  append(in, g.edge_page);
  for (std::size_t i = 0; i < g.vectors.size(); ++i) {
    in.push_back(static_cast<std::uint8_t>(i));  // id i + 1
    append(in, floats({g.vectors[i][0], g.vectors[i][1]}));
  }
  append(in, Bytes{1, 4});  // remove id 5
  append(in, floats({0, 0}));
  append(in, Bytes{0, 40});  // insert id 41
  append(in, floats({2.5f, 2.5f}));
  emit("edges", "twenty_nodes", in);
}

Bytes wal_header(std::uint32_t salt1, std::uint32_t salt2) {
  const auto h = storage::encode_wal_header(kPageSize, 0, salt1, salt2);
  return Bytes(h.begin(), h.end());
}

void append_frame(Bytes& log, std::uint32_t page_id, std::uint64_t tag, const Bytes& image,
                  std::uint32_t salt1, std::uint32_t salt2) {
  const auto h = storage::encode_frame_header(page_id, tag, salt1, salt2, image);
  append(log, h);
  append(log, image);
}

void wal_seeds() {
  Bytes log = {0};
  append(log, wal_header(11, 22));
  emit("wal", "header_only", log);
  append_frame(log, 0, 2, header_page(3, 0), 11, 22);
  append_frame(log, 1, 3, page_with(storage::kPageTypeVectorData, {Bytes{1, 2, 3}}), 11, 22);
  emit("wal", "one_call", log);
  append_frame(log, 2, 4, page_with(storage::kPageTypeMetadata, {}), 11, 22);
  log.resize(log.size() - 100);  // torn
  emit("wal", "torn_second_call", log);
  emit("wal", "short", Bytes{0, 0x83, 0x06, 0x7F, 0x37, 1});
}

// Whole files written by the database itself: one while it is still open
// (its log holds the frames of every call) and one after close.
void open_seeds(const std::string& tmp) {
  const std::string path = tmp + "/seed.db";
  auto opened = engine::Database::open(path);
  if (!opened) std::abort();
  engine::Database& db = **opened;
  if (!db.create_collection("docs", 3, "euclidean")) std::abort();
  const nlohmann::json doc = {{"kind", "seed"}};
  for (int i = 0; i < 4; ++i) {
    std::vector<float> v = {float(i), 1.0f, -float(i)};
    if (!db.insert("docs", "d" + std::to_string(i), v, i % 2 ? &doc : nullptr)) std::abort();
  }
  if (!db.remove("docs", "d1")) std::abort();
  auto with_log = [&](std::uint8_t control) {
    const Bytes file = fuzz::read_file(path), log = fuzz::read_file(path + "-wal");
    Bytes in = {control};
    append(in, u32_bytes(static_cast<std::uint32_t>(file.size())));
    append(in, file);
    append(in, log);
    return in;
  };
  emit("open", "open_with_log", with_log(1));
  if (!db.close()) std::abort();
  opened->reset();
  emit("open", "closed", with_log(0));

  const Graph g = small_graph(6);
  Bytes file = header_page(5, 4);
  append(file, vector_page_of(g));
  append(file, page_with(storage::kPageTypeMetadata,
                         {engine::encode_metadata_record("v1", "{\"a\":1}")}));
  append(file, g.edge_page);
  append(file, page_with(storage::kPageTypeCatalog, {config_text(config("g", 2, true))}));
  Bytes in = {0};
  append(in, u32_bytes(static_cast<std::uint32_t>(file.size())));
  append(in, file);
  emit("open", "hnsw", in);

  emit("open", "empty", Bytes{0, 0, 0, 0, 0});
  Bytes png = {1, 8, 0, 0, 0, 0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  append(png, wal_header(1, 2));
  emit("open", "png_with_log", png);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: make_seeds <corpus dir>\n";
    return 2;
  }
  storage::thread_random_seed_for_testing(42);
  g_root = argv[1];
  fuzz::ScratchDir tmp;
  page_seeds();
  records_seeds();
  catalog_seeds();
  edges_seeds();
  wal_seeds();
  open_seeds(tmp.path());
  return 0;
}
