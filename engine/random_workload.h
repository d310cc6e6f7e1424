// The engine tests' random workload: inserts (named and generated ids),
// replacements and deletes over four collections of every metric, with a
// model that predicts every outcome, including "Vector data page full".
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <map>
#include <random>

#include "engine/database.h"
#include "engine/id_counter.h"
#include "index/distance.h"
#include "index/score_order.h"

namespace orvane::engine {

// What a collection must hold, with its data page's use, so that a page
// that fills up is predicted exactly.
struct ModelCollection {
  std::string name;
  std::uint64_t dim;
  std::optional<std::string_view> argument;
  index::DistanceMetric metric;
  std::vector<float> query;
  std::map<std::string, std::vector<float>> live;
  std::size_t bytes = 0, slots = 0;

  bool fits(std::size_t length) const { return slots < 256 && bytes + length <= 3056; }
};

using Model = std::vector<ModelCollection>;

// "" when `db` holds exactly the collections and vectors of `model` (every
// score bit for bit, in score order); else the first difference.
inline std::string difference(Database& db, const Model& model) {
  std::vector<std::string> names, listed = db.list_collections();
  for (const auto& c : model) names.push_back(c.name);
  if (!std::is_permutation(names.begin(), names.end(), listed.begin(), listed.end())) {
    return "collections differ";
  }
  for (const auto& c : model) {
    auto count = db.count(c.name);
    auto found = db.search(c.name, c.query, c.live.size() + 5);
    if (!count || !found) {
      return c.name + ": " + (count ? found.error() : count.error()).to_string();
    }
    if (*count != c.live.size() || found->size() != c.live.size()) return c.name + ": counts";
    for (std::size_t i = 0; i < found->size(); ++i) {
      const SearchResult& r = (*found)[i];
      auto it = c.live.find(r.id);
      if (it == c.live.end()) return c.name + " has " + r.id;
      const float stored = index::distance(c.metric, c.query.data(), it->second.data(), c.dim);
      if (std::bit_cast<std::uint32_t>(r.score) != std::bit_cast<std::uint32_t>(stored)) {
        return c.name + ": " + r.id + " changed";
      }
      if (i > 0 && index::score_key((*found)[i - 1].score) > index::score_key(r.score)) {
        return c.name + ": out of order";
      }
    }
  }
  return "";
}

class RandomWorkload {
 public:
  // `paged`: the collections live on classic pages, which fill up.
  explicit RandomWorkload(std::uint64_t seed, bool paged = true) : rng_(seed), paged_(paged) {}

  // The four collections, each created by one call run through `call`.
  template <class Call>
  void create(Database& db, Model& model, Call&& call) {
    Model all = {{"cos", 3, std::nullopt, index::DistanceMetric::Cosine, {}, {}},
                 {"euc", 2, "euclidean", index::DistanceMetric::Euclidean, {}, {}},
                 {"dot", 4, "dot", index::DistanceMetric::DotProduct, {}, {}},
                 {"one", 1, "euclidean", index::DistanceMetric::Euclidean, {}, {}}};
    model.clear();
    for (auto& c : all) {
      c.query = vec(c.dim);
      call([&] {
        ASSERT_TRUE(db.create_collection(c.name, c.dim, c.argument));
        model.push_back(c);
      });
    }
  }
  // One call: an insert, a delete, or a delete of an unknown id.
  void step(Database& db, Model& model) {
    ModelCollection& c = model[pick(model.size())];
    const int kind = static_cast<int>(pick(100));
    if (kind >= 90 || (kind >= 55 && c.live.empty())) {
      ASSERT_TRUE(db.remove(c.name, "nobody"));
      return;
    }
    const bool insert = kind < 55, generated = kind < 15;
    std::string id =
        insert ? "k" + std::to_string(pick(60))
               : std::next(c.live.begin(), static_cast<std::ptrdiff_t>(pick(c.live.size())))->first;
    if (generated) {
      // The first number whose id is not taken (the counter is reset at
      // every open and may point at ids in use).
      for (std::uint64_t n = peek_id_counter(); c.live.contains(id = "doc_" + std::to_string(n));) {
        ++n;
      }
    }
    const std::vector<float> v = insert ? vec(c.dim) : std::vector<float>{};
    const std::size_t length = insert ? 16 + id.size() + 4 * c.dim : 4 + id.size();
    EngineResult<std::string> r = id;
    if (insert) {
      r = db.insert(c.name, generated ? std::nullopt : std::optional(id), v);
    } else if (auto removed = db.remove(c.name, id); !removed) {
      r = std::unexpected(removed.error());
    }
    if (paged_ && !c.fits(length)) {
      ASSERT_FALSE(r);
      ASSERT_EQ(r.error().to_string(), "Vector data page full");
      return;
    }
    ASSERT_TRUE(r) << r.error().to_string();
    ASSERT_EQ(*r, id);
    if (insert) c.live[id] = v;
    if (!insert) c.live.erase(id);
    c.bytes += length;
    ++c.slots;
  }

  // A number in [0, n) from the workload's generator.
  std::size_t pick(std::size_t n) {
    return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_);
  }

 private:
  std::vector<float> vec(std::uint64_t dim) {
    std::uniform_real_distribution<float> u(-10.0f, 10.0f);
    std::vector<float> v(dim);
    for (float& x : v) x = u(rng_);
    return v;
  }
  std::mt19937_64 rng_;
  bool paged_;
};

}  // namespace orvane::engine
