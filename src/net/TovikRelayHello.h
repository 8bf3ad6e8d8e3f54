// The relay handshake as a client starts it: a hello with a fresh ECDH key pair and fresh random
// bytes, and the check of the relay's reply. A reply counts only when the key it shows signed the
// transcript of this very hello (so a host that merely echoes a known public key does not pass); only
// then may the caller compare that key with the one it trusts.
//
// A value object; one thread at a time. Used by the network client and by the connection test.
#pragma once

#include <optional>

#include "base/TovikBytes.h"
#include "crypto/TovikCrypto.h"

namespace tovik {

class TRelayHello {
 public:
  // A fresh key pair and fresh random bytes. Raises ETovikCrypto when the key cannot be made.
  TRelayHello();

  // The hello datagram: 0x10, version, ECDH public key (64), random (16).
  const TBytes& Bytes() const { return FHello; }

  struct TReply {
    TBytes RelayKey;  // the relay's signing key (64 bytes), proven by the signature
    TBytes Secret;    // the ECDH shared secret (wipe after use)
  };
  // The reply when it is a handshake reply of the right size and version whose signature verifies
  // over this hello's transcript; nullopt for anything else (never raises).
  std::optional<TReply> Check(TByteView reply) const;
  // The channel keys for a checked reply's secret.
  TRelayKeys Keys(TByteView secret) const { return DeriveRelayKeys(secret, FRandom); }

 private:
  TEcdhKey FKey;
  TBytes FRandom;
  TBytes FHello;
};

}  // namespace tovik
