// Sealed channel under arbitrary input: Open never crashes, never accepts a forged, damaged or
// replayed packet, and only genuine packets move the replay window.
//
// The input is a little program: each step reads an operation byte and its operands.
//   0: seal a packet of n bytes and keep it      1: deliver a kept packet
//   2: deliver a kept packet with one bit flipped 3: deliver n raw bytes from the input
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "crypto/TovikCrypto.h"

using namespace tovik;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const TBytes kA(32, 0xA5), kB(32, 0x5A);
  TSecureChannel sender(kPeerPacketType, kA, kB, 3, 4);
  TSecureChannel receiver(kPeerPacketType, kB, kA, 4, 3);
  std::vector<TBytes> kept;
  TBytes plain;
  std::size_t at = 0;
  auto next = [&]() -> std::uint8_t { return at < size ? data[at++] : 0; };

  while (at < size) {
    std::uint8_t op = next() & 3;
    if (op == 0) {
      if (kept.size() >= 64) continue;
      TBytes body(next(), 0x42);
      kept.push_back(sender.Seal(body));
      if (kept.back().size() != body.size() + kSealOverhead) std::abort();
    } else if (op == 1 || op == 2) {
      if (kept.empty()) continue;
      TBytes packet = kept[next() % kept.size()];
      std::size_t bit = (std::size_t(next()) << 8 | next()) % (packet.size() * 8);
      if (op == 2) packet[bit / 8] ^= std::uint8_t(1u << (bit % 8));
      std::uint64_t counter = 0;
      for (int i = 8; i >= 1; --i) counter = counter << 8 | packet[i];
      TReplayWindow before = receiver.Window();
      bool fresh = before.IsFresh(counter);
      bool opened = receiver.Open(packet, plain);
      bool genuine = op == 1 && packet.size() > kSealOverhead;
      if (opened != (genuine && fresh)) std::abort();
      if (!opened && (!plain.empty() || !(receiver.Window() == before))) std::abort();
      if (opened && plain.size() != packet.size() - kSealOverhead) std::abort();
    } else {
      std::size_t n = next();
      n = std::min(n, size - at);
      TReplayWindow before = receiver.Window();
      // Random bytes are never a valid packet under these keys.
      if (receiver.Open(TByteView(data + at, n), plain)) std::abort();
      if (!plain.empty() || !(receiver.Window() == before)) std::abort();
      at += n;
    }
  }
  return 0;
}
