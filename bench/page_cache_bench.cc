// Page cache and log writer costs, each beside the bare operation it wraps:
// a cache hit against an unlocked hash-map lookup, an append through the
// cache against the page-level append on a plain buffer, and logging one
// call against a bare pwrite of the same bytes.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <unordered_map>

#include "storage/header_format.h"
#include "storage/mem_file.h"
#include "storage/page.h"
#include "storage/page_cache.h"
#include "storage/wal.h"

namespace orvane::storage {
namespace {

constexpr PageId kPages = 64;

std::unique_ptr<PageCache> warm_cache() {
  auto data = std::make_shared<std::vector<std::uint8_t>>(kPages * kPageSize, 0);
  DatabaseHeader::fresh(0).encode(data->data());
  auto cache = std::make_unique<PageCache>("bench", std::make_unique<MemFile>(data));
  for (PageId id = 0; id < kPages; ++id) (void)cache->fetch_page(id);
  return cache;
}

void fetch_hit_orvane(benchmark::State& state) {
  auto cache = warm_cache();
  PageId id = 0;
  for (auto _ : state) {
    auto page = cache->fetch_page(id);
    benchmark::DoNotOptimize(page);
    id = (id + 1) % kPages;
  }
}
BENCHMARK(fetch_hit_orvane);

void fetch_hit_bare_map(benchmark::State& state) {
  std::unordered_map<PageId, std::shared_ptr<Page>> table;
  for (PageId id = 0; id < kPages; ++id) {
    table.emplace(id, std::make_shared<Page>(id, std::vector<std::uint8_t>(kPageSize)));
  }
  PageId id = 0;
  for (auto _ : state) {
    std::shared_ptr<Page> page = table.find(id)->second;
    benchmark::DoNotOptimize(page);
    id = (id + 1) % kPages;
  }
}
BENCHMARK(fetch_hit_bare_map);

// 12-byte records: 254 fit a page; a full page is swapped for a fresh one
// (once per 254 appends, counted in the time).
const std::vector<std::uint8_t> kRecord(12, 0x5A);

void append_record_orvane(benchmark::State& state) {
  auto cache = warm_cache();
  const auto fresh = new_page_image(kPageTypeVectorData);
  (void)cache->replace_page(1, fresh);
  for (auto _ : state) {
    if (!cache->append_record(1, kRecord).value()) (void)cache->replace_page(1, fresh);
  }
}
BENCHMARK(append_record_orvane);

void append_record_bare_page(benchmark::State& state) {
  const auto fresh = new_page_image(kPageTypeVectorData);
  auto page = fresh;
  for (auto _ : state) {
    if (!append_to_page(page, kRecord, std::nullopt)) page = fresh;
    benchmark::DoNotOptimize(page.data());
  }
}
BENCHMARK(append_record_bare_page);

struct TempDir {
  TempDir() {
    std::string t = (std::filesystem::temp_directory_path() / "orvane-bench-XXXXXX").string();
    if (::mkdtemp(t.data()) != nullptr) path = t;
  }
  ~TempDir() { std::filesystem::remove_all(path); }
  std::filesystem::path path;
};

// Logging one call of N pages; the log is checkpointed (untimed) every 256
// calls so that it stays small.
void append_frames_orvane(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  TempDir dir;
  const std::string db = (dir.path / "db").string();
  {
    auto f = PosixFile::open(db, OpenMode::ReadWriteCreate);
    (void)(*f)->truncate(8 * kPageSize);
  }
  Wal wal(wal_path_for(db));
  if (!wal.open()) {
    state.SkipWithError("log open failed");
    return;
  }
  std::vector<ChangedPage> pages;
  for (std::size_t i = 0; i < n; ++i) pages.push_back({i + 1, new_page_image(1)});
  std::size_t calls = 0;
  for (auto _ : state) {
    if (!wal.append_frames(pages)) state.SkipWithError("append failed");
    if (++calls % 256 == 0) {
      state.PauseTiming();
      (void)wal.checkpoint(db);
      state.ResumeTiming();
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * n * kPageSize));
}
BENCHMARK(append_frames_orvane)->Arg(1)->Arg(3);

// The floor: one pwrite of the same number of bytes at a growing offset.
void append_frames_bare_pwrite(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  TempDir dir;
  const int fd = ::open((dir.path / "raw").c_str(), O_RDWR | O_CREAT, 0666);
  const std::vector<std::uint8_t> buf(n * (kWalFrameHeaderSize + kPageSize), 1);
  off_t offset = kWalHeaderSize;
  std::size_t calls = 0;
  for (auto _ : state) {
    if (::pwrite(fd, buf.data(), buf.size(), offset) < 0) state.SkipWithError("pwrite failed");
    offset += static_cast<off_t>(buf.size());
    if (++calls % 256 == 0) {
      state.PauseTiming();
      if (::ftruncate(fd, kWalHeaderSize) != 0) state.SkipWithError("ftruncate failed");
      offset = kWalHeaderSize;
      state.ResumeTiming();
    }
  }
  ::close(fd);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * n * kPageSize));
}
BENCHMARK(append_frames_bare_pwrite)->Arg(1)->Arg(3);

}  // namespace
}  // namespace orvane::storage

BENCHMARK_MAIN();
