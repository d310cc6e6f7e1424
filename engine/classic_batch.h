// The batch API's reads on a classic file. A classic collection lives on one
// page, so every read here is a pass over that page; writes of the batch API
// are refused there (a classic call holds one vector, so a batch could not be
// one all-or-nothing unit).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "engine/database.h"
#include "engine/database_impl.h"

namespace orvane::engine::classic_batch {

// What a batch write on a classic file fails with.
EngineError write_refused();

[[nodiscard]] EngineResult<CollectionInfo> info(Database::Impl& db, const std::string& name);
[[nodiscard]] EngineResult<BatchSearchResult> search(Database::Impl& db, const std::string& name,
                                                     std::span<const float> queries,
                                                     std::uint64_t nq, std::uint64_t k,
                                                     const Filter* filter, bool include_metadata);
[[nodiscard]] EngineResult<GetResult> get(Database::Impl& db, const std::string& name,
                                          std::span<const std::string> ids,
                                          bool include_vectors);
[[nodiscard]] EngineResult<std::vector<std::string>> list_ids(Database::Impl& db,
                                                              const std::string& name);

}  // namespace orvane::engine::classic_batch
