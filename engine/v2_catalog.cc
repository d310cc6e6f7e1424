#include "engine/v2_catalog.h"

#include <nlohmann/json.hpp>
#include <unordered_set>

#include "storage/coding.h"

namespace orvane::engine {
namespace {

storage::StorageError damaged(std::uint64_t offset, const std::string& text) {
  return storage::StorageError::invalid_database_file("catalog entry at " +
                                                      std::to_string(offset) + ": " + text);
}

bool read_u32_member(const nlohmann::json& j, const char* key, std::uint32_t& out) {
  auto it = j.find(key);
  if (it == j.end()) return true;
  if (!it->is_number_unsigned() || it->get<std::uint64_t>() > 0xffffffffu) return false;
  out = static_cast<std::uint32_t>(it->get<std::uint64_t>());
  return true;
}

std::optional<V2Config> decode_config(std::string_view text) {
  auto j = nlohmann::json::parse(text, nullptr, false);
  if (j.is_discarded() || !j.is_object()) return std::nullopt;
  V2Config c;
  auto dim = j.find("dimension");
  auto metric = j.find("metric");
  auto type = j.find("index_type");
  if (dim == j.end() || !dim->is_number_unsigned()) return std::nullopt;
  c.dimension = dim->get<std::uint64_t>();
  if (metric == j.end() || !metric->is_string()) return std::nullopt;
  auto m = index::metric_from_name(metric->get<std::string>());
  if (!m) return std::nullopt;
  c.metric = *m;
  if (type == j.end() || !type->is_string()) return std::nullopt;
  c.index.type = type->get<std::string>();
  if (c.index.type != "flat" && c.index.type != "hnsw") return std::nullopt;
  if (!read_u32_member(j, "m", c.index.m) ||
      !read_u32_member(j, "ef_construction", c.index.ef_construction) ||
      !read_u32_member(j, "ef_search", c.index.ef_search)) {
    return std::nullopt;
  }
  return c;
}

}  // namespace

std::string encode_v2_config(const V2Config& c) {
  nlohmann::ordered_json j;
  j["dimension"] = c.dimension;
  j["metric"] = std::string(index::metric_name(c.metric));
  j["index_type"] = c.index.type;
  j["m"] = c.index.m;
  j["ef_construction"] = c.index.ef_construction;
  j["ef_search"] = c.index.ef_search;
  return j.dump();
}

std::array<std::uint8_t, 32> encode_roots(const StreamRoots& roots) {
  std::array<std::uint8_t, 32> out{};
  for (std::size_t i = 0; i < roots.size(); ++i) storage::put_u64(out.data() + 8 * i, roots[i]);
  return out;
}

std::vector<std::uint8_t> encode_catalog_entry(const CatalogEntry& e) {
  const std::string config = encode_v2_config(e.config);
  std::vector<std::uint8_t> out(kCatalogEntryHeader + e.name.size() + config.size(), 0);
  std::uint8_t* p = out.data();
  storage::put_u32(p, static_cast<std::uint32_t>(out.size()));
  storage::put_u32(p + 4, e.live ? 1 : 0);
  const auto roots = encode_roots(e.roots);
  std::copy(roots.begin(), roots.end(), p + kCatalogRootsOffset);
  storage::put_u32(p + 40, static_cast<std::uint32_t>(e.name.size()));
  std::copy(e.name.begin(), e.name.end(), p + kCatalogEntryHeader);
  std::copy(config.begin(), config.end(), p + kCatalogEntryHeader + e.name.size());
  return out;
}

storage::Result<std::vector<CatalogEntry>> decode_catalog(std::span<const std::uint8_t> bytes) {
  std::vector<CatalogEntry> out;
  std::unordered_set<std::string> live_names;
  std::uint64_t at = 0;
  while (at < bytes.size()) {
    if (bytes.size() - at < kCatalogEntryHeader) return std::unexpected(damaged(at, "truncated"));
    const std::uint8_t* p = bytes.data() + at;
    const std::uint32_t length = storage::get_u32(p);
    const std::uint32_t name_length = storage::get_u32(p + 40);
    if (length < kCatalogEntryHeader || length > bytes.size() - at ||
        name_length > length - kCatalogEntryHeader) {
      return std::unexpected(damaged(at, "length " + std::to_string(length)));
    }
    CatalogEntry e;
    e.offset = at;
    const std::uint32_t flags = storage::get_u32(p + 4);
    if (flags > 1) return std::unexpected(damaged(at, "flags " + std::to_string(flags)));
    e.live = flags == 1;
    for (std::size_t i = 0; i < e.roots.size(); ++i) {
      e.roots[i] = storage::get_u64(p + kCatalogRootsOffset + 8 * i);
    }
    e.name.assign(reinterpret_cast<const char*>(p + kCatalogEntryHeader), name_length);
    const std::string_view config(reinterpret_cast<const char*>(p + kCatalogEntryHeader) +
                                      name_length,
                                  length - kCatalogEntryHeader - name_length);
    auto c = decode_config(config);
    if (!c) return std::unexpected(damaged(at, "configuration does not parse"));
    e.config = *c;
    if (e.live && !live_names.insert(e.name).second) {
      return std::unexpected(damaged(at, "name " + e.name + " is live twice"));
    }
    out.push_back(std::move(e));
    at += length;
  }
  return out;
}

}  // namespace orvane::engine
