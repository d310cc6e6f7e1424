// Record bytes, compact JSON text and UTF-8 checks.
#include <gtest/gtest.h>

#include "engine/json_text.h"
#include "engine/records.h"
#include "engine/utf8.h"

namespace orvane::engine {
namespace {

const std::vector<float> kOneTwo = {1.0f, 2.0f};

TEST(Records, VectorRecordAndMarkerBytes) {
  const Bytes rec = encode_vector_record("a", 7, kOneTwo);
  const Bytes expected = {0x01, 0, 0, 0, 'a', 7, 0,    0,    0, 0, 0, 0,   0,
                          2,    0, 0, 0, 0,   0, 0x80, 0x3F, 0, 0, 0, 0x40};
  EXPECT_EQ(rec, expected);
  EXPECT_EQ(encode_deletion_marker("a"), (Bytes{0x01, 0, 0, 0, 'a'}));

  auto decoded = decode_vector_record(rec);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->id, "a");
  EXPECT_EQ(decoded->internal_id, 7u);
  EXPECT_EQ(decoded->components, kOneTwo);
  EXPECT_FALSE(decode_marker(rec));
  EXPECT_EQ(decode_marker(encode_deletion_marker("a")), "a");
  EXPECT_FALSE(decode_vector_record(encode_deletion_marker("a")));

  // An empty id without components is a vector, not a marker.
  const Bytes empty = encode_vector_record("", 3, {});
  ASSERT_EQ(empty.size(), 16u);
  EXPECT_FALSE(decode_marker(empty));
  EXPECT_EQ(decode_vector_record(empty)->internal_id, 3u);
  EXPECT_EQ(decode_marker(encode_deletion_marker("")), "");
}

TEST(Records, MetadataRecords) {
  const Bytes rec = encode_metadata_record("id", R"({"k":[1,2]})");
  EXPECT_EQ(rec.size(), 4u + 2u + 11u);
  auto doc = decode_metadata_record(rec);
  ASSERT_TRUE(doc);
  EXPECT_EQ(doc->id, "id");
  EXPECT_EQ(doc->metadata, nlohmann::json::parse(R"({"k":[1,2]})"));

  EXPECT_FALSE(decode_metadata_record(encode_deletion_marker("id")));  // no text at all
  // Text that is not one JSON value (the parsing rules are tested below).
  EXPECT_FALSE(decode_metadata_record(encode_metadata_record("id", "7 x")));
  EXPECT_FALSE(decode_metadata_record(Bytes{9, 0, 0, 0, 'x'}));
  EXPECT_FALSE(decode_metadata_record(Bytes{1, 0}));
}

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

TEST(Utf8, AcceptsWellFormedAndRefusesTheRest) {
  EXPECT_TRUE(is_valid_utf8(""));
  EXPECT_TRUE(is_valid_utf8("plain"));
  EXPECT_TRUE(is_valid_utf8("\xC3\xA9\xE2\x80\x94\xF0\x9F\x98\x80"));  // é — 😀
  EXPECT_TRUE(is_valid_utf8("\xF4\x8F\xBF\xBF"));                      // U+10FFFF
  EXPECT_FALSE(is_valid_utf8("\xC0\xAF"));                             // overlong '/'
  EXPECT_FALSE(is_valid_utf8("\xE0\x80\xAF"));                         // overlong
  EXPECT_FALSE(is_valid_utf8("\xED\xA0\x80"));                         // surrogate
  EXPECT_FALSE(is_valid_utf8("\xF4\x90\x80\x80"));                     // above U+10FFFF
  EXPECT_FALSE(is_valid_utf8("\xE2\x80"));                             // cut short
  EXPECT_FALSE(is_valid_utf8("\x80"));                                 // lone continuation
  EXPECT_FALSE(is_valid_utf8("\xC3\x28"));                             // bad continuation
}

}  // namespace
}  // namespace orvane::engine
