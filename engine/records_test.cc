#include "engine/records.h"

#include <gtest/gtest.h>

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

  // 534 bytes: dimension 128 with a 6-byte id.
  EXPECT_EQ(encode_vector_record("abcdef", 1, std::vector<float>(128, 0.5f)).size(), 534u);
}

TEST(Records, EmptyIdWithoutComponentsIsAVectorNotAMarker) {
  const Bytes rec = encode_vector_record("", 3, {});
  ASSERT_EQ(rec.size(), 16u);
  EXPECT_FALSE(decode_marker(rec));
  auto decoded = decode_vector_record(rec);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->id, "");
  EXPECT_EQ(decoded->internal_id, 3u);
  EXPECT_TRUE(decoded->components.empty());
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
  EXPECT_TRUE(decode_metadata_record(encode_metadata_record("id", "7 \t\r\n")));
  EXPECT_FALSE(decode_metadata_record(encode_metadata_record("id", "7 x")));
  EXPECT_FALSE(decode_metadata_record(encode_metadata_record("id", "1 2")));
  EXPECT_FALSE(decode_metadata_record(encode_metadata_record("id", "\xEF\xBB\xBFnull")));
  EXPECT_FALSE(decode_metadata_record(Bytes{9, 0, 0, 0, 'x'}));
  EXPECT_FALSE(decode_metadata_record(Bytes{1, 0}));
}

}  // namespace
}  // namespace orvane::engine
