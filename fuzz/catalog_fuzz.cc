// Catalog records: decode_config on arbitrary bytes (a configuration that
// decodes round-trips through its text), and read_catalog on the same bytes
// taken as a catalog page (exactly the records that decode, in slot order).
#include "engine/catalog.h"
#include "fuzz/fuzz_support.h"

using namespace orvane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> input(data, size);
  if (const auto config = engine::decode_config(input)) {
    const std::string text = engine::encode_config(*config).value();
    const auto again = engine::decode_config(fuzz::Bytes(text.begin(), text.end()));
    FUZZ_CHECK(again.has_value() && *again == *config && engine::encode_config(*again) == text);
  }

  fuzz::Bytes db = fuzz::db_image(2);
  std::ranges::copy(fuzz::FuzzInput{input}.take(fuzz::kPageSize), db.begin() + fuzz::kPageSize);
  std::vector<engine::CollectionConfig> expected;
  for (const auto& rec : fuzz::page_records(std::span(db).subspan(fuzz::kPageSize))) {
    if (auto config = engine::decode_config(rec)) expected.push_back(std::move(*config));
  }
  storage::PageCache cache("fuzz.db", fuzz::mem_file(std::move(db)));
  const auto configs = engine::read_catalog(cache, 1);
  FUZZ_CHECK(configs.has_value() && *configs == expected);
  return 0;
}
