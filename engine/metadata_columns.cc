#include "engine/metadata_columns.h"

#include <bit>
#include <cstdint>
#include <limits>

#include "engine/json_text.h"

namespace orvane::engine {
namespace {

// A sparse column turns dense once it fills an eighth of its slot range:
// from there the dense arrays (9 bytes a slot) cost at most about as much as
// the hash map's nodes, and every lookup becomes two loads.
constexpr std::uint64_t kDenseFraction = 8;

}  // namespace

Cell to_cell(const nlohmann::json& value, MetadataColumn& column) {
  using Type = nlohmann::json::value_t;
  switch (value.type()) {
    case Type::null: return {CellKind::Null, 0};
    case Type::boolean: return {CellKind::Bool, value.get<bool>() ? 1u : 0u};
    case Type::number_integer:
      return {CellKind::Int, static_cast<std::uint64_t>(value.get<std::int64_t>())};
    case Type::number_unsigned: {
      const std::uint64_t u = value.get<std::uint64_t>();
      if (u <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        return {CellKind::Int, u};
      }
      return {CellKind::Float, std::bit_cast<std::uint64_t>(static_cast<double>(u))};
    }
    case Type::number_float:
      return {CellKind::Float, std::bit_cast<std::uint64_t>(value.get<double>())};
    case Type::string: return {CellKind::String, column.intern(value.get_ref<const std::string&>())};
    default: return {CellKind::Other, 0};
  }
}

void MetadataColumn::put(std::uint64_t slot, Cell cell) {
  if (dense_) {
    if (slot >= kinds_.size()) {
      const std::uint64_t size = std::max(slot + 1, kinds_.size() + kinds_.size() / 2);
      kinds_.resize(size, CellKind::Missing);
      bits_.resize(size, 0);
    }
    kinds_[slot] = cell.kind;
    bits_[slot] = cell.bits;
    return;
  }
  sparse_[slot] = cell;
  highest_ = std::max(highest_, slot);
  if (sparse_.size() * kDenseFraction > highest_) make_dense();
}

void MetadataColumn::remove(std::uint64_t slot) {
  if (!dense_) {
    sparse_.erase(slot);
  } else if (slot < kinds_.size()) {
    kinds_[slot] = CellKind::Missing;
  }
}

void MetadataColumn::make_dense() {
  dense_ = true;
  kinds_.assign(highest_ + 1, CellKind::Missing);
  bits_.assign(highest_ + 1, 0);
  for (const auto& [slot, cell] : sparse_) {
    kinds_[slot] = cell.kind;
    bits_[slot] = cell.bits;
  }
  sparse_ = {};
}

std::int64_t MetadataColumn::find_string(std::string_view text) const {
  const auto it = strings_.find(text);
  return it == strings_.end() ? -1 : static_cast<std::int64_t>(it->second);
}

std::uint32_t MetadataColumn::intern(const std::string& text) {
  return strings_.try_emplace(text, static_cast<std::uint32_t>(strings_.size())).first->second;
}

void MetadataColumns::set(std::uint64_t slot, const nlohmann::json& metadata) {
  erase(slot);
  if (!metadata.is_object() || metadata.empty()) return;
  for (const auto& [key, value] : metadata.items()) {
    MetadataColumn& column = columns_[key];
    column.put(slot, to_cell(value, column));
  }
  if (slot >= has_values_.size()) has_values_.resize(slot + 1, false);
  has_values_[slot] = true;
}

void MetadataColumns::set_text(std::uint64_t slot, std::string_view metadata_json) {
  std::optional<nlohmann::json> parsed = parse_json_text(metadata_json);
  set(slot, parsed ? *parsed : nlohmann::json());
}

void MetadataColumns::erase(std::uint64_t slot) {
  if (slot >= has_values_.size() || !has_values_[slot]) return;
  for (auto& [key, column] : columns_) column.remove(slot);
  has_values_[slot] = false;
}

void MetadataColumns::clear() {
  columns_.clear();
  has_values_.clear();
}

const MetadataColumn* MetadataColumns::find(std::string_view key) const {
  const auto it = columns_.find(key);
  return it == columns_.end() ? nullptr : &it->second;
}

}  // namespace orvane::engine
