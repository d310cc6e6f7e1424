// Database: the engine object behind one open Kestrum. Owns the page cache,
// the write-ahead log and the collections map.
//
// Thread-safety: all public methods may be called from any thread. Lock order:
// collections map lock, then one collection's lock (the map lock is released
// first); the catalog lock never together with the map lock.
//
// PUBLIC INTERFACE (the binding relies on these signatures); internals are free.
#pragma once

#include <cstdint>
#include <memory>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/errors.h"

namespace orvane::engine {

struct SearchResult {
  std::string id;
  float score = 0.0f;
  std::optional<std::string> metadata;  // compact JSON text, if any
};

class Database {
 public:
  // Runs the open sequence. `path` is kept as given for display; the files
  // are addressed by the path resolved at open. A file that a live Database
  // of this process has open (same device and inode, whatever the path)
  // gives that same Database. A file open in another process fails with
  // WriteConflict and is left untouched.
  [[nodiscard]] static EngineResult<std::shared_ptr<Database>> open(const std::string& path);
  // close() with its outcome discarded, then the files are closed. In a
  // forked child: nothing is written and nothing deleted.
  ~Database();

  const std::string& path() const;

  // Collection lifecycle. create/get return the collection's dimension.
  // distance: "dot" -> DotProduct, "euclidean" -> Euclidean, anything else or none -> Cosine.
  [[nodiscard]] EngineResult<std::uint64_t> create_collection(
      const std::string& name, std::uint64_t dim, std::optional<std::string_view> distance);
  [[nodiscard]] EngineResult<std::uint64_t> get_collection(const std::string& name);
  // Lists nothing in a process that does not own the database (check_owner).
  std::vector<std::string> list_collections();
  // Flush, checkpoint, delete the log. The object stays usable.
  [[nodiscard]] EngineResult<void> close();
  // WriteConflict in a process that did not open this database (a child
  // forked from the one that did). Every other operation with an error
  // channel checks this itself and fails the same way there.
  [[nodiscard]] EngineResult<void> check_owner() const;

  // Collection operations.
  [[nodiscard]] EngineResult<std::string> insert(const std::string& collection,
                                                 std::optional<std::string> id,
                                                 std::span<const float> vector,
                                                 const nlohmann::json* metadata = nullptr);
  [[nodiscard]] EngineResult<std::vector<SearchResult>> search(
      const std::string& collection, std::optional<std::span<const float>> query,
      std::uint64_t top_k = 10);
  [[nodiscard]] EngineResult<void> remove(const std::string& collection, const std::string& id);
  [[nodiscard]] EngineResult<std::uint64_t> count(const std::string& collection);

  struct Impl;  // defined in engine/database_impl.h

 private:
  explicit Database(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace orvane::engine
