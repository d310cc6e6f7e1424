#include "engine/metadata_store.h"

namespace orvane::engine {

void MetadataStore::upsert(const std::string& id, nlohmann::json metadata) {
  documents_.insert_or_assign(id, std::move(metadata));
}

void MetadataStore::erase(const std::string& id) { documents_.erase(id); }

const nlohmann::json* MetadataStore::find(const std::string& id) const {
  auto it = documents_.find(id);
  return it == documents_.end() ? nullptr : &it->second;
}

}  // namespace orvane::engine
