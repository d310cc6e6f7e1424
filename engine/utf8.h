// Strict UTF-8 validation (no overlong forms, no surrogates, nothing above
// U+10FFFF). Pure; O(n).
#pragma once

#include <string_view>

namespace orvane::engine {

bool is_valid_utf8(std::string_view text);

}  // namespace orvane::engine
