// JSON text helpers shared by the catalog and the metadata records. The
// library's exceptions never leave these functions.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

namespace orvane::engine {

// Parses exactly one JSON value, optionally surrounded by blanks, tabs, line
// feeds and carriage returns; anything else (a byte-order mark included) is
// refused. With `reject_duplicate_members`, an object value that names one of
// its own members twice is refused too (members of nested objects are not
// checked). Cost: O(n).
std::optional<nlohmann::json> parse_json_text(std::string_view text,
                                              bool reject_duplicate_members = false);

// Compact JSON text (no whitespace between tokens), or the library's message
// when the value cannot be rendered (a string that is not valid UTF-8).
struct RenderedJson {
  std::optional<std::string> text;
  std::string error;
};
RenderedJson render_json(const nlohmann::json& value);

}  // namespace orvane::engine
