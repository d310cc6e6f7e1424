// MetadataStore: a collection's documents, external id -> JSON metadata.
// Thread-safety: none of its own; the collection's lock guards it.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <unordered_map>

namespace orvane::engine {

class MetadataStore {
 public:
  // Inserts or replaces the document of `id`. O(1) average plus the copy.
  void upsert(const std::string& id, nlohmann::json metadata);
  // Removes the document of `id`; no effect when absent.
  void erase(const std::string& id);
  // The document's metadata, or null when there is none. Valid until the
  // next change of this store.
  const nlohmann::json* find(const std::string& id) const;
  std::size_t size() const { return documents_.size(); }

 private:
  std::unordered_map<std::string, nlohmann::json> documents_;
};

}  // namespace orvane::engine
