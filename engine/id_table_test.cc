#include "engine/id_table.h"

#include <gtest/gtest.h>

#include <random>
#include <unordered_map>

namespace orvane::engine {
namespace {

TEST(IdTable, AgreesWithAStandardMapThroughInsertsAndErases) {
  std::vector<std::string> ids(5000);
  IdTable table(&ids);
  std::unordered_map<std::string, std::uint64_t> model;
  std::mt19937 rng(7);
  for (int step = 0; step < 40000; ++step) {
    const std::uint64_t slot = rng() % ids.size();
    if (ids[slot].empty()) {
      ids[slot] = "k" + std::to_string(rng() % 100000);
      if (model.contains(ids[slot])) {
        ids[slot].clear();
        continue;
      }
      table.insert(slot);
      model.emplace(ids[slot], slot);
    } else {
      table.erase(slot);
      model.erase(ids[slot]);
      ids[slot].clear();
    }
  }
  EXPECT_EQ(table.size(), model.size());
  for (const auto& [id, slot] : model) EXPECT_EQ(table.find(id), slot);
  EXPECT_FALSE(table.find("absent"));
}

}  // namespace
}  // namespace orvane::engine
