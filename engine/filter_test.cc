// Metadata filters: what each operator matches on a column store, and the
// exact refusal of every malformed expression.
#include "engine/filter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <nlohmann/json.hpp>

namespace orvane::engine {
namespace {

TEST(Filter, MatchesSlots) {
  // Slot 3 is rewritten without metadata and slot 5 erased, so neither keeps
  // a value; slot 100 holds the only "rare" key, which stays a sparse column.
  MetadataColumns columns;
  columns.set_text(0, R"({"genre":"news","year":2020,"score":0.5,"ok":true})");
  columns.set_text(1, R"({"genre":"sport","year":2021,"score":1.5,"ok":false})");
  columns.set_text(2, R"({"genre":"news","year":2022,"tags":["a"]})");
  columns.set_text(3, R"({"genre":"news","year":2020})");
  columns.set_text(3, "{}");
  columns.set(4, nlohmann::json{{"genre", 1}, {"year", 2021.0}, {"ok", 1}});
  columns.set_text(5, R"({"genre":"sport"})");
  columns.erase(5);
  columns.set_text(100, R"({"rare":"x","year":1999})");
  // Matches among slots 0 .. 5 and 100.
  const std::pair<const char*, std::vector<std::uint64_t>> cases[] = {
      {"{}", {0, 1, 2, 3, 4, 5, 100}},
      {R"({"genre":"news"})", {0, 2}},
      {R"({"genre":{"$eq":"sport"}})", {1}},
      {R"({"genre":{"$ne":"news"}})", {1, 3, 4, 5, 100}},
      {R"({"genre":{"$in":["sport","news","absent"]}})", {0, 1, 2}},
      {R"({"genre":{"$nin":["news"]}})", {1, 3, 4, 5, 100}},
      {R"({"year":{"$gte":2021}})", {1, 2, 4}},
      {R"({"year":{"$gt":2020,"$lt":2022}})", {1, 4}},
      {R"({"year":2021})", {1, 4}},
      {R"({"year":{"$lt":1e10}})", {0, 1, 2, 4, 100}},
      {R"({"score":{"$lte":0.5}})", {0}},
      {R"({"ok":true})", {0}},
      {R"({"ok":{"$in":[true,1]}})", {0, 4}},
      {R"({"genre":1})", {4}},
      {R"({"tags":"a"})", {}},
      {R"({"rare":{"$in":["x"]}})", {100}},
      {R"({"missing":{"$ne":1}})", {0, 1, 2, 3, 4, 5, 100}},
      {R"({"$or":[{"genre":"sport"},{"rare":"x"}]})", {1, 100}},
      {R"({"$and":[{"genre":"news"},{"year":{"$lt":2022}}]})", {0}},
      {R"({"genre":"news","year":2022})", {2}},
      {R"({"$or":[{"$and":[{"ok":false},{"year":2021}]},{"score":0.5}]})", {0, 1}},
  };
  for (const auto& [text, expected] : cases) {
    SCOPED_TRACE(text);
    const BoundFilter bound = Filter::parse(text).value().bind(columns);
    // matching_slots agrees with matches, and only {} matches everything.
    const std::vector<std::uint64_t> all = bound.matching_slots(101);
    std::vector<std::uint64_t> got;
    for (std::uint64_t slot = 0; slot < 101; ++slot) {
      EXPECT_EQ(bound.matches(slot), std::binary_search(all.begin(), all.end(), slot)) << slot;
      if (bound.matches(slot) && (slot <= 5 || slot == 100)) got.push_back(slot);
    }
    EXPECT_EQ(got, expected);
    EXPECT_EQ(bound.matches_everything(), std::string_view(text) == "{}");
  }
}

TEST(Filter, RefusesMalformed) {
  std::string deep = R"({"a":1})";
  for (int i = 0; i < 40; ++i) deep = R"({"$and":[)" + deep + "]}";
  const std::pair<std::string, const char*> cases[] = {
      {"[]", "a filter is an object, not array"},
      {R"({"$or":[1]})", "a filter is an object, not number"},
      {R"({"$and":[]})", "'$and' needs a non-empty list of filters"},
      {R"({"$not":{}})", "unknown operator '$not'"},
      {R"({"k":{"$regex":"a"}})", "unknown operator '$regex' for 'k'"},
      {R"({"k":{"$gt":"a"}})", "'$gt' on 'k' needs a number"},
      {R"({"k":{"$lte":true}})", "'$lte' on 'k' needs a number"},
      {R"({"k":{"$in":"a"}})", "'$in' on 'k' needs a list, not string"},
      {R"({"k":{"$nin":[null]}})", "'$nin' on 'k' takes strings, numbers or booleans, not null"},
      {R"({"k":[1,2]})",
       "'$eq' on 'k' takes a string, number or boolean, not array (use $in for a list)"},
      {R"({"k":null})", "'$eq' on 'k' takes a string, number or boolean, not null"},
      {R"({"k":{}})", "the operators for 'k' are empty"},
      {R"({"k":)", "not valid JSON"},
      {deep, "nested deeper than 32 levels"},
  };
  for (const auto& [text, message] : cases) {
    EXPECT_EQ(Filter::parse(text).error().to_string(),
              std::string("Metadata error: Invalid filter expression: ") + message);
  }
}

}  // namespace
}  // namespace orvane::engine
