#include "engine/metadata_store.h"

#include <gtest/gtest.h>

namespace orvane::engine {
namespace {

TEST(MetadataStore, UpsertFindErase) {
  MetadataStore store;
  EXPECT_EQ(store.find("a"), nullptr);
  store.upsert("a", nlohmann::json{{"k", 1}});
  store.upsert("b", nullptr);
  ASSERT_NE(store.find("a"), nullptr);
  EXPECT_EQ(*store.find("a"), nlohmann::json({{"k", 1}}));
  ASSERT_NE(store.find("b"), nullptr);
  EXPECT_TRUE(store.find("b")->is_null());  // a null document is still a document
  store.upsert("a", 5);
  EXPECT_EQ(*store.find("a"), 5);
  EXPECT_EQ(store.size(), 2u);
  store.erase("a");
  store.erase("missing");
  EXPECT_EQ(store.find("a"), nullptr);
  EXPECT_EQ(store.size(), 1u);
}

}  // namespace
}  // namespace orvane::engine
