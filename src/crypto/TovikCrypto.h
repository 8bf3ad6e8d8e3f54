// TovikCrypto: the program's only use of cryptography, over OpenSSL 3 (EVP interfaces).
//
// Primitives: P-256 key agreement (TEcdhKey) and signatures (TEcdsaKey), AES-256-GCM (TGcmKey),
// SHA-256, HMAC-SHA-256, HKDF, PBKDF2, random bytes, hexadecimal text and key fingerprints.
// On top of them: the sealed-packet channel (TSecureChannel) with its anti-replay window, the key
// schedules of the relay link and the peer link, and the six-digit check number.
//
// Conventions
// - Public keys are always the 64-byte point X||Y (32-byte big-endian coordinates, no prefix byte).
// - Every failure of the crypto library raises ETovikCrypto, "<step> failed (0x%.8X)" with the step's
//   name and OpenSSL's error code; wrong sizes raise the fixed texts documented per function. A bad
//   signature, a bad GCM tag and malformed hexadecimal text are not errors (false / empty buffer).
// - Key objects own their OpenSSL handles; freeing them wipes the key material (OpenSSL cleanses
//   keys and cipher contexts on free). Temporary secrets inside this module are wiped as well.
// - Free functions are thread-safe. A key object or channel is used by one thread at a time (it may
//   be handed from one thread to another); TGcmKey and TSecureChannel keep cipher state between calls.
// - Nothing here logs, and no message ever contains key or secret bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

#include "base/TovikBytes.h"

// OpenSSL handle types, declared here so that users of this header need no OpenSSL headers.
struct evp_pkey_st;
struct evp_cipher_ctx_st;
struct evp_md_ctx_st;

namespace tovik {

// The only exception class raised by this module.
class ETovikCrypto : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

namespace detail {
struct TPkeyFree {
  void operator()(evp_pkey_st* p) const noexcept;
};
struct TCipherCtxFree {
  void operator()(evp_cipher_ctx_st* p) const noexcept;
};
struct TMdCtxFree {
  void operator()(evp_md_ctx_st* p) const noexcept;
};
using TPkeyPtr = std::unique_ptr<evp_pkey_st, TPkeyFree>;
using TCipherCtxPtr = std::unique_ptr<evp_cipher_ctx_st, TCipherCtxFree>;
}  // namespace detail

inline constexpr std::size_t kPublicKeySize = 64;  // X||Y
inline constexpr std::size_t kSignatureSize = 64;  // r||s
inline constexpr std::size_t kGcmKeySize = 32;
inline constexpr std::size_t kGcmNonceSize = 12;
inline constexpr std::size_t kGcmTagSize = 16;

// ---------------------------------------------------------------------------------------------
// TEcdhKey: an ephemeral P-256 key pair for Diffie-Hellman key agreement.
class TEcdhKey {
public:
  // Create: generates a fresh key pair and exports its public key. Raises ETovikCrypto.
  TEcdhKey();
  ~TEcdhKey();  // Destroy
  TEcdhKey(TEcdhKey&&) noexcept;
  TEcdhKey& operator=(TEcdhKey&&) noexcept;
  TEcdhKey(const TEcdhKey&) = delete;
  TEcdhKey& operator=(const TEcdhKey&) = delete;

  // FPublic: the 64-byte public key X||Y.
  const TBytes& Public() const { return FPublic; }

  // The 32-byte shared secret Z (x-coordinate of the shared point, big-endian) with the holder of
  // APeerPublic. Raises "Public key must be 64 bytes" for another size and "Importing public key
  // failed (...)" when the bytes are not a point on the curve; no secret is computed then.
  TBytes SharedSecret(TByteView APeerPublic) const;

private:
  detail::TPkeyPtr FKey;
  TBytes FPublic;
};

// ---------------------------------------------------------------------------------------------
// TEcdsaKey: a P-256 signing key (private and public) or a verifying key (public only).
//
// Private-key blob (PrivateBlob / CreateFromPrivateBlob), 104 bytes:
//   magic "ECS2" (the bytes 45 43 53 32) | key length 32 (32-bit little-endian) | X (32) | Y (32) |
//   private scalar d (32), all coordinates and d big-endian.
// CreateFromPrivateBlob checks the layout and that d and X||Y form a valid key pair.
class TEcdsaKey {
public:
  // CreateNew: a fresh signing key pair.
  static TEcdsaKey CreateNew();
  // Imports a private key blob (above). Raises "Key file is damaged" for any damaged blob.
  static TEcdsaKey CreateFromPrivateBlob(TByteView ABlob);
  // A verifying key. Raises "Public key must be 64 bytes" or "Importing public key failed (...)".
  static TEcdsaKey CreateFromPublic(TByteView APublic);

  ~TEcdsaKey();  // Destroy
  TEcdsaKey(TEcdsaKey&&) noexcept;
  TEcdsaKey& operator=(TEcdsaKey&&) noexcept;
  TEcdsaKey(const TEcdsaKey&) = delete;
  TEcdsaKey& operator=(const TEcdsaKey&) = delete;

  // FPublic: the 64-byte public key X||Y.
  const TBytes& Public() const { return FPublic; }
  // True when the key holds a private half (CreateNew, CreateFromPrivateBlob).
  bool HasPrivate() const { return FHasPrivate; }

  // The key in the private-key blob form. Raises for a verifying-only key.
  TBytes PrivateBlob() const;
  // 64-byte signature r||s over SHA-256(AData). Raises for a verifying-only key.
  TBytes Sign(TByteView AData) const;
  // Whether ASignature (r||s) is a valid signature of SHA-256(AData). Never raises; false at once
  // when ASignature is not 64 bytes.
  bool Verify(TByteView AData, TByteView ASignature) const noexcept;

private:
  TEcdsaKey() = default;
  detail::TPkeyPtr FKey;
  TBytes FPublic;
  bool FHasPrivate = false;
};

// ---------------------------------------------------------------------------------------------
// TGcmKey: an AES-256 key used in GCM mode; each call is independent (no chaining between calls).
// The cipher contexts are set up with the key once; each call only sets the nonce.
class TGcmKey {
public:
  // Create: AKey must be exactly 32 bytes, else "AES-256 needs a 32-byte key".
  explicit TGcmKey(TByteView AKey);
  ~TGcmKey();  // Destroy
  TGcmKey(TGcmKey&&) noexcept;
  TGcmKey& operator=(TGcmKey&&) noexcept;
  TGcmKey(const TGcmKey&) = delete;
  TGcmKey& operator=(const TGcmKey&) = delete;

  // The ciphertext (same length as APlain); the 16-byte tag goes to ATag. Raises ETovikCrypto on a
  // library failure (also for an empty nonce).
  TBytes Encrypt(TByteView ANonce, TByteView AAad, TByteView APlain, TBytes& ATag) const;
  // True and the plaintext when the tag verifies; false and an empty APlain otherwise (also for a
  // tag that is not 16 bytes). Never raises.
  bool Decrypt(TByteView ANonce, TByteView AAad, TByteView ACipher, TByteView ATag,
               TBytes& APlain) const noexcept;

  // Allocation-free forms used by the channel: AOut must hold APlain.size() (resp. ACipher.size())
  // bytes and ATagOut 16 bytes. AOut may not overlap the input. DecryptTo leaves AOut unspecified
  // (zeroed as far as written) when it returns false.
  void EncryptTo(TByteView ANonce, TByteView AAad, TByteView APlain, std::uint8_t* AOut,
                 std::uint8_t* ATagOut) const;
  bool DecryptTo(TByteView ANonce, TByteView AAad, TByteView ACipher, TByteView ATag,
                 std::uint8_t* AOut) const noexcept;

private:
  detail::TCipherCtxPtr FEnc;
  detail::TCipherCtxPtr FDec;
  mutable std::size_t FEncIvLen = kGcmNonceSize;
  mutable std::size_t FDecIvLen = kGcmNonceSize;
};

// ---------------------------------------------------------------------------------------------
// Free functions (thread-safe).

// ACount random bytes from OpenSSL's default generator; 0 or less gives an empty buffer.
TBytes RandomBytes(int ACount);
TBytes Sha256(TByteView AData);

// SHA-256 of data that arrives in pieces (files read in blocks). Raises ETovikCrypto when OpenSSL
// fails. One thread at a time.
class TSha256 {
 public:
  TSha256();
  void Update(TByteView AData);
  // The 32-byte digest; the object starts over afterwards.
  TBytes Final();

 private:
  std::unique_ptr<evp_md_ctx_st, detail::TMdCtxFree> FCtx;
};
// HMAC-SHA-256; an empty key is replaced by 32 zero bytes.
TBytes HmacSha256(TByteView AKey, TByteView AMessage);
// HKDF (RFC 5869) over HMAC-SHA-256. ALength 0 or less gives an empty buffer; more than 255 blocks
// (8160 bytes) raises "HKDF output too long".
TBytes HkdfSha256(TByteView ASalt, TByteView AIkm, TByteView AInfo, int ALength);
// PBKDF2-HMAC-SHA-256 of the UTF-8 password text. AIterations below 1 raises.
TBytes Pbkdf2Sha256(std::string_view APassword, TByteView ASalt, int AIterations, int ALength);

TBytes JoinBytes(std::initializer_list<TByteView> AParts);
inline TBytes Utf8Bytes(std::string_view AText) { return BytesOf(AText); }
bool SameBytes(TByteView A, TByteView B);
// Unsigned bytewise comparison: the first differing byte decides (its difference is the result);
// when one is a prefix of the other, the result is the length difference.
int CompareBytes(TByteView A, TByteView B);
// Two upper-case hexadecimal digits per byte.
std::string BytesToHex(TByteView ABytes);
// Inverse of BytesToHex (either case); odd length or any other character gives an empty buffer.
TBytes HexToBytes(std::string_view AText);
// "ABCD EF01 2345 6789": the first 8 bytes of SHA-256(AKey); "(none)" for an empty key.
std::string KeyFingerprint(TByteView AKey);
// Overwrites the buffer's bytes with zeros (not optimised away) and empties it.
void WipeBytes(TBytes& ABytes) noexcept;

// ---------------------------------------------------------------------------------------------
// Sealed packets.
//
// Layout (integers little-endian): type (1) | counter (8) | ciphertext (n) | GCM tag (16).
// The additional data is the 9-byte header; the 12-byte nonce is the sender's label (4 bytes LE)
// followed by the counter (8 bytes LE) and is not sent.

inline constexpr std::size_t kSealOverhead = 25;
inline constexpr std::uint8_t kRelayPacketType = 0x12;
inline constexpr std::uint8_t kPeerPacketType = 0xC0;

// 64-packet anti-replay window.
struct TReplayWindow {
  std::uint64_t FHighest = 0;  // highest counter accepted so far (0 before the first packet)
  std::uint64_t FBits = 0;     // bit d set: counter FHighest - d has been accepted

  // Whether a packet with this counter may be accepted (never 0, never a duplicate, at most 63
  // behind the highest).
  bool IsFresh(std::uint64_t ACounter) const noexcept;
  // Records the counter as accepted.
  void Mark(std::uint64_t ACounter) noexcept;

  bool operator==(const TReplayWindow&) const = default;
};

// label (4 bytes LE) || counter (8 bytes LE)
TBytes MakeNonce(std::uint32_t ALabel, std::uint64_t ACounter);

// One direction pair of a sealed link. Not thread-safe: Seal changes the send counter and Open the
// window; the owner calls both from one thread.
class TSecureChannel {
public:
  // Both keys must be 32 bytes ("AES-256 needs a 32-byte key" otherwise).
  TSecureChannel(std::uint8_t APacketType, TByteView ASendKey, TByteView ARecvKey,
                 std::uint32_t ASendLabel, std::uint32_t ARecvLabel);

  // The sealed packet, 25 bytes longer than APlain; the first packet carries counter 1. Raises
  // ETovikCrypto only when encryption fails (or the counter is exhausted).
  TBytes Seal(TByteView APlain);
  // Same, into APacket (its capacity is reused).
  void Seal(TByteView APlain, TBytes& APacket);
  // Same, into AOut, which holds APlain.size() + kSealOverhead bytes and does not overlap APlain.
  void SealTo(TByteView APlain, std::uint8_t* AOut);
  // True and the plaintext when the packet is genuine and new; false and an empty APlain otherwise.
  // Only a packet whose tag verifies moves the window. Never raises.
  bool Open(TByteView APacket, TBytes& APlain) noexcept;

  std::uint8_t PacketType() const { return FType; }
  std::uint64_t SendCounter() const { return FSendCounter; }
  // For tests: the channel continues as if ACounter packets had been sealed (the next carries
  // ACounter + 1), so that the end of the counter can be reached.
  void SkipSendCounterTo(std::uint64_t ACounter) { FSendCounter = ACounter; }
  const TReplayWindow& Window() const { return FWindow; }

private:
  std::uint8_t FType;
  TGcmKey FSendKey;
  TGcmKey FRecvKey;
  std::uint32_t FSendLabel;
  std::uint32_t FRecvLabel;
  std::uint64_t FSendCounter = 0;
  TReplayWindow FWindow;
};

// ---------------------------------------------------------------------------------------------
// Key schedules. Results that hold keys wipe them when destroyed.

// "TOVIK-RELAY-HANDSHAKE-V1" || client ECDH key (64) || client random (16) || relay ECDH key (64)
// || relay signing key (64): 232 bytes when the parts have their sizes. The relay signs it; the
// client checks it with TEcdsaKey::Verify on the relay signing key.
TBytes RelayTranscript(TByteView AClientPublic, TByteView AClientRandom, TByteView ARelayPublic,
                       TByteView ARelaySigningKey);

struct TRelayKeys {
  TBytes C2S;  // client to relay
  TBytes S2C;  // relay to client
  TRelayKeys() = default;
  TRelayKeys(const TRelayKeys&) = default;
  TRelayKeys(TRelayKeys&&) noexcept = default;
  TRelayKeys& operator=(const TRelayKeys&) = default;
  TRelayKeys& operator=(TRelayKeys&&) noexcept = default;
  ~TRelayKeys();
};
// Keys of the relay link from the ECDH secret and the 16-byte client random. The client's channel
// is TSecureChannel(0x12, C2S, S2C, 1, 2); the relay's is TSecureChannel(0x12, S2C, C2S, 2, 1).
TRelayKeys DeriveRelayKeys(TByteView ASecret, TByteView AClientRandom);

struct TOrderedPair {
  TBytes Low;
  TBytes High;
};
// Orders two keys with CompareBytes: A > B gives (B, A), otherwise (A, B).
TOrderedPair OrderPair(TByteView A, TByteView B);

struct TPeerKeys {
  TBytes SendKey;
  TBytes RecvKey;
  std::uint32_t SendLabel = 0;
  std::uint32_t RecvLabel = 0;
  TPeerKeys() = default;
  TPeerKeys(const TPeerKeys&) = default;
  TPeerKeys(TPeerKeys&&) noexcept = default;
  TPeerKeys& operator=(const TPeerKeys&) = default;
  TPeerKeys& operator=(TPeerKeys&&) noexcept = default;
  ~TPeerKeys();
};
// Keys and labels of the peer link from the ECDH secret and both PCs' ECDH public keys. The PC
// with the lower key sends with label 3, the other with label 4. The channel is
// TSecureChannel(0xC0, SendKey, RecvKey, SendLabel, RecvLabel).
TPeerKeys DerivePeerKeys(TByteView ASecret, TByteView AMine, TByteView ATheirs);

// The commitment to a peer public key, 32 bytes: each PC announces this first and reveals the key
// only once it holds the other PC's commitment, so that whoever passes the keys on must choose its
// own before it sees theirs.
inline constexpr std::size_t kPeerCommitSize = 32;
TBytes PeerCommitment(TByteView APublicKey);

// The transcript of a peer key exchange: both commitments and both keys, ordered by the keys, the
// same on both PCs of one link.
TBytes PeerTranscript(TByteView A, TByteView B);

// Six digits "ddd ddd" from the transcript of both ECDH public keys of a peer link; the same whichever
// is A.
std::string CheckNumber(TByteView A, TByteView B);

}  // namespace tovik
