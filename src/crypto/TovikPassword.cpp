#include "crypto/TovikPassword.h"

#include <openssl/crypto.h>

#include <charconv>

#include "crypto/TovikCrypto.h"

namespace tovik {

namespace {

constexpr std::string_view kVerifierTag = "pbkdf2-sha256";
constexpr std::string_view kClientKeyLabel = "Client Key";
constexpr std::string_view kAuthLabel = "Tovik unattended access v1";

bool IterationsOk(std::uint32_t AIterations) {
  return AIterations >= kPasswordMinIterations && AIterations <= kPasswordMaxIterations;
}

bool SaltOk(std::size_t ASize) { return ASize >= kPasswordSaltSize && ASize <= kPasswordMaxSaltSize; }

TBytes ClientKey(std::string_view APassword, TByteView ASalt, std::uint32_t AIterations) {
  TBytes salted = Pbkdf2Sha256(APassword, ASalt, static_cast<int>(AIterations), 32);
  TBytes key = HmacSha256(salted, BytesOf(kClientKeyLabel));
  WipeBytes(salted);
  return key;
}

TBytes AuthMessage(const TPasswordChallenge& AChallenge, TByteView ABinding) {
  TBytes m = BytesOf(kAuthLabel);
  Append(m, EncodePasswordChallenge(AChallenge));
  Append(m, ABinding);
  return m;
}

}  // namespace

bool PasswordLongEnough(std::string_view APassword) {
  return IsValidUtf8(APassword) && Utf8Length(APassword) >= kPasswordMinChars;
}

TPasswordVerifier MakePasswordVerifier(std::string_view APassword, std::uint32_t AIterations) {
  TPasswordVerifier v;
  v.Salt = RandomBytes(static_cast<int>(kPasswordSaltSize));
  v.Iterations = AIterations;
  TBytes client = ClientKey(APassword, v.Salt, AIterations);
  v.StoredKey = Sha256(client);
  WipeBytes(client);
  return v;
}

std::string FormatPasswordVerifier(const TPasswordVerifier& AVerifier) {
  return std::string(kVerifierTag) + ":" + std::to_string(AVerifier.Iterations) + ":" + BytesToHex(AVerifier.Salt) +
         ":" + BytesToHex(AVerifier.StoredKey);
}

std::optional<TPasswordVerifier> ParsePasswordVerifier(std::string_view AText) {
  std::string_view parts[4];
  for (int i = 0; i < 4; ++i) {
    const std::size_t colon = AText.find(':');
    if (i < 3 && colon == std::string_view::npos) return std::nullopt;
    parts[i] = i < 3 ? AText.substr(0, colon) : AText;
    if (i < 3) AText.remove_prefix(colon + 1);
  }
  if (parts[0] != kVerifierTag || parts[3].find(':') != std::string_view::npos) return std::nullopt;
  TPasswordVerifier v;
  const char* first = parts[1].data();
  const char* last = first + parts[1].size();
  auto [end, ec] = std::from_chars(first, last, v.Iterations);
  if (ec != std::errc() || end != last || parts[1].empty() || parts[1][0] == '+') return std::nullopt;
  v.Salt = HexToBytes(parts[2]);
  v.StoredKey = HexToBytes(parts[3]);
  // A verifier is made here with at least the minimum work factor; one above the maximum could not be
  // answered by a helper's program, so it is refused as damaged as well.
  if (!IterationsOk(v.Iterations) || !SaltOk(v.Salt.size()) || v.StoredKey.size() != 32) return std::nullopt;
  return v;
}

TPasswordChallenge MakePasswordChallenge(const TPasswordVerifier& AVerifier) {
  TPasswordChallenge c;
  c.Salt = AVerifier.Salt;
  c.Iterations = AVerifier.Iterations;
  c.Nonce = RandomBytes(static_cast<int>(kPasswordNonceSize));
  return c;
}

TBytes EncodePasswordChallenge(const TPasswordChallenge& AChallenge) {
  TBytes b;
  PutU32LE(b, AChallenge.Iterations);
  b.push_back(static_cast<std::uint8_t>(AChallenge.Salt.size()));
  Append(b, AChallenge.Salt);
  Append(b, AChallenge.Nonce);
  return b;
}

std::optional<TPasswordChallenge> DecodePasswordChallenge(TByteView ABody) {
  if (ABody.size() < 5) return std::nullopt;
  TPasswordChallenge c;
  c.Iterations = GetU32LE(ABody.data());
  const std::size_t salt = ABody[4];
  if (!IterationsOk(c.Iterations) || !SaltOk(salt) || ABody.size() != 5 + salt + kPasswordNonceSize)
    return std::nullopt;
  c.Salt.assign(ABody.begin() + 5, ABody.begin() + 5 + static_cast<std::ptrdiff_t>(salt));
  c.Nonce.assign(ABody.begin() + 5 + static_cast<std::ptrdiff_t>(salt), ABody.end());
  return c;
}

TBytes PeerKeyBinding(TByteView AMine, TByteView ATheirs) {
  const TOrderedPair p = OrderPair(AMine, ATheirs);
  return JoinBytes({p.Low, p.High});
}

TBytes MakePasswordProof(std::string_view APassword, const TPasswordChallenge& AChallenge, TByteView ABinding) {
  TBytes client = ClientKey(APassword, AChallenge.Salt, AChallenge.Iterations);
  const TBytes stored = Sha256(client);
  const TBytes signature = HmacSha256(stored, AuthMessage(AChallenge, ABinding));
  TBytes proof(kPasswordProofSize);
  for (std::size_t i = 0; i < kPasswordProofSize; ++i) proof[i] = client[i] ^ signature[i];
  WipeBytes(client);
  return proof;
}

bool CheckPasswordProof(const TPasswordVerifier& AVerifier, const TPasswordChallenge& AChallenge, TByteView ABinding,
                        TByteView AProof) {
  if (AProof.size() != kPasswordProofSize || AVerifier.StoredKey.size() != 32) return false;
  const TBytes signature = HmacSha256(AVerifier.StoredKey, AuthMessage(AChallenge, ABinding));
  TBytes client(kPasswordProofSize);
  for (std::size_t i = 0; i < kPasswordProofSize; ++i) client[i] = AProof[i] ^ signature[i];
  const TBytes stored = Sha256(client);
  WipeBytes(client);
  return CRYPTO_memcmp(stored.data(), AVerifier.StoredKey.data(), stored.size()) == 0;
}

void WipeText(std::string& AText) noexcept {
  if (!AText.empty()) OPENSSL_cleanse(AText.data(), AText.size());
  AText.clear();
}

}  // namespace tovik
