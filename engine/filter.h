// Filter: a parsed metadata filter in the common `where` form, and
// BoundFilter: the same filter resolved against one collection's columns,
// cheap enough to test every node a graph search visits.
//
// Grammar (a JSON object; its members are combined with AND):
//   {"key": v}                      equality (v a string, number or boolean)
//   {"key": {"$eq": v}}             the same; "$ne" its negation
//   {"key": {"$in": [v, ...]}}      one of the values; "$nin" its negation
//   {"key": {"$gt": n}}             numeric "$gt" "$gte" "$lt" "$lte"
//   {"$and": [f, ...]}, {"$or": [f, ...]}   non-empty lists of filters
// Several operators under one key are combined with AND. {} matches every
// slot. A slot without the key fails every test except $ne and $nin (the
// negations of $eq and $in). Numbers compare by value (1 equals 1.0); a
// boolean is not a number; the order tests hold only for numbers.
#pragma once

#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "engine/errors.h"
#include "engine/metadata_columns.h"

namespace orvane::engine {

class BoundFilter;

class Filter {
 public:
  // Parses the JSON text of a filter. A malformed filter is a MetadataError
  // of kind InvalidFilter naming what is wrong. Cost: O(text).
  [[nodiscard]] static EngineResult<Filter> parse(std::string_view json_text);
  [[nodiscard]] static EngineResult<Filter> from_json(const nlohmann::json& filter);

  // Resolves the keys and strings against `columns`. The result is valid
  // while `columns` is unchanged (its collection's read lock held). Cost:
  // O(size of the filter), plus O(string codes) per $in over strings.
  BoundFilter bind(const MetadataColumns& columns) const;

  enum class Op : std::uint8_t { And, Or, Eq, Ne, In, Nin, Lt, Lte, Gt, Gte };
  // A constant of the filter: a string, number or boolean.
  struct Value {
    CellKind kind = CellKind::Missing;  // Bool, Int, Float or String
    std::int64_t integer = 0;           // Bool 0/1, Int
    double number = 0.0;                // Int and Float, as a double
    std::string text;                   // String
  };
  // Prefix order: an And/Or node is followed by its `children` subtrees; a
  // subtree spans `span` nodes (itself included).
  struct Node {
    Op op = Op::And;
    std::uint32_t children = 0;
    std::uint32_t span = 1;
    std::string key;            // comparisons
    std::vector<Value> values;  // one for Eq/Ne and the order tests; the list for In/Nin
  };

 private:
  friend class BoundFilter;
  std::vector<Node> nodes_;
};

class BoundFilter {
 public:
  // Whether the slot's metadata passes. Cost: a few loads and compares per
  // comparison of the filter (a hash lookup for a key held by few slots).
  bool matches(std::uint64_t slot) const { return eval(0, slot); }
  // True when the filter holds for every slot ({}), so callers may skip it.
  bool matches_everything() const { return nodes_.size() == 1 && nodes_[0].children == 0 &&
                                           nodes_[0].op == Filter::Op::And; }
  // The slots below slot_count that pass, ascending. Cost: O(slot_count).
  std::vector<std::uint64_t> matching_slots(std::uint64_t slot_count) const;

 private:
  friend class Filter;
  struct Node {
    Filter::Op op;
    std::uint32_t children;
    std::uint32_t span;
    const MetadataColumn* column;      // null when no slot ever held the key
    std::vector<Cell> cells;           // constants as cells; strings by code
    std::vector<std::uint8_t> codes;   // $in/$nin over strings: 1 per matching code
  };
  bool eval(std::size_t node, std::uint64_t slot) const;
  bool test(const Node& node, Cell cell) const;

  std::vector<Node> nodes_;
};

}  // namespace orvane::engine
