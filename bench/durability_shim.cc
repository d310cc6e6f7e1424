// A C entry point to the engine at a chosen durability level, for the
// durability benchmark (loaded with ctypes). Benchmark-only.
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "engine/database.h"

namespace {

struct Handle {
  std::shared_ptr<orvane::engine::Database> db;
};

}  // namespace

extern "C" {

// level: 0 off, 1 normal, 2 full; format: 1 classic, 2 format 2 (for a new
// file). Null when the open fails.
void* orvane_bench_open(const char* path, int level, int format) {
  orvane::engine::OpenOptions options;
  options.synchronous = static_cast<orvane::engine::Synchronous>(level);
  options.new_file_format =
      format == 2 ? orvane::engine::FileFormat::V2 : orvane::engine::FileFormat::Classic;
  auto db = orvane::engine::Database::open(path, options);
  if (!db) return nullptr;
  return new Handle{*db};
}

// 0 when created.
int orvane_bench_create(void* handle, const char* name, std::uint64_t dim) {
  auto r = static_cast<Handle*>(handle)->db->create_collection(name, dim, "euclidean");
  return r ? 0 : 1;
}

// 0 when stored.
int orvane_bench_insert(void* handle, const char* collection, const char* id,
                        const float* vector, std::uint64_t dim) {
  auto r = static_cast<Handle*>(handle)->db->insert(collection, std::string(id),
                                                    std::span<const float>(vector, dim));
  return r ? 0 : 1;
}

// Closes the database (checkpoint, log deleted) and frees the handle.
void orvane_bench_release(void* handle) { delete static_cast<Handle*>(handle); }

}  // extern "C"
