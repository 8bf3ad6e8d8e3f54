// Message channel: any packets handed to a channel must not crash, must keep the early buffer within
// its limit, and must deliver each sequence number at most once and in order.
#include <cstdint>
#include <cstdlib>

#include "base/TovikBytes.h"
#include "base/TovikClock.h"
#include "net/TovikFrames.h"

// Input: records of [operation byte][length, 2 bytes LE][packet].
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tovik;
  TTick now = 1000000;
  TMsgChannel ch;
  for (int i = 0; i < 80; ++i) ch.Post(1, TBytes(static_cast<std::size_t>(i)), i % 2 == 0);
  std::uint32_t delivered = 0;

  std::size_t pos = 0;
  while (pos + 3 <= size) {
    const std::uint8_t op = data[pos];
    const std::size_t len = std::min<std::size_t>(GetU16LE(data + pos + 1), size - pos - 3);
    const TByteView packet(data + pos + 3, len);
    pos += 3 + len;
    switch (op % 3) {
      case 0:
        delivered += static_cast<std::uint32_t>(ch.HandleMsg(packet).size());
        if (delivered != ch.Delivered() || ch.EarlyCount() > kChannelEarlyMax) std::abort();
        break;
      case 1: {
        const int before = ch.Backlog();
        ch.HandleAck(packet);
        if (ch.Backlog() > before) std::abort();
        break;
      }
      case 2:
        now += len % 400;
        for (const auto& p : ch.Poll(now))
          if (p.size() > kMaxPeerPayload) std::abort();
        break;
    }
  }
  return 0;
}
