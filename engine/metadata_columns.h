// MetadataColumns: a collection's metadata held as columns, one per top-level
// key, each with one cell per slot, so a filter tests a slot with a couple of
// loads and compares instead of parsing or walking JSON.
//
// Built from each slot's metadata object: set() when a slot is written
// (insert, upsert, load at open), erase() when it is freed (delete, the old
// slot of a replaced id). Values that are not a string, number, boolean or
// null (arrays, objects) are kept as "other": present, equal to nothing.
// Strings are interned per column; codes are never reused, so a string that
// no slot holds any more keeps its code until the columns are rebuilt.
//
// Memory: a key held by many slots is a dense column (9 bytes per slot up to
// the highest slot holding it); a key held by few slots stays in a hash map,
// so metadata whose keys differ from document to document does not cost
// keys x slots.
// Thread-safety: none of its own; the collection's lock guards it (set/erase
// under the write lock, filters bound and evaluated under the read lock).
#pragma once

#include <cstdint>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace orvane::engine {

// Lets string-keyed maps be searched with a string_view, without a copy.
struct TextHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view text) const {
    return std::hash<std::string_view>{}(text);
  }
};
template <class Value>
using TextMap = std::unordered_map<std::string, Value, TextHash, std::equal_to<>>;

enum class CellKind : std::uint8_t { Missing, Null, Bool, Int, Float, String, Other };

// One slot's value under one key. bits: Bool 0/1, Int the int64 value, Float
// the double's bits, String the column's code for the text.
struct Cell {
  CellKind kind = CellKind::Missing;
  std::uint64_t bits = 0;
};

class MetadataColumn {
 public:
  // REQUIRES: cell.kind != Missing.
  void put(std::uint64_t slot, Cell cell);
  void remove(std::uint64_t slot);
  // Cost: two loads when dense, a hash lookup when sparse.
  Cell get(std::uint64_t slot) const {
    if (dense_) {
      if (slot >= kinds_.size()) return {};
      return {kinds_[slot], bits_[slot]};
    }
    const auto it = sparse_.find(slot);
    return it == sparse_.end() ? Cell{} : it->second;
  }
  // The code of a string some slot held (or holds), or -1 when none ever did.
  std::int64_t find_string(std::string_view text) const;
  std::uint64_t string_codes() const { return strings_.size(); }
  std::uint32_t intern(const std::string& text);

 private:
  void make_dense();

  bool dense_ = false;
  std::vector<CellKind> kinds_;  // dense: by slot
  std::vector<std::uint64_t> bits_;
  std::unordered_map<std::uint64_t, Cell> sparse_;
  std::uint64_t highest_ = 0;  // sparse: highest slot put so far
  TextMap<std::uint32_t> strings_;
};

class MetadataColumns {
 public:
  // Records the top-level members of `metadata` for `slot`, replacing what
  // the slot held. Anything but an object records nothing. Cost: O(members),
  // plus O(keys) when the slot held values.
  void set(std::uint64_t slot, const nlohmann::json& metadata);
  // As above from JSON text; text that does not parse records nothing.
  void set_text(std::uint64_t slot, std::string_view metadata_json);
  // Forgets the slot's values. Cost: O(keys) when it held any, else O(1).
  void erase(std::uint64_t slot);
  void clear();

  // The column of `key`, or null when no slot ever held the key.
  const MetadataColumn* find(std::string_view key) const;

 private:
  TextMap<MetadataColumn> columns_;
  std::vector<bool> has_values_;  // by slot
};

// The cell a JSON value becomes in `column` (interning a string).
Cell to_cell(const nlohmann::json& value, MetadataColumn& column);

}  // namespace orvane::engine
