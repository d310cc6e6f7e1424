#include "engine/catalog.h"

#include <mutex>
#include <nlohmann/json.hpp>

#include "engine/json_text.h"
#include "storage/page.h"
#include "storage/try.h"

namespace orvane::engine {

namespace {

using nlohmann::json;

constexpr std::size_t kFieldCount = 8;
constexpr const char* kFieldNames[kFieldCount] = {
    "name",           "dimension",          "distance",       "description",
    "data_root_page", "metadata_root_page", "hnsw_edge_page", "index_type"};

std::optional<std::uint64_t> as_u64(const json& v) {
  if (v.is_number_unsigned()) return v.get<std::uint64_t>();
  // "-0" parses as a signed zero: non-negative, so it is accepted.
  if (v.is_number_integer() && v.get<std::int64_t>() == 0) return 0;
  return std::nullopt;
}

// Applies field `index` from `v`; false when the value has the wrong type.
bool apply_field(CollectionConfig& c, std::size_t index, const json& v) {
  switch (index) {
    case 0:
    case 3:
    case 7: {
      if (!v.is_string()) return false;
      std::string& target = index == 0 ? c.name : index == 3 ? c.description : c.index_type;
      target = v.get<std::string>();
      return true;
    }
    case 2: {
      if (!v.is_string()) return false;
      auto metric = index::metric_from_name(v.get_ref<const std::string&>());
      if (!metric) return false;
      c.distance = *metric;
      return true;
    }
    default: {
      auto n = as_u64(v);
      if (!n) return false;
      std::uint64_t& target = index == 1   ? c.dimension
                              : index == 4 ? c.data_root_page
                              : index == 5 ? c.metadata_root_page
                                           : c.hnsw_edge_page;
      target = *n;
      return true;
    }
  }
}

}  // namespace

index::DistanceMetric metric_from_argument(std::optional<std::string_view> argument) {
  if (argument == "dot") return index::DistanceMetric::DotProduct;
  if (argument == "euclidean") return index::DistanceMetric::Euclidean;
  return index::DistanceMetric::Cosine;
}

std::expected<std::string, std::string> encode_config(const CollectionConfig& c) {
  // Built by hand: the member order is part of the format, and the library's
  // objects sort their members by name.
  std::string out;
  auto text = [&](const char* member, const std::string& value) -> bool {
    RenderedJson rendered = render_json(json(value));
    if (!rendered.text) {
      out = std::move(rendered.error);
      return false;
    }
    out += out.empty() ? "{\"" : ",\"";
    out += member;
    out += "\":";
    out += *rendered.text;
    return true;
  };
  auto number = [&](const char* member, std::uint64_t value) {
    out += ",\"";
    out += member;
    out += "\":";
    out += std::to_string(value);
  };
  if (!text("name", c.name)) return std::unexpected(std::move(out));
  number("dimension", c.dimension);
  out += ",\"distance\":\"";
  out += index::metric_name(c.distance);
  out += '"';
  if (!text("description", c.description)) return std::unexpected(std::move(out));
  number("data_root_page", c.data_root_page);
  number("metadata_root_page", c.metadata_root_page);
  number("hnsw_edge_page", c.hnsw_edge_page);
  if (!text("index_type", c.index_type)) return std::unexpected(std::move(out));
  out += '}';
  return out;
}

std::optional<CollectionConfig> decode_config(std::span<const std::uint8_t> record) {
  std::string_view text(reinterpret_cast<const char*>(record.data()), record.size());
  auto value = parse_json_text(text, /*reject_duplicate_members=*/true);
  if (!value) return std::nullopt;
  CollectionConfig config;
  if (value->is_object()) {
    bool has_name = false, has_dimension = false;
    for (std::size_t i = 0; i < kFieldCount; ++i) {
      auto it = value->find(kFieldNames[i]);
      if (it == value->end()) continue;
      if (!apply_field(config, i, *it)) return std::nullopt;
      has_name |= i == 0;
      has_dimension |= i == 1;
    }
    if (!has_name || !has_dimension) return std::nullopt;
    return config;
  }
  if (value->is_array()) {
    const std::size_t n = value->size();
    if (n < 2 || n > kFieldCount) return std::nullopt;
    for (std::size_t i = 0; i < n; ++i) {
      if (!apply_field(config, i, (*value)[i])) return std::nullopt;
    }
    return config;
  }
  return std::nullopt;
}

storage::Result<std::vector<CollectionConfig>> read_catalog(storage::PageCache& cache,
                                                            storage::PageId page_id) {
  auto page = cache.fetch_page(page_id);
  ORVANE_TRY(page);
  std::vector<CollectionConfig> configs;
  std::shared_lock lock((*page)->mutex());
  const auto bytes = std::as_const(**page).bytes();
  const std::uint16_t slots = storage::PageHeader::decode(bytes).slot_count;
  for (std::uint16_t slot = 0; slot < slots; ++slot) {
    auto record = storage::read_record(page_id, bytes, slot);
    if (!record || record->empty()) continue;
    if (auto config = decode_config(*record)) configs.push_back(std::move(*config));
  }
  return configs;
}

}  // namespace orvane::engine
