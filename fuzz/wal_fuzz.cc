// Log header and frame reading on arbitrary log bytes, then the replay of
// the same log into a small database file and the opening of the log.
// Input: u8 control, then the log bytes. Control bits 0..2: how many leading
// frames get checksums matching the log header's salts (so that mutations
// reach what lies behind a valid frame); bit 3: they form one whole call.
#include "fuzz/fuzz_support.h"

using namespace orvane;
using namespace orvane::storage;

// The leading frames whose images are whole and whose checksums match the
// salts of the log's header. REQUIRES: a whole log header.
static std::vector<WalFrame> valid_frames(std::span<const std::uint8_t> log) {
  const std::uint32_t salt1 = get_u32(&log[16]), salt2 = get_u32(&log[20]);
  std::vector<WalFrame> out;
  for (std::size_t p = kWalHeaderSize; p + fuzz::kFrameSize <= log.size(); p += fuzz::kFrameSize) {
    const std::uint32_t page_id = get_u32(&log[p]);
    const auto image = log.subspan(p + kWalFrameHeaderSize, kPageSize);
    if (frame_checksum(page_id, salt1, image) != get_u32(&log[p + 20])) break;
    if (frame_checksum(page_id, salt2, image) != get_u32(&log[p + 24])) break;
    out.push_back({page_id, get_u64(&log[p + 4]), {image.begin(), image.end()}});
  }
  return out;
}

static void check_reading(const fuzz::Bytes& log) {
  Wal wal("unused-wal");
  MemFile file(std::make_shared<fuzz::Bytes>(log));
  auto checked = wal.check_wal_header(file);
  const std::string outcome = checked ? "accepted" : checked.error().to_string();
  FUZZ_CHECK(log.size() >= kWalHeaderSize || outcome == "I/O error: failed to fill whole buffer");
  if (log.size() < kWalHeaderSize) return;
  const std::uint32_t magic = get_u32(log.data()), version = get_u32(log.data() + 4);
  char expected[64] = "accepted";
  if (magic != kWalMagic) {
    std::snprintf(expected, sizeof expected, "WAL corrupted: Invalid WAL magic: 0x%08X", magic);
  } else if (version != 1) {
    std::snprintf(expected, sizeof expected, "WAL corrupted: Unsupported WAL version: %u", version);
  }
  FUZZ_CHECK(outcome == expected);

  auto frames = wal.read_frames(file, get_u32(log.data() + 16), get_u32(log.data() + 20));
  auto key = [](const WalFrame& f) { return std::tie(f.page_id, f.frame_tag, f.image); };
  FUZZ_CHECK(frames.has_value() && std::ranges::equal(*frames, valid_frames(log), {}, key, key));
  FUZZ_CHECK(*file.data() == log);
}

static void check_replay(const fuzz::Bytes& log) {
  fuzz::Bytes db = fuzz::db_image(3);
  for (std::size_t p = 1; p < 3; ++p) db[p * kPageSize] = static_cast<std::uint8_t>(p);
  const std::string db_path = fuzz::scratch_db(), wal_path = db_path + "-wal";
  fuzz::write_file(db_path, db);
  fuzz::write_file(wal_path, log);

  Wal wal(wal_path);
  wal.set_sync_level(SyncLevel::Off);
  // The scratch files are sound: nothing fails here.
  FUZZ_CHECK(replay_leftover_wal(wal, db_path).has_value());
  const bool kept = log.size() <= kWalHeaderSize;
  if (kept || get_u32(&log[0]) != kWalMagic || get_u32(&log[4]) != 1) {
    FUZZ_CHECK(fuzz::read_file(db_path) == db);
    FUZZ_CHECK(kept ? fuzz::read_file(wal_path) == log : !path_exists(wal_path));
    return;
  }
  // Whole calls, up to the first frame that would write page 0 without the
  // database magic or a page far beyond the file.
  const auto frames = valid_frames(log);
  std::size_t applied = 0;
  for (std::size_t i = 0; i < frames.size(); ++i) {
    const WalFrame& f = frames[i];
    if ((f.page_id == 0 && !fuzz::has_magic(f.image)) || f.page_id > 3 + frames.size()) break;
    if (f.frame_tag & 1) applied = i + 1;
  }
  for (std::size_t i = 0; i < applied; ++i) {
    const std::size_t at = std::size_t{frames[i].page_id} * kPageSize;
    db.resize(std::max(db.size(), at + kPageSize), 0);
    std::ranges::copy(frames[i].image, db.begin() + at);
  }
  FUZZ_CHECK(fuzz::read_file(db_path) == db);
  const fuzz::Bytes left = fuzz::read_file(wal_path);
  FUZZ_CHECK(frames.empty() ? left == log : left.size() == kWalHeaderSize);
  // The log left behind opens as the live log.
  FUZZ_CHECK(wal.open().has_value());
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  thread_random_seed_for_testing(0x3a1);
  fuzz::FuzzInput in{{data, size}};
  const std::uint8_t control = in.u8();
  fuzz::Bytes log(in.left.begin(), in.left.end());
  fuzz::seal_frames(log, control & 7, control & 8);
  check_reading(log);
  check_replay(log);
  return 0;
}
