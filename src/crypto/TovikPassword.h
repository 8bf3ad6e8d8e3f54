// The unattended-access password: the verifier the helped PC keeps, and the challenge and proof a
// helper's program exchanges with it inside the sealed peer channel.
//
// The helped PC stores salt, iterations and StoredKey = SHA-256(ClientKey), where
//   SaltedPassword = PBKDF2-HMAC-SHA-256(password, salt, iterations, 32)
//   ClientKey      = HMAC-SHA-256(SaltedPassword, "Client Key").
// For one session the helped PC sends a challenge (salt, iterations and a fresh 32-byte random); the
// helper's program answers
//   Proof = ClientKey XOR HMAC-SHA-256(StoredKey, AuthMessage)
// where AuthMessage binds the challenge and both PCs' peer keys of this link. The helped PC recovers
// ClientKey from the proof and compares SHA-256 of it with StoredKey in constant time. So the verifier
// alone does not answer a challenge (a stolen settings file gives no access without a dictionary
// attack through PBKDF2), the password itself never leaves the helper's PC, and a proof made for one
// link is useless on any other.
//
// Pure functions over OpenSSL; thread-safe. Inputs from the other PC are checked here (sizes,
// iteration bounds) and refused rather than trusted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/TovikBytes.h"

namespace tovik {

inline constexpr std::size_t kPasswordMinChars = 8;
// Work factor of a new verifier, and the range a helper's program accepts in a challenge: at the top
// a hostile helped PC could make it compute PBKDF2 for a few seconds once per prompt, no more.
inline constexpr std::uint32_t kPasswordIterations = 210'000;
inline constexpr std::uint32_t kPasswordMinIterations = 200'000;
inline constexpr std::uint32_t kPasswordMaxIterations = 2'000'000;
inline constexpr std::size_t kPasswordSaltSize = 16;
inline constexpr std::size_t kPasswordMaxSaltSize = 64;
inline constexpr std::size_t kPasswordNonceSize = 32;
inline constexpr std::size_t kPasswordProofSize = 32;

struct TPasswordVerifier {
  TBytes Salt;
  std::uint32_t Iterations = 0;
  TBytes StoredKey;  // 32 bytes
};

// Characters (UTF-8 code points) of the text; false for invalid UTF-8 or fewer than the minimum.
bool PasswordLongEnough(std::string_view APassword);

// A new verifier with a fresh random salt.
TPasswordVerifier MakePasswordVerifier(std::string_view APassword, std::uint32_t AIterations = kPasswordIterations);
// "pbkdf2-sha256:<iterations>:<salt hex>:<stored key hex>", the form kept in the settings.
std::string FormatPasswordVerifier(const TPasswordVerifier& AVerifier);
// The stored form back; nothing when any part is missing, malformed or out of bounds.
std::optional<TPasswordVerifier> ParsePasswordVerifier(std::string_view AText);

struct TPasswordChallenge {
  TBytes Salt;
  std::uint32_t Iterations = 0;
  TBytes Nonce;  // kPasswordNonceSize fresh random bytes
};

// A challenge for one session from the stored verifier.
TPasswordChallenge MakePasswordChallenge(const TPasswordVerifier& AVerifier);
// Wire form (message body): iterations (4, little-endian) | salt length (1) | salt | nonce.
TBytes EncodePasswordChallenge(const TPasswordChallenge& AChallenge);
// Nothing for a body of the wrong size, a salt outside 16..64 bytes or iterations outside the bounds.
std::optional<TPasswordChallenge> DecodePasswordChallenge(TByteView ABody);

// Both PCs' peer public keys in a fixed order (lower first), the same on both ends of one link.
TBytes PeerKeyBinding(TByteView AMine, TByteView ATheirs);

// The helper's answer; raises ETovikCrypto when PBKDF2 fails.
TBytes MakePasswordProof(std::string_view APassword, const TPasswordChallenge& AChallenge, TByteView ABinding);
// True only for the proof of the password behind AVerifier, for this challenge and binding. The
// comparison takes the same time whatever the bytes. AChallenge must have come from AVerifier.
bool CheckPasswordProof(const TPasswordVerifier& AVerifier, const TPasswordChallenge& AChallenge, TByteView ABinding,
                        TByteView AProof);

// Overwrites the text's bytes (not optimised away) and empties it: for passwords once used.
void WipeText(std::string& AText) noexcept;

}  // namespace tovik
