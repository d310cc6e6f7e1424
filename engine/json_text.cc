#include "engine/json_text.h"

#include <set>

namespace orvane::engine {

std::optional<nlohmann::json> parse_json_text(std::string_view text,
                                              bool reject_duplicate_members) {
  // The library skips a UTF-8 byte-order mark on its own and takes a NUL
  // byte for the end of the input; neither may appear in JSON text (a NUL
  // inside a string must be escaped), so both are refused here.
  if (text.find('\0') != std::string_view::npos) return std::nullopt;
  if (text.size() >= 3 && static_cast<unsigned char>(text[0]) == 0xEF &&
      static_cast<unsigned char>(text[1]) == 0xBB && static_cast<unsigned char>(text[2]) == 0xBF) {
    return std::nullopt;
  }
  // The library keeps the last of two equal member names silently; the
  // callback sees every key (the root object's members at depth 1).
  std::set<std::string> root_members;
  bool duplicate = false;
  nlohmann::json::parser_callback_t callback = nullptr;
  if (reject_duplicate_members) {
    callback = [&](int depth, nlohmann::json::parse_event_t event, nlohmann::json& parsed) {
      if (event == nlohmann::json::parse_event_t::key && depth == 1 && parsed.is_string() &&
          !root_members.insert(parsed.get<std::string>()).second) {
        duplicate = true;
      }
      return true;
    };
  }
  nlohmann::json value = nlohmann::json::parse(text.begin(), text.end(), callback,
                                               /*allow_exceptions=*/false);
  if (value.is_discarded() || duplicate) return std::nullopt;
  return value;
}

RenderedJson render_json(const nlohmann::json& value) {
  try {
    return {value.dump(), {}};
  } catch (const nlohmann::json::exception& e) {
    return {std::nullopt, e.what()};
  }
}

}  // namespace orvane::engine
