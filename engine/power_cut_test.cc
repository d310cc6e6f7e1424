// Power cuts at every level: workloads run on recorded files, and crash
// images of the trace are opened and compared with the states the calls went
// through. Every image opens and holds the state after some whole number of
// calls; Normal keeps every call acknowledged before the log's last sync,
// Full every call acknowledged. Off promises neither, and the images show it.
// ORVANE_POWER_CUT_IMAGES sets the images of the first phase per level (the
// others open a quarter as many), ORVANE_POWER_CUT_SEED the workload's seed.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "engine/random_workload.h"
#include "engine/test_support.h"
#include "storage/power_cut_file.h"

namespace orvane::engine {
namespace {

std::uint64_t from_env(const char* name, std::uint64_t otherwise) {
  const char* env = std::getenv(name);
  return env != nullptr ? std::strtoull(env, nullptr, 10) : otherwise;
}

// One traced phase: the states its calls went through and where in the
// trace each call started and returned.
struct Phase {
  storage::PowerCutRecorder recorder;
  std::vector<Model> states;  // states[j]: after the first j calls
  std::vector<std::size_t> started, acked;

  template <class Call>
  void call(Model& model, Call&& body) {
    started.push_back(recorder.size());
    body();
    acked.push_back(recorder.size());
    states.push_back(model);
  }
  // Opens `path` with the recorder installed, runs `body` on it and releases
  // it as the last call.
  template <class Body>
  void run(const std::string& path, const OpenOptions& options, Model& model, Body&& body) {
    states = {model};
    storage::set_file_hook(&recorder);
    std::shared_ptr<Database> db = open_ok(path, options);
    if (db) body(*db);
    call(model, [&] { db.reset(); });
    storage::set_file_hook(nullptr);
  }
};

void random_calls(Phase& phase, Database& db, RandomWorkload& work, Model& model, int steps) {
  for (int i = 0; i < steps && !::testing::Test::HasFatalFailure(); ++i) {
    phase.call(model, [&] {
      if (work.pick(100) >= 4) return work.step(db, model);
      ASSERT_TRUE(db.close());
    });
  }
}

struct Tally {
  std::size_t images = 0, corrupt = 0, lost_synced = 0, lost_acked = 0;
  std::string first_fault;
};

// Opens `images` crash images of `phase` and tallies what they hold.
void check_images(const Phase& phase, const TestDir& dir, std::size_t images, std::uint64_t seed,
                  Tally& tally) {
  std::mt19937_64 rng(seed);
  const std::string path = dir.path("image");
  auto calls = [](const std::vector<std::size_t>& marks, std::size_t at, bool inclusive) {
    return static_cast<std::size_t>((inclusive ? std::upper_bound(marks.begin(), marks.end(), at)
                                               : std::lower_bound(marks.begin(), marks.end(), at)) -
                                    marks.begin());
  };
  for (std::size_t n = 0; n < images; ++n, ++tally.images) {
    const std::size_t at = rng() % (phase.recorder.size() + 1);
    std::filesystem::remove(path);
    std::filesystem::remove(path + "-wal");
    for (const auto& [file, bytes] : phase.recorder.crash_image(at, rng)) {
      write_file(file.ends_with("-wal") ? path + "-wal" : path, bytes);
    }
    // A call is durable once the log holding it is synced: a sync of the
    // database file alone (before a commit naming pages written straight to
    // it) promises nothing. A call that wrote nothing is acknowledged where
    // it started.
    const std::size_t synced = calls(phase.acked, phase.recorder.last_log_sync(at), true);
    const std::size_t acked = calls(phase.acked, at, true);
    const std::size_t upper = std::max(calls(phase.started, at, false), acked);
    OpenOptions quick;
    quick.synchronous = Synchronous::Off;
    auto db = Database::open(path, quick);
    std::optional<std::size_t> held;
    for (std::size_t j = upper + 1; db && !held && j-- > 0;) {
      if (difference(**db, phase.states[j]).empty()) held = j;
    }
    if (held) {
      tally.lost_synced += *held < synced;
      tally.lost_acked += *held < acked;
    } else if (++tally.corrupt == 1) {
      tally.first_fault = "at " + std::to_string(at) + ", after " + std::to_string(synced) +
                          " to " + std::to_string(upper) + " calls: " +
                          (db ? difference(**db, phase.states[upper]) : db.error().to_string());
    }
  }
}

OpenOptions options_of(FileFormat format, Synchronous level) {
  OpenOptions options;
  options.synchronous = level;
  options.new_file_format = format;
  return options;
}

// Phase one: a new database, the workload's creations, random calls with
// close() now and then, and the release. Phase two: the files of phase one
// as a killed process leaves them (the open replays the log), more calls.
void power_cuts(FileFormat format, Synchronous level, std::uint64_t seed, std::size_t images,
                Tally& tally) {
  TestDir dir;
  OpenOptions options = options_of(format, level);
  // Format 2: a checkpoint every 32 frames, so that the trace holds many of
  // them (each one starts the log over in place).
  options.cache_budget_bytes = 256 << 10;
  RandomWorkload work(seed, format == FileFormat::Classic);
  Model model;
  Phase first, second;
  first.run(dir.path("a"), options, model, [&](Database& db) {
    work.create(db, model, [&](auto&& body) { first.call(model, body); });
    random_calls(first, db, work, model, 150);
    for (const char* suffix : {"", "-wal"}) {  // what a killed process leaves
      if (!file_exists(dir.path("a") + suffix)) continue;
      const auto bytes = read_file(dir.path("a") + suffix);
      write_file(dir.path("b") + suffix, bytes);
      second.recorder.adopt(dir.path("b") + suffix, bytes);
    }
  });
  second.run(dir.path("b"), options, model,
             [&](Database& db) { random_calls(second, db, work, model, 60); });
  check_images(first, dir, images, seed, tally);
  check_images(second, dir, images / 4, seed + 1, tally);
}

// Appends of over a mebibyte, whose new pages go straight into the file: a
// commit that survives must find them there, whatever the cut kept.
void bulk_power_cuts(Synchronous level, std::uint64_t seed, std::size_t images, Tally& tally) {
  TestDir dir;
  constexpr std::uint64_t kDim = 256, kRows = 1100;  // 1.1 MB of vectors per call
  Model model;
  Phase phase;
  std::uint64_t next = 0;
  phase.run(dir.path("a"), options_of(FileFormat::V2, level), model, [&](Database& db) {
    auto add = [&] {
      const std::vector<float> v = random_vectors(kRows, kDim, static_cast<std::uint32_t>(next));
      std::vector<std::string> ids;
      for (std::uint64_t i = 0; i < kRows; ++i, ++next) {
        ids.push_back("b" + std::to_string(next));
        model[0].live[ids.back()].assign(v.begin() + i * kDim, v.begin() + (i + 1) * kDim);
      }
      ASSERT_TRUE(db.add("big", v, kRows, ids, {}, WriteMode::Add));
    };
    phase.call(model, [&] {
      ASSERT_TRUE(db.create_collection("big", kDim, "euclidean"));
      model = {{"big", kDim, "euclidean", index::DistanceMetric::Euclidean,
                random_vectors(1, kDim, static_cast<std::uint32_t>(seed)), {}}};
    });
    phase.call(model, add);
    phase.call(model, add);
    phase.call(model, [&] {  // frees slots that the next append fills first
      std::vector<std::string> gone;
      for (std::uint64_t i = 0; i < 1000; i += 2) gone.push_back("b" + std::to_string(i));
      ASSERT_TRUE(db.remove_batch("big", gone, nullptr));
      for (const std::string& id : gone) model[0].live.erase(id);
    });
    phase.call(model, add);
    phase.call(model, [&] { ASSERT_TRUE(db.close()); });
    phase.call(model, add);
  });
  check_images(phase, dir, images, seed, tally);
}

TEST(PowerCut, EveryImageOpensWholeAndKeepsWhatItsLevelPromises) {
  const std::size_t images = from_env("ORVANE_POWER_CUT_IMAGES", 100);
  const std::uint64_t seed = from_env("ORVANE_POWER_CUT_SEED", 20);
  for (const FileFormat format : {FileFormat::Classic, FileFormat::V2}) {
    for (const Synchronous level : {Synchronous::Normal, Synchronous::Full, Synchronous::Off}) {
      const std::string name = std::string(format == FileFormat::V2 ? "format 2 " : "classic ") +
                               std::array{"off", "normal", "full"}[static_cast<int>(level)];
      SCOPED_TRACE(name);
      Tally t;
      power_cuts(format, level, seed + static_cast<int>(level), images, t);
      if (format == FileFormat::V2) bulk_power_cuts(level, seed, images / 4, t);
      std::printf("power cut %s: images=%zu corrupt=%zu lost_since_sync=%zu lost_acknowledged=%zu\n",
                  name.c_str(), t.images, t.corrupt, t.lost_synced, t.lost_acked);
      if (level == Synchronous::Off) {
        EXPECT_GT(t.lost_acked, 0u);  // the images do reach back before acknowledged calls
      } else {
        EXPECT_EQ(t.corrupt, 0u) << t.first_fault;
        EXPECT_EQ(t.lost_synced, 0u);
        EXPECT_TRUE(level != Synchronous::Full || t.lost_acked == 0) << t.lost_acked;
      }
    }
  }
}

}  // namespace
}  // namespace orvane::engine
