#include "net/TovikRelayHello.h"

#include "net/TovikWire.h"

namespace tovik {

TRelayHello::TRelayHello() : FRandom(RandomBytes(static_cast<int>(kClientRandomSize))) {
  FHello.reserve(kClientHelloSize);
  FHello.push_back(kWireClientHello);
  FHello.push_back(kWireVersion);
  Append(FHello, FKey.Public());
  Append(FHello, FRandom);
}

std::optional<TRelayHello::TReply> TRelayHello::Check(TByteView reply) const {
  if (reply.size() != kHandshakeReplySize || reply[0] != kWireHandshake || reply[1] != kWireVersion)
    return std::nullopt;
  const TByteView relayEcdh = reply.subspan(2, 64);
  const TByteView relayKey = reply.subspan(66, 64);
  const TByteView signature = reply.subspan(130, 64);
  try {
    const TEcdsaKey verifier = TEcdsaKey::CreateFromPublic(relayKey);
    if (!verifier.Verify(RelayTranscript(FKey.Public(), FRandom, relayEcdh, relayKey), signature))
      return std::nullopt;
    return TReply{TBytes(relayKey.begin(), relayKey.end()), FKey.SharedSecret(relayEcdh)};
  } catch (const ETovikCrypto&) {
    return std::nullopt;
  }
}

}  // namespace tovik
