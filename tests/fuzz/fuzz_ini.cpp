// INI text as read from the settings block of a program file: parse, then read keys named by the
// input itself and parse integers; nothing may crash, and a found value never holds a line break.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "base/TovikIni.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  tovik::TIniText ini(text);
  // Section and key names taken from the input so that matches happen.
  std::string_view head = text.substr(0, std::min<std::size_t>(text.size(), 16));
  auto cut = head.find('\0');
  std::string_view section = head.substr(0, cut == std::string_view::npos ? head.size() / 2 : cut);
  std::string_view key = head.substr(section.size());
  for (auto [s, k] : {std::pair{section, key}, std::pair{std::string_view("Relay"), std::string_view("Host")}}) {
    if (auto v = ini.Find(s, k)) {
      if (v->find_first_of("\r\n") != std::string::npos) std::abort();
      (void)tovik::ParseIniInt(*v, 0);
      (void)tovik::ParseIniInt64(*v, 0);
    }
  }
  (void)tovik::ParseIniInt(text, 0);
  return 0;
}
