// The batch API. Placeholder bodies until format 2's collections land: each
// reports that it is not available yet.
#include "engine/database.h"
#include "engine/database_impl.h"

namespace orvane::engine {

namespace {

template <class T>
EngineResult<T> not_yet() {
  return std::unexpected(EngineError::internal("not available yet"));
}

}  // namespace

EngineResult<std::shared_ptr<Database>> Database::open(const std::string& path,
                                                       const OpenOptions& /*options*/) {
  return open(path);
}

FileFormat Database::format() const { return FileFormat::Classic; }

EngineResult<CollectionInfo> Database::create_collection(const std::string&, std::uint64_t,
                                                         std::string_view, const IndexSpec&) {
  return not_yet<CollectionInfo>();
}

EngineResult<CollectionInfo> Database::collection_info(const std::string&) {
  return not_yet<CollectionInfo>();
}

EngineResult<void> Database::delete_collection(const std::string&) { return not_yet<void>(); }

EngineResult<std::vector<std::string>> Database::add(const std::string&, std::span<const float>,
                                                     std::uint64_t, std::span<const std::string>,
                                                     std::span<const std::optional<std::string>>,
                                                     WriteMode) {
  return not_yet<std::vector<std::string>>();
}

EngineResult<BatchSearchResult> Database::search_batch(const std::string&, std::span<const float>,
                                                       std::uint64_t, std::uint64_t,
                                                       const Filter*, std::uint32_t,
                                                       std::uint32_t, bool) {
  return not_yet<BatchSearchResult>();
}

EngineResult<GetResult> Database::get(const std::string&, std::span<const std::string>, bool) {
  return not_yet<GetResult>();
}

EngineResult<std::uint64_t> Database::remove_batch(const std::string&,
                                                   std::span<const std::string>, const Filter*) {
  return not_yet<std::uint64_t>();
}

}  // namespace orvane::engine
