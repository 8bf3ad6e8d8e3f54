// The saved-PC list as it arrives decrypted from another PC, merged into a sync engine's state: the
// parser's bounds hold (clean 9-digit IDs, names of at most 80 characters without "=" or control
// characters, stamps within the limit), and a merge never keeps more than 200 entries or 300 tombstones.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "book/TovikBook.h"
#include "book/TovikRecent.h"
#include "tests/book/BookFakes.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tovik;
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::int64_t max = 1'800'000'000'000;
  const TBookList l = ParseBookList(text, max);
  if (l.Order.size() != l.Known.size()) std::abort();
  for (const auto& [id, e] : l.Known) {
    if (!IsPartnerID(id) || e.Used < 0 || e.Used > max || e.Named < 0 || e.Named > max) std::abort();
    if (Utf8Length(e.Name) > kMaxRecentNameChars || e.Name.find_first_of("=\r\n\t") != std::string::npos) std::abort();
  }
  for (const auto& [id, st] : l.Gone)
    if (!IsPartnerID(id) || st <= 0 || st > max) std::abort();

  static test::TFakeBookClock clock;
  static test::TFakeBookRelay relay;
  static test::TMemBookSettings settings;
  const std::string secret(64, 'a');
  TBookSync sync(relay, clock, settings, "");
  sync.SetLocal({"111111111=Mine", "222222222="});
  sync.SetSecret(secret, 0);
  sync.Fetch();
  for (const auto& line : test::BookLinesFor(secret, text, clock.S)) sync.HandleLine(line);
  if (sync.Merged().Known.size() > kBookMaxEntries || sync.Merged().Gone.size() > kBookMaxTombstones) std::abort();
  relay.Sent.clear();
  return 0;
}
