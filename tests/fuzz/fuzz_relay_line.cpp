// The client's handler of relay text lines with any line, on a started client with an ID, so that ID,
// PIN, PORTS, PEER, PARTNER and ERR lines and the routing to other features are all reached.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "net/TovikNet.h"
#include "tests/support/NullNetBackend.h"

using namespace tovik;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static TNullBackend backend;
  constexpr TTick now = 1'000'000;
  TTovikClient client(backend, "203.0.113.1", 47800, "");
  client.Start(now);
  client.HandleServerLine("ID 111111111 600", now);
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  // Several lines in one input: each NUL-free piece between newlines is one line.
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    client.HandleServerLine(text.substr(start, end - start), now);
    start = end + 1;
  }
  // Every named tick that is running comes due.
  client.HandleTimeout(now + 5000);
  return 0;
}
