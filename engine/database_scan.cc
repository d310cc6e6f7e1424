// Whole-collection scans of the batch API. Placeholder until format 2's
// collections land: reports that it is not available yet.
#include "engine/database.h"

namespace orvane::engine {

EngineResult<std::vector<std::string>> Database::list_ids(const std::string&) {
  return std::unexpected(EngineError::internal("not available yet"));
}

}  // namespace orvane::engine
