// Frame transport: any sequence of packets handed to the sender and both receivers must not crash,
// must keep each receiver within its byte budget, and must only produce well-formed replies.
#include <cstdint>
#include <cstdlib>

#include "base/TovikBytes.h"
#include "base/TovikClock.h"
#include "net/TovikFrames.h"

namespace {

using namespace tovik;

constexpr std::size_t kBudget = 4u * 1024u * 1024u;

void CheckReply(const TBytes& r) {
  if (r.empty()) return;
  if (r[0] == pkFrameAck && r.size() == 5) return;
  if (r[0] == pkFrameNack && r.size() >= 7 && r.size() == 7 + 2u * GetU16LE(r.data() + 5) &&
      r.size() <= 7 + 2 * kMaxNackIndices)
    return;
  std::abort();
}

}  // namespace

// Input: records of [operation byte][length, 2 bytes LE][packet]. The packet bytes are handed in as
// they are, so the fuzzer controls every header field.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  TTick now = 1000000;
  TFrameWindowSender sender;
  TFrameReceiver single(kBudget);
  TFrameWindowReceiver windowed(kBudget);
  sender.SetLegacy(size % 2 == 0);
  sender.SetMaxInFlight(4);
  for (std::size_t i = 0; i < 4; ++i) sender.Start(TBytes(i * 1500), now);

  std::size_t pos = 0;
  while (pos + 3 <= size) {
    const std::uint8_t op = data[pos];
    const std::size_t len = std::min<std::size_t>(GetU16LE(data + pos + 1), size - pos - 3);
    const TByteView packet(data + pos + 3, len);
    pos += 3 + len;
    TBytes blob, reply;
    switch (op % 6) {
      case 0:
        if (single.HandleChunk(packet, blob, reply, now) && blob.size() > kMaxFrameBytes) std::abort();
        CheckReply(reply);
        break;
      case 1:
        for (const auto& f : windowed.HandleChunk(packet, reply, now))
          if (f.size() > kMaxFrameBytes) std::abort();
        CheckReply(reply);
        break;
      case 2: {
        std::uint32_t ms = 0;
        sender.HandleAck(packet, ms, now);
        break;
      }
      case 3:
        sender.HandleNack(packet);
        break;
      case 4:
        for (const auto& p : sender.NextPackets(len % 64, now))
          if (p.size() > kWindowChunkHeader + kChunkData || p.size() > kMaxPeerPayload) std::abort();
        if (sender.CanStart()) sender.Start(packet, now);
        break;
      case 5:
        now += len % 300;
        if (single.PendingNack(reply, static_cast<std::uint32_t>(len % 40), now)) CheckReply(reply);
        for (const auto& n : windowed.PendingNacks(static_cast<std::uint32_t>(len % 40), now)) CheckReply(n);
        break;
    }
    if (single.HeldBytes() > kBudget || windowed.HeldBytes() > kBudget) std::abort();
    if (windowed.FrameCount() > kFrameWindowAhead + 1) std::abort();
  }
  return 0;
}
