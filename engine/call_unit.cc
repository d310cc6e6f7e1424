#include "engine/call_unit.h"

namespace orvane::engine {

CallUnit::CallUnit(storage::PageCache& cache, storage::Wal& wal) : cache_(cache), wal_(wal) {
  cache_.begin_call();
}

CallUnit::~CallUnit() {
  if (open_) rollback();
}

storage::Result<void> CallUnit::commit(bool barrier) {
  const std::vector<storage::ChangedPage> pages = cache_.changed_pages();
  if (!pages.empty()) {
    if (auto r = wal_.append_frames(pages, barrier); !r) {
      rollback();
      return r;
    }
  }
  cache_.end_call();
  open_ = false;
  return {};
}

void CallUnit::rollback() {
  cache_.rollback_call();
  open_ = false;
}

}  // namespace orvane::engine
