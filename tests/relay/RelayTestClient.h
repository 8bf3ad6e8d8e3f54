// A scripted relay client for tests: builds client hellos, checks the handshake reply like the
// program does, and seals and opens text lines of the relay channel.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "crypto/TovikCrypto.h"
#include "net/TovikWire.h"

namespace tovik::test {

class TRelayTestClient {
 public:
  TEcdhKey FEcdh;
  TBytes FRandom = RandomBytes(16);
  std::unique_ptr<TSecureChannel> FChannel;
  TBytes FRelayKey;  // signing key shown in the last accepted reply

  TBytes Hello() const {
    TBytes h{kWireClientHello, kWireVersion};
    Append(h, FEcdh.Public());
    Append(h, FRandom);
    return h;
  }

  // Checks a handshake reply; on success the channel exists.
  bool Accept(TByteView reply) {
    if (reply.size() != kHandshakeReplySize || reply[0] != kWireHandshake || reply[1] != kWireVersion) return false;
    const TByteView relayEcdh = reply.subspan(2, 64), signKey = reply.subspan(66, 64), sig = reply.subspan(130, 64);
    const TEcdsaKey verify = TEcdsaKey::CreateFromPublic(signKey);
    if (!verify.Verify(RelayTranscript(FEcdh.Public(), FRandom, relayEcdh, signKey), sig)) return false;
    const TRelayKeys keys = DeriveRelayKeys(FEcdh.SharedSecret(relayEcdh), FRandom);
    FChannel = std::make_unique<TSecureChannel>(kWireSealed, keys.C2S, keys.S2C, 1, 2);
    FRelayKey.assign(signKey.begin(), signKey.end());
    return true;
  }

  TBytes Line(const std::string& text) { return FChannel->Seal(BytesOf(text)); }

  // The text of a sealed line from the relay, or nullopt when it is not one that opens.
  std::optional<std::string> Open(TByteView packet) {
    if (!FChannel || packet.empty() || packet[0] != kWireSealed) return std::nullopt;
    TBytes plain;
    if (!FChannel->Open(packet, plain)) return std::nullopt;
    return StringOf(plain);
  }

  // The handshake key doubles as this client's peer key: its hex, and the commitment HELLO and CONNECT carry.
  std::string KeyHex() const { return BytesToHex(FEcdh.Public()); }
  std::string CommitHex() const { return BytesToHex(PeerCommitment(FEcdh.Public())); }
};

}  // namespace tovik::test
