// Whole-collection scans of the batch API. Placeholder until format 2's
// collections land: reports that it is not available yet.
#include "engine/classic_batch.h"
#include "engine/database.h"

namespace orvane::engine {

EngineResult<std::vector<std::string>> Database::list_ids(const std::string& collection) {
  if (!impl_->v2) return classic_batch::list_ids(*impl_, collection);
  return std::unexpected(EngineError::internal("not available yet"));
}

}  // namespace orvane::engine
