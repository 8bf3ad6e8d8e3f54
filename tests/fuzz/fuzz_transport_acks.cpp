// Paced transport feedback: selective acknowledgements and frame feedback, the two packets a peer
// sends to steer what this side sends. Any sequence of them must not crash, must never be read as
// more than the checks allow (blocks bounded, ascending, disjoint, within the window), must keep the
// selective channel's buffers within their bounds and the pacer's delivered bytes within what was sent.
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
  ch.SetSelective(true);
  for (int i = 0; i < 300; ++i) ch.Post(1, TBytes(static_cast<std::size_t>(i % 50)), i % 2 == 0);
  TFrameWindowSender tx;
  tx.SetLegacy(false);
  tx.SetMaxInFlight(4);
  tx.SetPaced(true);
  tx.Start(TBytes(200'000, 7), now);
  tx.Start(TBytes(5'000, 9), now);

  std::size_t pos = 0;
  while (pos + 3 <= size) {
    const std::uint8_t op = data[pos];
    const std::size_t len = std::min<std::size_t>(GetU16LE(data + pos + 1), size - pos - 3);
    const TByteView packet(data + pos + 3, len);
    pos += 3 + len;
    switch (op % 5) {
      case 0: {
        TChannelAck a;
        if (!ParseChannelAck(packet, a)) break;
        if (a.Blocks.size() > kMaxSackBlocks) std::abort();
        std::uint64_t floor = static_cast<std::uint64_t>(a.Cumulative) + 2;
        for (const auto& b : a.Blocks) {
          const std::uint64_t last = static_cast<std::uint64_t>(b.First) + b.Count - 1;
          if (b.Count == 0 || b.First < floor || last > a.Cumulative + static_cast<std::uint64_t>(kSackWindow))
            std::abort();
          floor = last + 2;
        }
        const int before = ch.Backlog();
        ch.HandleAck(packet, now);
        if (ch.Backlog() > before) std::abort();
        break;
      }
      case 1:
        ch.HandleMsg(packet);
        if (ch.EarlyCount() > kSackEarlyMax || ch.EarlyBytes() > kSackEarlyBytes) std::abort();
        break;
      case 2:
        now += len % 400;
        for (const auto& p : ch.Poll(now))
          if (p.size() > kMaxPeerPayload) std::abort();
        for (const auto& p : tx.NextPacedPackets(now))
          if (p.size() > kWindowChunkHeader + kChunkData) std::abort();
        break;
      case 3:
        tx.HandleFeedback(packet, now);
        if (tx.Pacer().DeliveredBytes() > tx.Pacer().SentBytes() || tx.InFlightBytes() > tx.Pacer().SentBytes())
          std::abort();
        break;
      case 4:
        tx.HandleNack(packet);
        break;
    }
  }
  return 0;
}
