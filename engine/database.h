// Database: the engine object behind one open Kestrum. Owns the page cache,
// the write-ahead log and the collections map.
//
// Thread-safety: all public methods may be called from any thread. Lock order:
// collections map lock, then one collection's lock (the map lock is released
// first); the catalog lock never together with the map lock.
//
// The binding depends on exactly these declarations; the state behind Impl is
// private to this class.
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

// How often the files are synchronised to stable storage.
//   Off:    never; for bulk loads (a power cut may lose or damage anything
//           since the last close).
//   Normal: at every point where the log stops being the only copy of a page
//           (checkpoint, close, replay at open); a power cut may lose the
//           latest calls but never corrupts the file.
//   Full:   Normal, plus the log at the end of every mutating call: nothing
//           acknowledged is lost.
enum class Synchronous : std::uint8_t { Off, Normal, Full };

// The rules of a file, chosen by its magic; a new file gets the one asked for.
enum class FileFormat : std::uint8_t { Classic, V2 };

struct OpenOptions {
  Synchronous synchronous = Synchronous::Normal;
  FileFormat new_file_format = FileFormat::Classic;  // a missing or empty file only
  std::uint64_t cache_budget_bytes = std::uint64_t{32} << 20;  // format 2's page cache
};

// A format-2 collection's index and its parameters, fixed at creation.
struct IndexSpec {
  std::string type = "hnsw";  // "hnsw" or "flat"
  std::uint32_t m = 16;
  std::uint32_t ef_construction = 200;
  std::uint32_t ef_search = 64;  // default ef of a search
  bool operator==(const IndexSpec&) const = default;
};

struct CollectionInfo {
  std::string name;
  std::uint64_t dimension = 0;
  std::string metric;  // "Cosine", "Euclidean", "DotProduct"
  IndexSpec index;
  std::uint64_t count = 0;
};

// add refuses an id that exists (naming the first); upsert replaces it.
enum class WriteMode : std::uint8_t { Add, Upsert };

// Row-major results of a batch search: row r holds counts[r] hits at
// [r * k, r * k + counts[r]) of ids/scores (and metadata when asked).
struct BatchSearchResult {
  std::uint64_t k = 0;
  std::vector<std::uint64_t> counts;
  std::vector<std::string> ids;
  std::vector<float> scores;
  std::vector<std::optional<std::string>> metadata;  // compact JSON; empty unless asked
};

struct GetResult {
  std::vector<std::string> ids;  // found ids, in the order asked
  std::vector<float> vectors;    // ids.size() * dimension floats, when asked
  std::vector<std::optional<std::string>> metadata;
};

class Filter;     // engine/filter.h: a parsed metadata filter
struct V2Config;  // engine/v2_catalog.h

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
  // As open(path), with options. A file already open in this process is
  // shared whatever its options were.
  [[nodiscard]] static EngineResult<std::shared_ptr<Database>> open(const std::string& path,
                                                                    const OpenOptions& options);
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

  // Batch API (format 2; on a classic file it works within the classic
  // limits). Every mutating call is one all-or-nothing unit.
  FileFormat format() const;
  [[nodiscard]] EngineResult<CollectionInfo> create_collection(const std::string& name,
                                                               std::uint64_t dim,
                                                               std::string_view metric,
                                                               const IndexSpec& index);
  [[nodiscard]] EngineResult<CollectionInfo> collection_info(const std::string& name);
  [[nodiscard]] EngineResult<void> delete_collection(const std::string& name);
  // `vectors` holds rows * dim floats, row-major. `ids` is empty (every id
  // generated) or has one entry per row; `metadata` is empty or has one
  // compact JSON object text (or nullopt) per row. Returns the ids.
  [[nodiscard]] EngineResult<std::vector<std::string>> add(
      const std::string& collection, std::span<const float> vectors, std::uint64_t rows,
      std::span<const std::string> ids, std::span<const std::optional<std::string>> metadata,
      WriteMode mode);
  // `queries` holds nq * dim floats. ef 0 uses the collection's default.
  // threads 0 uses every core. filter may be null.
  [[nodiscard]] EngineResult<BatchSearchResult> search_batch(
      const std::string& collection, std::span<const float> queries, std::uint64_t nq,
      std::uint64_t k, const Filter* filter, std::uint32_t ef, std::uint32_t threads,
      bool include_metadata);
  [[nodiscard]] EngineResult<GetResult> get(const std::string& collection,
                                            std::span<const std::string> ids,
                                            bool include_vectors);
  // Every live id of the collection, in slot order (export, scans).
  [[nodiscard]] EngineResult<std::vector<std::string>> list_ids(const std::string& collection);
  // Deletes the given ids (unknown ones are skipped) and, when filter is not
  // null, every vector it matches. Returns how many were deleted.
  [[nodiscard]] EngineResult<std::uint64_t> remove_batch(const std::string& collection,
                                                         std::span<const std::string> ids,
                                                         const Filter* filter);

  struct Impl;  // defined in engine/database_impl.h

 private:
  explicit Database(std::unique_ptr<Impl> impl);
  // insert on a format-2 file: a batch of one row, replacing an existing id.
  [[nodiscard]] EngineResult<std::string> insert_v2(const std::string& collection,
                                                    std::optional<std::string> id,
                                                    std::span<const float> vector,
                                                    const nlohmann::json* metadata);
  [[nodiscard]] EngineResult<CollectionInfo> create_classic(const std::string& name,
                                                            const V2Config& config);
  std::unique_ptr<Impl> impl_;
};

}  // namespace orvane::engine
