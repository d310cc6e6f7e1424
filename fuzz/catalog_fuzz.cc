// Catalog records: decode_config on arbitrary bytes, and read_catalog on the
// same bytes taken as a catalog page.
//
// Properties: a configuration that decodes encodes without error, and its
// encoding decodes to the same configuration and encodes to the same text
// again; read_catalog returns exactly the page's records that decode, in
// slot order.
#include <memory>

#include "engine/catalog.h"
#include "fuzz/fuzz_support.h"
#include "storage/header_format.h"
#include "storage/mem_file.h"
#include "storage/page.h"

namespace {

using namespace orvane;

std::span<const std::uint8_t> as_bytes(const std::string& s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

void check_round_trip(std::span<const std::uint8_t> record) {
  const auto config = engine::decode_config(record);
  if (!config) return;
  const auto text = engine::encode_config(*config);
  FUZZ_CHECK(text.has_value());
  const auto again = engine::decode_config(as_bytes(*text));
  FUZZ_CHECK(again.has_value());
  FUZZ_CHECK(*again == *config);
  const auto text_again = engine::encode_config(*again);
  FUZZ_CHECK(text_again.has_value() && *text_again == *text);
}

void check_catalog_page(std::span<const std::uint8_t> data) {
  std::vector<std::uint8_t> page(data.begin(), data.end());
  page.resize(storage::kPageSize, 0);

  std::vector<engine::CollectionConfig> expected;
  const std::uint16_t slots = storage::PageHeader::decode(page).slot_count;
  // A directory larger than the page yields no record (read_record's own rule).
  for (std::uint32_t s = 0; s < slots && 16 + 4 * slots <= page.size(); ++s) {
    const auto rec = storage::read_record(1, page, static_cast<std::uint16_t>(s));
    if (!rec) continue;
    if (auto config = engine::decode_config(*rec)) expected.push_back(std::move(*config));
  }

  auto file = std::make_unique<storage::MemFile>();
  auto& bytes = *file->data();
  bytes.assign(2 * storage::kPageSize, 0);
  storage::DatabaseHeader::fresh(0).encode(bytes.data());
  std::copy(page.begin(), page.end(), bytes.begin() + storage::kPageSize);
  storage::PageCache cache("fuzz.db", std::move(file));
  auto configs = engine::read_catalog(cache, 1);
  FUZZ_CHECK(configs.has_value());
  FUZZ_CHECK(*configs == expected);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> input(data, size);
  check_round_trip(input);
  check_catalog_page(input.first(std::min<std::size_t>(size, storage::kPageSize)));
  return 0;
}
