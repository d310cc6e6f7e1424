// Helpers for the engine tests: opens, raw file access, hand-written pages.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "engine/database.h"
#include "storage/header_format.h"
#include "storage/page.h"
#include "storage/test_dir.h"

namespace orvane::engine {

using storage::page_of;
using storage::read_file;
using storage::TestDir;
using storage::write_file;

inline std::shared_ptr<Database> open_ok(const std::string& path, OpenOptions options = {}) {
  auto db = Database::open(path, options);
  EXPECT_TRUE(db.has_value()) << (db ? "" : db.error().to_string());
  return db ? *db : nullptr;
}

// A database file "db" in a directory of its own, reopened on request.
struct Scratch {
  explicit Scratch(FileFormat format = FileFormat::Classic)
      : options{.new_file_format = format}, db(open_ok(path, options)) {}
  TestDir dir;
  std::string path = dir.path("db");
  OpenOptions options;
  std::shared_ptr<Database> db;
  void reopen() {
    db.reset();
    db = open_ok(path, options);
  }
};

// n uniform vectors in [-1, 1)^dim, row after row.
inline std::vector<float> random_vectors(std::uint64_t n, std::uint64_t dim, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(-1, 1);
  std::vector<float> v(n * dim);
  for (float& x : v) x = u(rng);
  return v;
}

// The text of the error an open ends with ("" when it succeeds).
inline std::string open_error(const std::string& path) {
  auto db = Database::open(path);
  return db ? std::string() : db.error().to_string();
}
inline bool file_exists(const std::string& path) { return std::filesystem::exists(path); }

// Record `slot` of a page as text ("" when absent).
inline std::string record_text(const std::vector<std::uint8_t>& page, std::uint16_t slot) {
  auto r = storage::read_record(1, page, slot);
  return r ? std::string(r->begin(), r->end()) : std::string();
}

inline std::vector<std::uint8_t> bytes_of(const std::string& s) { return {s.begin(), s.end()}; }

// A database file holding a header and a catalog page (page 1) with the
// given records; `pages` more zeroed pages follow (ids 2, 3, ...).
inline std::vector<std::uint8_t> file_with_catalog(const std::vector<std::string>& records,
                                                   std::size_t pages) {
  std::vector<std::uint8_t> file((2 + pages) * storage::kPageSize, 0);
  storage::DatabaseHeader h = storage::DatabaseHeader::fresh(0);
  h.next_page_id = 2 + pages;
  h.catalog_page_id = 1;
  h.encode(file.data());
  std::vector<std::uint8_t> catalog = storage::new_page_image(storage::kPageTypeCatalog);
  for (const std::string& r : records) {
    EXPECT_TRUE(storage::append_to_page(catalog, bytes_of(r), std::nullopt));
  }
  std::copy(catalog.begin(), catalog.end(), file.begin() + storage::kPageSize);
  return file;
}

// Each result as "id score metadata" ("-": none).
inline std::vector<std::string> hit_texts(const std::vector<SearchResult>& results) {
  std::vector<std::string> out;
  for (const auto& r : results) {
    out.push_back(r.id + " " + std::to_string(r.score) + " " + r.metadata.value_or("-"));
  }
  return out;
}

}  // namespace orvane::engine
