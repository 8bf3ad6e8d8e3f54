// DispatchPacket with any datagram, from the relay's address and from others, on a client that has a
// peer channel (punching), so that relay kinds, relayed and direct peer packets are all reached.
// Random bytes never open under the peer keys, so the harness also plays the partner: it derives the
// partner's half of the channel and seals the input, which reaches the peer-line and data handling
// behind the seal, before the link is up (odd second byte) or after the partner's PUNCHACK.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "net/TovikNet.h"
#include "tests/support/NullNetBackend.h"

using namespace tovik;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static TNullBackend backend;
  static TEcdhKey partner;
  static const std::string peerLine =
      "PEER 198.51.100.2 5000 192.168.2.10 5000 " + BytesToHex(PeerCommitment(partner.Public())) + " 222222222 - U";
  static const std::string revealLine = "REVEAL 222222222 " + BytesToHex(partner.Public());
  if (size < 1) return 0;
  constexpr TTick now = 1'000'000;
  TTovikClient client(backend, "203.0.113.1", 47800, "");
  client.Start(now);
  client.HandleServerLine("ID 111111111 600", now);
  client.HandleServerLine(peerLine, now);
  client.HandleServerLine(revealLine, now);
  // The first byte picks the sender: the relay, the partner's candidate, or a stranger.
  const char* ips[] = {"203.0.113.1", "198.51.100.2", "10.9.9.9"};
  const std::uint16_t ports[] = {47800, 5000, 47800};
  const int who = data[0] % 3;
  TRxPacket p{TBytes(data + 1, data + size), ips[who], ports[who]};
  client.DispatchPacket(p, now + 1);
  // Also as a relayed peer packet and as a sealed relay line with the wrong key.
  TBytes relayed{0x14};
  relayed.insert(relayed.end(), data + 1, data + size);
  client.DispatchPacket(TRxPacket{relayed, "203.0.113.1", 47800}, now + 2);

  // The same bytes sealed by the partner, directly and through the relay.
  TBytes secret = partner.SharedSecret(client.PeerPublicKey());
  const TPeerKeys keys = DerivePeerKeys(secret, partner.Public(), client.PeerPublicKey());
  TSecureChannel sealer(kPeerPacketType, keys.SendKey, keys.RecvKey, keys.SendLabel, keys.RecvLabel);
  if (size >= 2 && data[1] % 2 == 0)
    client.DispatchPacket(TRxPacket{sealer.Seal(BytesOf("PUNCHACK")), "198.51.100.2", 5000}, now + 3);
  if (size >= 2) {
    const TByteView body(data + 2, size - 2);
    client.DispatchPacket(TRxPacket{sealer.Seal(body), ips[data[1] % 2], ports[data[1] % 2]}, now + 4);
    TBytes viaRelay{0x14};
    Append(viaRelay, sealer.Seal(body));
    client.DispatchPacket(TRxPacket{viaRelay, "203.0.113.1", 47800}, now + 5);
  }
  client.HandleTimeout(now + 1000);
  return 0;
}
