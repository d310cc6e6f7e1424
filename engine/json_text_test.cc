#include "engine/json_text.h"

#include <gtest/gtest.h>

namespace orvane::engine {
namespace {

TEST(JsonText, CompactRendering) {
  const auto value = nlohmann::json::parse(R"( { "b" : [ 1 , 2.5 , "x" ] , "a" : null } )");
  EXPECT_EQ(render_json(value).text, R"({"a":null,"b":[1,2.5,"x"]})");
  RenderedJson bad = render_json(nlohmann::json("\xFF"));
  EXPECT_FALSE(bad.text);
  EXPECT_NE(bad.error.find("invalid UTF-8"), std::string::npos) << bad.error;
}

TEST(JsonText, ParsingIsStrict) {
  EXPECT_EQ(parse_json_text(" \t\r\n[1, {\"a\": true}] \n"),
            nlohmann::json::parse("[1,{\"a\":true}]"));
  EXPECT_FALSE(parse_json_text(""));
  EXPECT_FALSE(parse_json_text("[1] ]"));
  EXPECT_FALSE(parse_json_text("\xEF\xBB\xBF[1]"));
  EXPECT_FALSE(parse_json_text(std::string("[1]\0 junk", 9)));
  EXPECT_FALSE(parse_json_text("\"\xFF\""));
  EXPECT_FALSE(parse_json_text("[1] // note"));
  // Duplicate members: refused at the top level on request, kept (last
  // wins) otherwise and inside nested values.
  const char* twice = R"({"a":1,"b":{"c":1,"c":2},"a":3})";
  EXPECT_EQ(parse_json_text(twice), nlohmann::json::parse(R"({"a":3,"b":{"c":2}})"));
  EXPECT_FALSE(parse_json_text(twice, true));
  EXPECT_TRUE(parse_json_text(R"({"a":1,"b":{"c":1,"c":2}})", true));
  EXPECT_TRUE(parse_json_text(R"([{"a":1,"a":2}])", true));
}

}  // namespace
}  // namespace orvane::engine
