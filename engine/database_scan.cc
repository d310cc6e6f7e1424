// Whole-collection scans of the batch API.
#include <shared_mutex>

#include "engine/classic_batch.h"
#include "engine/database_impl.h"
#include "storage/try.h"

namespace orvane::engine {

EngineResult<std::vector<std::string>> Database::list_ids(const std::string& collection) {
  if (!impl_->v2) return classic_batch::list_ids(*impl_, collection);
  auto c = find_v2(*impl_, collection);
  ORVANE_TRY(c);
  std::shared_lock lock((*c)->mutex());
  return (*c)->live_ids();
}

}  // namespace orvane::engine
