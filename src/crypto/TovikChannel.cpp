// Sealed-packet channel, anti-replay window, key schedules of the relay and peer links and the
// check number.
#include <openssl/crypto.h>

#include <cstdio>
#include <cstring>
#include <limits>

#include "crypto/TovikCrypto.h"

namespace tovik {

namespace {

constexpr std::size_t kHeaderSize = 9;
constexpr std::uint64_t kWindowSize = 64;

void FillNonce(std::uint8_t* AOut, std::uint32_t ALabel, std::uint64_t ACounter) {
  for (int i = 0; i < 4; ++i) AOut[i] = static_cast<std::uint8_t>(ALabel >> (8 * i));
  for (int i = 0; i < 8; ++i) AOut[4 + i] = static_cast<std::uint8_t>(ACounter >> (8 * i));
}

std::uint64_t ReadU64LE(const std::uint8_t* p) {
  std::uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = v << 8 | p[i];
  return v;
}

TBytes DeriveKey(TByteView ASalt, TByteView ASecret, std::string_view AInfo) {
  return HkdfSha256(ASalt, ASecret, Utf8Bytes(AInfo), 32);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// TReplayWindow

bool TReplayWindow::IsFresh(std::uint64_t ACounter) const noexcept {
  if (ACounter == 0) return false;
  if (ACounter > FHighest) return true;
  std::uint64_t d = FHighest - ACounter;
  if (d >= kWindowSize) return false;
  return (FBits & (std::uint64_t{1} << d)) == 0;
}

void TReplayWindow::Mark(std::uint64_t ACounter) noexcept {
  if (ACounter > FHighest) {
    std::uint64_t shift = ACounter - FHighest;
    FBits = shift >= kWindowSize ? 0 : FBits << shift;
    FBits |= 1;
    FHighest = ACounter;
    return;
  }
  std::uint64_t d = FHighest - ACounter;
  if (d < kWindowSize) FBits |= std::uint64_t{1} << d;
}

TBytes MakeNonce(std::uint32_t ALabel, std::uint64_t ACounter) {
  TBytes nonce(kGcmNonceSize);
  FillNonce(nonce.data(), ALabel, ACounter);
  return nonce;
}

// ---------------------------------------------------------------------------------------------
// TSecureChannel

TSecureChannel::TSecureChannel(std::uint8_t APacketType, TByteView ASendKey, TByteView ARecvKey,
                               std::uint32_t ASendLabel, std::uint32_t ARecvLabel)
    : FType(APacketType),
      FSendKey(ASendKey),
      FRecvKey(ARecvKey),
      FSendLabel(ASendLabel),
      FRecvLabel(ARecvLabel) {}

void TSecureChannel::Seal(TByteView APlain, TBytes& APacket) {
  APacket.resize(APlain.size() + kSealOverhead);
  SealTo(APlain, APacket.data());
}

void TSecureChannel::SealTo(TByteView APlain, std::uint8_t* AOut) {
  // A wrapped counter would reuse a nonce under the same key.
  if (FSendCounter == std::numeric_limits<std::uint64_t>::max())
    throw ETovikCrypto("Packet counter exhausted");
  std::uint64_t counter = FSendCounter + 1;
  std::uint8_t* p = AOut;
  p[0] = FType;
  for (int i = 0; i < 8; ++i) p[1 + i] = static_cast<std::uint8_t>(counter >> (8 * i));
  std::uint8_t nonce[kGcmNonceSize];
  FillNonce(nonce, FSendLabel, counter);
  FSendKey.EncryptTo(TByteView(nonce, sizeof nonce), TByteView(p, kHeaderSize), APlain,
                     p + kHeaderSize, p + kHeaderSize + APlain.size());
  FSendCounter = counter;
}

TBytes TSecureChannel::Seal(TByteView APlain) {
  TBytes packet;
  Seal(APlain, packet);
  return packet;
}

bool TSecureChannel::Open(TByteView APacket, TBytes& APlain) noexcept {
  APlain.clear();
  if (APacket.size() <= kSealOverhead || APacket[0] != FType) return false;
  std::uint64_t counter = ReadU64LE(APacket.data() + 1);
  if (!FWindow.IsFresh(counter)) return false;
  std::size_t n = APacket.size() - kSealOverhead;
  std::uint8_t nonce[kGcmNonceSize];
  FillNonce(nonce, FRecvLabel, counter);
  try {
    APlain.resize(n);
  } catch (...) {
    return false;
  }
  if (!FRecvKey.DecryptTo(TByteView(nonce, sizeof nonce), APacket.first(kHeaderSize),
                          APacket.subspan(kHeaderSize, n), APacket.last(kGcmTagSize),
                          APlain.data())) {
    APlain.clear();
    return false;
  }
  FWindow.Mark(counter);
  return true;
}

// ---------------------------------------------------------------------------------------------
// Key schedules

TRelayKeys::~TRelayKeys() {
  WipeBytes(C2S);
  WipeBytes(S2C);
}

TPeerKeys::~TPeerKeys() {
  WipeBytes(SendKey);
  WipeBytes(RecvKey);
}

TBytes RelayTranscript(TByteView AClientPublic, TByteView AClientRandom, TByteView ARelayPublic,
                       TByteView ARelaySigningKey) {
  TBytes label = Utf8Bytes("TOVIK-RELAY-HANDSHAKE-V1");
  return JoinBytes({label, AClientPublic, AClientRandom, ARelayPublic, ARelaySigningKey});
}

TRelayKeys DeriveRelayKeys(TByteView ASecret, TByteView AClientRandom) {
  TRelayKeys keys;
  keys.C2S = DeriveKey(AClientRandom, ASecret, "tovik relay c2s v1");
  keys.S2C = DeriveKey(AClientRandom, ASecret, "tovik relay s2c v1");
  return keys;
}

TOrderedPair OrderPair(TByteView A, TByteView B) {
  if (CompareBytes(A, B) > 0) return {TBytes(B.begin(), B.end()), TBytes(A.begin(), A.end())};
  return {TBytes(A.begin(), A.end()), TBytes(B.begin(), B.end())};
}

TPeerKeys DerivePeerKeys(TByteView ASecret, TByteView AMine, TByteView ATheirs) {
  TOrderedPair pair = OrderPair(AMine, ATheirs);
  TBytes salt = Sha256(JoinBytes({pair.Low, pair.High}));
  TBytes k1 = DeriveKey(salt, ASecret, "tovik peer low-to-high v1");
  TBytes k2 = DeriveKey(salt, ASecret, "tovik peer high-to-low v1");
  TPeerKeys keys;
  if (SameBytes(AMine, pair.Low)) {
    keys.SendKey = std::move(k1);
    keys.RecvKey = std::move(k2);
    keys.SendLabel = 3;
    keys.RecvLabel = 4;
  } else {
    keys.SendKey = std::move(k2);
    keys.RecvKey = std::move(k1);
    keys.SendLabel = 4;
    keys.RecvLabel = 3;
  }
  return keys;
}

TBytes PeerCommitment(TByteView APublicKey) {
  return Sha256(JoinBytes({Utf8Bytes("tovik peer commit v1"), APublicKey}));
}

TBytes PeerTranscript(TByteView A, TByteView B) {
  const TOrderedPair pair = OrderPair(A, B);
  return JoinBytes({Utf8Bytes("tovik peer transcript v1"), PeerCommitment(pair.Low), PeerCommitment(pair.High),
                    pair.Low, pair.High});
}

std::string CheckNumber(TByteView A, TByteView B) {
  TBytes digest = Sha256(JoinBytes({Utf8Bytes("tovik check number v2"), PeerTranscript(A, B)}));
  std::uint32_t n = GetU32BE(digest.data()) % 1000000u;
  char text[16];
  std::snprintf(text, sizeof text, "%.3u %.3u", n / 1000, n % 1000);
  return text;
}

}  // namespace tovik
