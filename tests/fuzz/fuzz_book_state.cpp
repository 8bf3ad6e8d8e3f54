// BookSync.txt as read back from the disk (damaged or edited by hand): bounded, clean, and written
// again it parses to the same state.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "book/TovikBook.h"
#include "book/TovikRecent.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tovik;
  const std::string text(reinterpret_cast<const char*>(data), size);
  const TBookState s = ParseBookState(text, 1'800'000'000'000);
  if (s.List.Order.size() > kBookMaxEntries || s.List.Gone.size() > kBookMaxTombstones) std::abort();
  for (const auto& [id, e] : s.List.Known)
    if (!IsPartnerID(id) || Utf8Length(e.Name) > kMaxRecentNameChars) std::abort();
  if (s.Book.find_first_of("\r\n") != std::string::npos) std::abort();
  const TBookState again = ParseBookState(BookStateText(s), 1'800'000'000'000);
  if (again.List.Known != s.List.Known || again.List.Order != s.List.Order || again.List.Gone != s.List.Gone ||
      again.Pending != s.Pending)
    std::abort();
  return 0;
}
