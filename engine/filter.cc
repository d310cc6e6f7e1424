#include "engine/filter.h"

#include <bit>
#include <limits>
#include <nlohmann/json.hpp>
#include <utility>

#include "engine/json_text.h"
#include "storage/try.h"

namespace orvane::engine {
namespace {

using Op = Filter::Op;
using Json = nlohmann::json;

// Filters are written by people; anything deeper is a mistake or an attack
// on the recursive parser's stack.
constexpr int kMaxDepth = 32;

EngineError invalid(std::string text) {
  return MetadataError(MetadataError::Kind::InvalidFilter, std::move(text));
}

// Bracket depth of JSON text, strings skipped, without parsing it.
bool nests_deeper_than(std::string_view text, int limit) {
  int depth = 0;
  bool in_string = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (in_string) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        in_string = false;
      }
    } else if (c == '"') {
      in_string = true;
    } else if (c == '{' || c == '[') {
      if (++depth > limit) return true;
    } else if (c == '}' || c == ']') {
      --depth;
    }
  }
  return false;
}

std::string in_quotes(std::string_view text) { return "'" + std::string(text) + "'"; }

std::expected<Filter::Value, std::string> to_value(const Json& v) {
  Filter::Value out;
  switch (v.type()) {
    case Json::value_t::boolean:
      out.kind = CellKind::Bool;
      out.integer = v.get<bool>() ? 1 : 0;
      return out;
    case Json::value_t::number_integer:
      out.kind = CellKind::Int;
      out.integer = v.get<std::int64_t>();
      out.number = static_cast<double>(out.integer);
      return out;
    case Json::value_t::number_unsigned:
      if (v.get<std::uint64_t>() <= static_cast<std::uint64_t>(INT64_MAX)) {
        out.kind = CellKind::Int;
        out.integer = v.get<std::int64_t>();
        out.number = static_cast<double>(out.integer);
        return out;
      }
      out.kind = CellKind::Float;
      out.number = static_cast<double>(v.get<std::uint64_t>());
      return out;
    case Json::value_t::number_float:
      out.kind = CellKind::Float;
      out.number = v.get<double>();
      return out;
    case Json::value_t::string:
      out.kind = CellKind::String;
      out.text = v.get<std::string>();
      return out;
    default: return std::unexpected(std::string(v.type_name()));
  }
}

class Parser {
 public:
  EngineResult<void> filter(const Json& f, int depth) {
    if (depth > kMaxDepth) {
      return std::unexpected(invalid("nested deeper than " + std::to_string(kMaxDepth) + " levels"));
    }
    if (!f.is_object()) {
      return std::unexpected(invalid(std::string("a filter is an object, not ") + f.type_name()));
    }
    return group(Op::And, f.size(), [&](auto emit) -> EngineResult<void> {
      for (const auto& [key, value] : f.items()) {
        if (auto done = emit([&] { return member(key, value, depth); }); !done) return done;
      }
      return {};
    });
  }

  std::vector<Filter::Node> take() { return std::move(nodes_); }

 private:
  // Appends one node combining `count` children that `body` emits; a single
  // child stands for itself.
  template <class Body>
  EngineResult<void> group(Op op, std::size_t count, Body body) {
    const std::size_t at = nodes_.size();
    if (count != 1) {
      Filter::Node node;
      node.op = op;
      node.children = static_cast<std::uint32_t>(count);
      nodes_.push_back(std::move(node));
    }
    auto result = body([](auto child) { return child(); });
    if (result && count != 1) {
      nodes_[at].span = static_cast<std::uint32_t>(nodes_.size() - at);
    }
    return result;
  }

  EngineResult<void> member(const std::string& key, const Json& value, int depth) {
    if (key == "$and" || key == "$or") {
      if (!value.is_array() || value.empty()) {
        return std::unexpected(invalid(in_quotes(key) + " needs a non-empty list of filters"));
      }
      return group(key == "$and" ? Op::And : Op::Or, value.size(),
                   [&](auto emit) -> EngineResult<void> {
                     for (const Json& child : value) {
                       if (auto d = emit([&] { return filter(child, depth + 1); }); !d) return d;
                     }
                     return {};
                   });
    }
    if (key.starts_with('$')) return std::unexpected(invalid("unknown operator " + in_quotes(key)));
    if (!value.is_object()) return comparison(key, "$eq", value);
    if (value.empty()) {
      return std::unexpected(invalid("the operators for " + in_quotes(key) + " are empty"));
    }
    return group(Op::And, value.size(), [&](auto emit) -> EngineResult<void> {
      for (const auto& [op, operand] : value.items()) {
        if (auto d = emit([&] { return comparison(key, op, operand); }); !d) return d;
      }
      return {};
    });
  }

  EngineResult<void> comparison(const std::string& key, const std::string& op, const Json& v) {
    static const std::pair<std::string_view, Op> kOps[] = {
        {"$eq", Op::Eq}, {"$ne", Op::Ne}, {"$in", Op::In},   {"$nin", Op::Nin},
        {"$lt", Op::Lt}, {"$lte", Op::Lte}, {"$gt", Op::Gt}, {"$gte", Op::Gte}};
    const auto* found = std::find_if(std::begin(kOps), std::end(kOps),
                                     [&](const auto& entry) { return entry.first == op; });
    if (found == std::end(kOps)) {
      return std::unexpected(invalid("unknown operator " + in_quotes(op) + " for " + in_quotes(key)));
    }
    Filter::Node node;
    node.op = found->second;
    node.key = key;
    const std::string where = in_quotes(op) + " on " + in_quotes(key);
    if (node.op == Op::In || node.op == Op::Nin) {
      if (!v.is_array()) return std::unexpected(invalid(where + " needs a list, not " + v.type_name()));
      for (const Json& item : v) {
        auto value = to_value(item);
        if (!value) {
          return std::unexpected(
              invalid(where + " takes strings, numbers or booleans, not " + value.error()));
        }
        node.values.push_back(std::move(*value));
      }
    } else {
      auto value = to_value(v);
      if (!value) {
        const char* hint = v.is_array() ? " (use $in for a list)" : "";
        return std::unexpected(invalid(where + " takes a string, number or boolean, not " +
                                       value.error() + hint));
      }
      const bool ordered = node.op != Op::Eq && node.op != Op::Ne;
      if (ordered && value->kind != CellKind::Int && value->kind != CellKind::Float) {
        return std::unexpected(invalid(where + " needs a number"));
      }
      node.values.push_back(std::move(*value));
    }
    nodes_.push_back(std::move(node));
    return {};
  }

  std::vector<Filter::Node> nodes_;
};

double as_double(Cell cell) {
  return cell.kind == CellKind::Int ? static_cast<double>(static_cast<std::int64_t>(cell.bits))
                                    : std::bit_cast<double>(cell.bits);
}

bool is_number(CellKind kind) { return kind == CellKind::Int || kind == CellKind::Float; }

bool equal(Cell cell, Cell constant) {
  if (cell.kind == constant.kind) {
    return cell.kind == CellKind::Float ? as_double(cell) == as_double(constant)
                                        : cell.bits == constant.bits;
  }
  return is_number(cell.kind) && is_number(constant.kind) && as_double(cell) == as_double(constant);
}

bool ordered(Op op, Cell cell, Cell constant) {
  if (!is_number(cell.kind)) return false;
  if (cell.kind == CellKind::Int && constant.kind == CellKind::Int) {
    const auto a = static_cast<std::int64_t>(cell.bits);
    const auto b = static_cast<std::int64_t>(constant.bits);
    return op == Op::Lt ? a < b : op == Op::Lte ? a <= b : op == Op::Gt ? a > b : a >= b;
  }
  const double a = as_double(cell);
  const double b = as_double(constant);
  return op == Op::Lt ? a < b : op == Op::Lte ? a <= b : op == Op::Gt ? a > b : a >= b;
}

// A string no slot holds gets a code no cell carries.
constexpr std::uint64_t kNoCode = std::numeric_limits<std::uint64_t>::max();

Cell bind_value(const Filter::Value& value, const MetadataColumn* column) {
  switch (value.kind) {
    case CellKind::String: {
      const std::int64_t code = column != nullptr ? column->find_string(value.text) : -1;
      return {CellKind::String, code < 0 ? kNoCode : static_cast<std::uint64_t>(code)};
    }
    case CellKind::Float: return {CellKind::Float, std::bit_cast<std::uint64_t>(value.number)};
    default: return {value.kind, static_cast<std::uint64_t>(value.integer)};
  }
}

}  // namespace

EngineResult<Filter> Filter::parse(std::string_view json_text) {
  if (nests_deeper_than(json_text, kMaxDepth * 2 + 2)) {
    return std::unexpected(invalid("nested deeper than " + std::to_string(kMaxDepth) + " levels"));
  }
  std::optional<Json> parsed = parse_json_text(json_text);
  if (!parsed) return std::unexpected(invalid("not valid JSON"));
  return from_json(*parsed);
}

EngineResult<Filter> Filter::from_json(const Json& filter) {
  Parser parser;
  ORVANE_TRY(parser.filter(filter, 0));
  Filter out;
  out.nodes_ = parser.take();
  return out;
}

BoundFilter Filter::bind(const MetadataColumns& columns) const {
  BoundFilter out;
  out.nodes_.reserve(nodes_.size());
  for (const Node& node : nodes_) {
    BoundFilter::Node bound{node.op, node.children, node.span, nullptr, {}, {}};
    if (node.op != Op::And && node.op != Op::Or) {
      bound.column = columns.find(node.key);
      for (const Value& value : node.values) {
        const Cell cell = bind_value(value, bound.column);
        if ((node.op == Op::In || node.op == Op::Nin) && cell.kind == CellKind::String) {
          // Strings of a list become a table by code: one load per test.
          if (cell.bits == kNoCode) continue;
          if (bound.codes.empty()) bound.codes.assign(bound.column->string_codes(), 0);
          bound.codes[cell.bits] = 1;
        } else {
          bound.cells.push_back(cell);
        }
      }
    }
    out.nodes_.push_back(std::move(bound));
  }
  return out;
}

bool BoundFilter::test(const Node& node, Cell cell) const {
  switch (node.op) {
    case Op::Eq: return equal(cell, node.cells[0]);
    case Op::Ne: return !equal(cell, node.cells[0]);
    case Op::In:
    case Op::Nin: {
      bool in = cell.kind == CellKind::String && cell.bits < node.codes.size() &&
                node.codes[cell.bits] != 0;
      for (std::size_t i = 0; !in && i < node.cells.size(); ++i) in = equal(cell, node.cells[i]);
      return in == (node.op == Op::In);
    }
    default: return ordered(node.op, cell, node.cells[0]);
  }
}

bool BoundFilter::eval(std::size_t index, std::uint64_t slot) const {
  const Node& node = nodes_[index];
  if (node.op == Op::And || node.op == Op::Or) {
    const bool is_or = node.op == Op::Or;
    std::size_t child = index + 1;
    for (std::uint32_t i = 0; i < node.children; ++i) {
      if (eval(child, slot) == is_or) return is_or;
      child += nodes_[child].span;
    }
    return !is_or;
  }
  return test(node, node.column != nullptr ? node.column->get(slot) : Cell{});
}

std::vector<std::uint64_t> BoundFilter::matching_slots(std::uint64_t slot_count) const {
  std::vector<std::uint64_t> out;
  for (std::uint64_t slot = 0; slot < slot_count; ++slot) {
    if (matches(slot)) out.push_back(slot);
  }
  return out;
}

}  // namespace orvane::engine
