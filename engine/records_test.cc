// Record bytes, JSON text parsing and UTF-8 checks.
#include "engine/records.h"

#include <gtest/gtest.h>

#include "engine/json_text.h"
#include "engine/utf8.h"

namespace orvane::engine {
namespace {

TEST(Records, VectorMarkerAndMetadataBytes) {
  const Bytes rec = encode_vector_record("a", 7, std::vector<float>{1, 2});
  EXPECT_EQ(rec, (Bytes{1, 0, 0, 0, 'a', 7, 0,    0,    0, 0, 0, 0,   0,
                        2, 0, 0, 0, 0,   0, 0x80, 0x3F, 0, 0, 0, 0x40}));
  EXPECT_EQ(encode_deletion_marker("a"), (Bytes{1, 0, 0, 0, 'a'}));
  const auto decoded = decode_vector_record(rec).value();
  EXPECT_EQ(std::pair(decoded.id, decoded.internal_id), std::pair(std::string("a"), 7ul));
  EXPECT_EQ(decoded.components, (std::vector<float>{1, 2}));
  EXPECT_FALSE(decode_marker(rec));
  EXPECT_EQ(decode_marker(encode_deletion_marker("")), "");
  EXPECT_FALSE(decode_vector_record(encode_deletion_marker("a")));
  // An empty id without components is a vector, not a marker.
  const Bytes empty = encode_vector_record("", 3, {});
  EXPECT_EQ(empty.size(), 16u);
  EXPECT_FALSE(decode_marker(empty));
  EXPECT_EQ(decode_vector_record(empty)->internal_id, 3u);

  auto doc = decode_metadata_record(encode_metadata_record("id", R"({"k":[1,2]})"));
  ASSERT_TRUE(doc);
  EXPECT_EQ(doc->id, "id");
  EXPECT_EQ(doc->metadata, nlohmann::json::parse(R"({"k":[1,2]})"));
  for (const Bytes& bad : {encode_deletion_marker("id"), encode_metadata_record("id", "7 x"),
                           Bytes{9, 0, 0, 0, 'x'}, Bytes{1, 0}}) {
    EXPECT_FALSE(decode_metadata_record(bad));
  }
}

// render_json shows in the documents the operations tests read back.
TEST(JsonText, ParsingIsStrict) {
  EXPECT_EQ(parse_json_text(" \t\r\n[1, {\"a\": true}] \n"),
            nlohmann::json::parse(R"([1,{"a":true}])"));
  for (const std::string refused : {"", "[1] ]", "\xEF\xBB\xBF[1]", "\"\xFF\"", "[1] // note"}) {
    EXPECT_FALSE(parse_json_text(refused)) << refused;
  }
  EXPECT_FALSE(parse_json_text(std::string("[1]\0 junk", 9)));
  // Duplicate members: refused at the top level on request, kept (last
  // wins) otherwise and inside nested values.
  const char* twice = R"({"a":1,"b":{"c":1,"c":2},"a":3})";
  EXPECT_EQ(parse_json_text(twice), nlohmann::json::parse(R"({"a":3,"b":{"c":2}})"));
  EXPECT_FALSE(parse_json_text(twice, true));
  EXPECT_TRUE(parse_json_text(R"({"a":1,"b":{"c":1,"c":2}})", true));
  EXPECT_TRUE(parse_json_text(R"([{"a":1,"a":2}])", true));
}

TEST(Utf8, AcceptsWellFormedAndRefusesTheRest) {
  // Well formed: empty, ASCII, 2-, 3- and 4-byte forms, U+10FFFF.
  for (const char* good :
       {"", "plain", "\xC3\xA9\xE2\x80\x94\xF0\x9F\x98\x80", "\xF4\x8F\xBF\xBF"}) {
    EXPECT_TRUE(is_valid_utf8(good)) << good;
  }
  // Overlong, surrogate, above U+10FFFF, cut short, lone and bad continuation.
  for (const char* bad : {"\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80",
                          "\xE2\x80", "\x80", "\xC3\x28"}) {
    EXPECT_FALSE(is_valid_utf8(bad)) << bad;
  }
}

}  // namespace
}  // namespace orvane::engine
