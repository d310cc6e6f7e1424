#include "engine/catalog.h"

#include <gtest/gtest.h>

#include "engine/test_support.h"

namespace orvane::engine {
namespace {

using index::DistanceMetric;

std::optional<CollectionConfig> decode(const std::string& text) {
  return decode_config(bytes_of(text));
}

TEST(Catalog, EncodesTheExactText) {
  CollectionConfig c;
  c.name = "a";
  c.dimension = 3;
  c.data_root_page = 1;
  c.metadata_root_page = 2;
  auto text = encode_config(c);
  ASSERT_TRUE(text);
  EXPECT_EQ(*text,
            R"({"name":"a","dimension":3,"distance":"Cosine","description":"","data_root_page":1,)"
            R"("metadata_root_page":2,"hnsw_edge_page":0,"index_type":"flat"})");
  EXPECT_EQ(text->size(), 144u);
  EXPECT_EQ(decode(*text), c);

  c.name = "q\"\\\n\x01\xC3\xA9";
  c.distance = DistanceMetric::DotProduct;
  c.dimension = UINT64_MAX;
  text = encode_config(c);
  ASSERT_TRUE(text);
  EXPECT_EQ(*text,
            "{\"name\":\"q\\\"\\\\\\n\\u0001\xC3\xA9\",\"dimension\":18446744073709551615,"
            "\"distance\":\"DotProduct\",\"description\":\"\",\"data_root_page\":1,"
            "\"metadata_root_page\":2,\"hnsw_edge_page\":0,\"index_type\":\"flat\"}");
  EXPECT_EQ(decode(*text), c);

  c.name = "\xFF";
  auto bad = encode_config(c);
  ASSERT_FALSE(bad);
  EXPECT_NE(bad.error().find("invalid UTF-8"), std::string::npos) << bad.error();
}

TEST(Catalog, DecodingDefaultsArraysAndRefusals) {
  auto minimal = decode(R"({"name":"x","dimension":8})");
  ASSERT_TRUE(minimal);
  EXPECT_EQ(minimal->name, "x");
  EXPECT_EQ(minimal->dimension, 8u);
  EXPECT_EQ(minimal->distance, DistanceMetric::Cosine);
  EXPECT_EQ(minimal->description, "");
  EXPECT_EQ(minimal->data_root_page, 0u);
  EXPECT_EQ(minimal->metadata_root_page, 0u);
  EXPECT_EQ(minimal->hnsw_edge_page, 0u);
  EXPECT_EQ(minimal->index_type, "flat");
  EXPECT_FALSE(minimal->uses_hnsw());

  auto array = decode(R"(["x",8,"Euclidean","",1,2,0,"hnsw"])");
  ASSERT_TRUE(array);
  auto object =
      decode(R"({"index_type":"hnsw","hnsw_edge_page":0,"metadata_root_page":2,"data_root_page":1,)"
             R"("description":"","distance":"Euclidean","dimension":8,"name":"x"})");
  ASSERT_TRUE(object);
  EXPECT_EQ(*array, *object);
  EXPECT_TRUE(array->uses_hnsw());
  EXPECT_EQ(array->distance, DistanceMetric::Euclidean);
  EXPECT_EQ(array->data_root_page, 1u);
  EXPECT_EQ(array->metadata_root_page, 2u);
  // A short array takes the defaults for the missing trailing fields.
  EXPECT_EQ(decode(R"(["x",8])"), minimal);
  EXPECT_FALSE(decode(R"(["x"])"));
  EXPECT_FALSE(decode(R"(["x",8,"Cosine","",1,2,0,"flat",9])"));

  auto extra = decode(R"({"name":"x","comment":{"a":1,"a":2},"dimension":8})");
  ASSERT_TRUE(extra);
  EXPECT_EQ(*extra, *minimal);

  EXPECT_TRUE(decode(" \t\r\n{\"name\":\"x\",\"dimension\":8} \t\r\n"));
  EXPECT_EQ(decode(R"({"name":"x","dimension":8,"distance":"DotProduct"})")->distance,
            DistanceMetric::DotProduct);
  EXPECT_EQ(decode(R"({"name":"x","dimension":18446744073709551615})")->dimension, UINT64_MAX);
  EXPECT_EQ(decode(R"({"name":"x","dimension":-0})")->dimension, 0u);
  EXPECT_EQ(
      decode(R"({"name":"x","dimension":8,"hnsw_edge_page":18446744073709551615})")->hnsw_edge_page,
      UINT64_MAX);

  for (const char* refused : {
           R"({"name":"x","dimension":8,"distance":"cosine"})",
           R"({"name":"x","dimension":8,"distance":"COSINE"})",
           R"({"name":"x","dimension":8,"name":"y"})",
           R"({"name":"x","dimension":8} x)",
           R"({"name":"x","dimension":8}{})",
           "\xEF\xBB\xBF{\"name\":\"x\",\"dimension\":8}",
           R"({"name":"x"})",
           R"({"dimension":8})",
           R"({"name":"x","dimension":18446744073709551616})",
           R"({"name":"x","dimension":-1})",
           R"({"name":"x","dimension":8.0})",
           R"({"name":"x","dimension":1e1})",
           R"({"name":"x","dimension":"8"})",
           R"({"name":7,"dimension":8})",
           R"({"name":"x","dimension":8,"description":null})",
           R"({"name":"x","dimension":8,"index_type":1})",
           R"({"name":"x","dimension":8,"data_root_page":-5})",
           R"("x")",
           "",
           "   ",
           R"({"name":"x","dimension":8)",
       }) {
    EXPECT_FALSE(decode(refused)) << refused;
  }
  // Embedded NUL after the value (a C string would stop before it).
  const std::string with_nul("{\"name\":\"x\",\"dimension\":8}\0", 27);
  EXPECT_FALSE(decode(with_nul));
}

TEST(Catalog, MetricArgument) {
  EXPECT_EQ(metric_from_argument(std::nullopt), DistanceMetric::Cosine);
  EXPECT_EQ(metric_from_argument("dot"), DistanceMetric::DotProduct);
  EXPECT_EQ(metric_from_argument("euclidean"), DistanceMetric::Euclidean);
  for (const char* other : {"Dot", "L2", "cosine", "Euclidean", "DotProduct", ""}) {
    EXPECT_EQ(metric_from_argument(other), DistanceMetric::Cosine) << other;
  }
}

}  // namespace
}  // namespace orvane::engine
