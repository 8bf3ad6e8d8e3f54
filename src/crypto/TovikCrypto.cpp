// Crypto primitives over OpenSSL 3 EVP interfaces.
#include "crypto/TovikCrypto.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/params.h>
#include <openssl/rand.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>

namespace tovik {

namespace detail {
void TPkeyFree::operator()(evp_pkey_st* p) const noexcept { EVP_PKEY_free(p); }
void TCipherCtxFree::operator()(evp_cipher_ctx_st* p) const noexcept { EVP_CIPHER_CTX_free(p); }
void TMdCtxFree::operator()(evp_md_ctx_st* p) const noexcept { EVP_MD_CTX_free(p); }
}  // namespace detail

namespace {

struct TPkeyCtxFree {
  void operator()(EVP_PKEY_CTX* p) const noexcept { EVP_PKEY_CTX_free(p); }
};
struct TMacCtxFree {
  void operator()(EVP_MAC_CTX* p) const noexcept { EVP_MAC_CTX_free(p); }
};
struct TBnFree {
  void operator()(BIGNUM* p) const noexcept { BN_clear_free(p); }
};
struct TSigFree {
  void operator()(ECDSA_SIG* p) const noexcept { ECDSA_SIG_free(p); }
};
struct TParamBldFree {
  void operator()(OSSL_PARAM_BLD* p) const noexcept { OSSL_PARAM_BLD_free(p); }
};
struct TParamFree {
  void operator()(OSSL_PARAM* p) const noexcept { OSSL_PARAM_free(p); }
};
using TPkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, TPkeyCtxFree>;
using TMacCtxPtr = std::unique_ptr<EVP_MAC_CTX, TMacCtxFree>;
using TBnPtr = std::unique_ptr<BIGNUM, TBnFree>;
using TSigPtr = std::unique_ptr<ECDSA_SIG, TSigFree>;
using TParamBldPtr = std::unique_ptr<OSSL_PARAM_BLD, TParamBldFree>;
using TParamPtr = std::unique_ptr<OSSL_PARAM, TParamFree>;

constexpr char kGroupName[] = "P-256";
constexpr std::size_t kCoordSize = 32;
constexpr std::size_t kPrivateBlobSize = 8 + 3 * kCoordSize;
constexpr std::uint32_t kPrivateBlobMagic = 0x32534345;  // "ECS2" read little-endian

// Raises "<step> failed (0x%.8X)" with the newest OpenSSL error code and clears the error queue.
[[noreturn]] void Fail(const char* AStep) {
  unsigned long code = ERR_peek_last_error();
  ERR_clear_error();
  char text[160];
  std::snprintf(text, sizeof text, "%s failed (0x%.8X)", AStep,
                static_cast<unsigned>(code & 0xFFFFFFFFu));
  throw ETovikCrypto(text);
}

// Status check: OpenSSL calls return 1 (or a positive value) on success.
inline void Check(int AResult, const char* AStep) {
  if (AResult <= 0) Fail(AStep);
}

// Algorithms fetched once per process and shared by all threads (fetched objects are immutable).
struct TProviders {
  EVP_CIPHER* Aes = EVP_CIPHER_fetch(nullptr, "AES-256-GCM", nullptr);
  EVP_MD* Sha = EVP_MD_fetch(nullptr, "SHA256", nullptr);
  EVP_MAC* Hmac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
  TProviders() { ERR_clear_error(); }
  ~TProviders() {
    EVP_CIPHER_free(Aes);
    EVP_MD_free(Sha);
    EVP_MAC_free(Hmac);
  }
};

const TProviders& Providers() {
  static const TProviders p;
  return p;
}

template <typename T>
T* Require(T* AProvider, const char* ADisplayName) {
  if (!AProvider) throw ETovikCrypto(std::string(ADisplayName) + " is not available (OpenSSL)");
  return AProvider;
}

const EVP_CIPHER* AesGcm() { return Require(Providers().Aes, "AES-GCM"); }
const EVP_MD* Sha256Md() { return Require(Providers().Sha, "SHA-256"); }
EVP_MAC* HmacMac() { return Require(Providers().Hmac, "HMAC-SHA-256"); }

// Wipes a buffer when it leaves scope.
struct TWipeGuard {
  TBytes& Bytes;
  ~TWipeGuard() { WipeBytes(Bytes); }
};

void ExportPublicKey(EVP_PKEY* AKey, TBytes& APublic) {
  std::uint8_t point[1 + kPublicKeySize + 8];
  std::size_t len = 0;
  Check(EVP_PKEY_get_octet_string_param(AKey, OSSL_PKEY_PARAM_ENCODED_PUBLIC_KEY, point,
                                        sizeof point, &len),
        "EVP_PKEY_get_octet_string_param");
  if (len != 1 + kPublicKeySize || point[0] != 0x04) throw ETovikCrypto("Unexpected public key size");
  APublic.assign(point + 1, point + 1 + kPublicKeySize);
}

// Builds a P-256 key from parameters; public keys are checked to be points on the curve.
detail::TPkeyPtr KeyFromData(const OSSL_PARAM* AParams, int ASelection, const char* AStep) {
  TPkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
  if (!ctx) Fail(AStep);
  Check(EVP_PKEY_fromdata_init(ctx.get()), AStep);
  EVP_PKEY* raw = nullptr;
  Check(EVP_PKEY_fromdata(ctx.get(), &raw, ASelection, const_cast<OSSL_PARAM*>(AParams)), AStep);
  detail::TPkeyPtr key(raw);
  TPkeyCtxPtr check(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr));
  if (!check) Fail(AStep);
  if (ASelection == EVP_PKEY_KEYPAIR)
    Check(EVP_PKEY_check(check.get()), AStep);
  else
    Check(EVP_PKEY_public_check(check.get()), AStep);
  return key;
}

detail::TPkeyPtr ImportPublicKey(TByteView APublic) {
  if (APublic.size() != kPublicKeySize) throw ETovikCrypto("Public key must be 64 bytes");
  std::uint8_t point[1 + kPublicKeySize];
  point[0] = 0x04;
  std::memcpy(point + 1, APublic.data(), kPublicKeySize);
  OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, const_cast<char*>(kGroupName), 0),
      OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY, point, sizeof point),
      OSSL_PARAM_construct_end()};
  return KeyFromData(params, EVP_PKEY_PUBLIC_KEY, "Importing public key");
}

detail::TPkeyPtr GenerateKey() {
  TPkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
  if (!ctx) Fail("EVP_PKEY_CTX_new_from_name");
  Check(EVP_PKEY_keygen_init(ctx.get()), "EVP_PKEY_keygen_init");
  Check(EVP_PKEY_CTX_set_group_name(ctx.get(), kGroupName), "EVP_PKEY_CTX_set_group_name");
  EVP_PKEY* raw = nullptr;
  Check(EVP_PKEY_generate(ctx.get(), &raw), "EVP_PKEY_generate");
  return detail::TPkeyPtr(raw);
}

// Feeds a buffer of any size to an int-sized update call.
template <typename F>
bool UpdateChunks(TByteView AData, F&& AUpdate) {
  constexpr std::size_t kChunk = 1u << 30;
  std::size_t done = 0;
  do {
    std::size_t n = std::min(kChunk, AData.size() - done);
    if (!AUpdate(AData.data() + done, static_cast<int>(n), done)) return false;
    done += n;
  } while (done < AData.size());
  return true;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// TEcdhKey

TEcdhKey::TEcdhKey() : FKey(GenerateKey()) { ExportPublicKey(FKey.get(), FPublic); }
TEcdhKey::~TEcdhKey() = default;
TEcdhKey::TEcdhKey(TEcdhKey&&) noexcept = default;
TEcdhKey& TEcdhKey::operator=(TEcdhKey&&) noexcept = default;

TBytes TEcdhKey::SharedSecret(TByteView APeerPublic) const {
  detail::TPkeyPtr peer = ImportPublicKey(APeerPublic);
  if (!FKey) throw ETovikCrypto("EVP_PKEY_derive failed (0x00000000)");
  TPkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, FKey.get(), nullptr));
  if (!ctx) Fail("EVP_PKEY_CTX_new_from_pkey");
  Check(EVP_PKEY_derive_init(ctx.get()), "EVP_PKEY_derive_init");
  Check(EVP_PKEY_derive_set_peer(ctx.get(), peer.get()), "EVP_PKEY_derive_set_peer");
  std::size_t len = 0;
  Check(EVP_PKEY_derive(ctx.get(), nullptr, &len), "EVP_PKEY_derive");
  TBytes secret(len);
  if (EVP_PKEY_derive(ctx.get(), secret.data(), &len) <= 0) {
    WipeBytes(secret);
    Fail("EVP_PKEY_derive");
  }
  secret.resize(len);
  if (len != kCoordSize) {
    WipeBytes(secret);
    throw ETovikCrypto("EVP_PKEY_derive failed (0x00000000)");
  }
  return secret;
}

// ---------------------------------------------------------------------------------------------
// TEcdsaKey

TEcdsaKey::~TEcdsaKey() = default;
TEcdsaKey::TEcdsaKey(TEcdsaKey&&) noexcept = default;
TEcdsaKey& TEcdsaKey::operator=(TEcdsaKey&&) noexcept = default;

TEcdsaKey TEcdsaKey::CreateNew() {
  TEcdsaKey key;
  key.FKey = GenerateKey();
  key.FHasPrivate = true;
  ExportPublicKey(key.FKey.get(), key.FPublic);
  return key;
}

TEcdsaKey TEcdsaKey::CreateFromPublic(TByteView APublic) {
  TEcdsaKey key;
  key.FKey = ImportPublicKey(APublic);
  key.FPublic.assign(APublic.begin(), APublic.end());
  return key;
}

TEcdsaKey TEcdsaKey::CreateFromPrivateBlob(TByteView ABlob) {
  if (ABlob.size() != kPrivateBlobSize || GetU32LE(ABlob.data()) != kPrivateBlobMagic ||
      GetU32LE(ABlob.data() + 4) != kCoordSize)
    throw ETovikCrypto("Key file is damaged");
  const std::uint8_t* p = ABlob.data() + 8;
  std::uint8_t point[1 + kPublicKeySize];
  point[0] = 0x04;
  std::memcpy(point + 1, p, kPublicKeySize);
  // The scalar lives in secure memory; OSSL_PARAM_free clears the secure part of the parameters.
  TBnPtr d(BN_secure_new());
  if (!d) Fail("Importing private key");
  if (!BN_bin2bn(p + kPublicKeySize, kCoordSize, d.get())) Fail("Importing private key");
  TParamBldPtr bld(OSSL_PARAM_BLD_new());
  if (!bld) Fail("Importing private key");
  Check(OSSL_PARAM_BLD_push_utf8_string(bld.get(), OSSL_PKEY_PARAM_GROUP_NAME, kGroupName, 0),
        "Importing private key");
  Check(OSSL_PARAM_BLD_push_octet_string(bld.get(), OSSL_PKEY_PARAM_PUB_KEY, point, sizeof point),
        "Importing private key");
  Check(OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_PRIV_KEY, d.get()), "Importing private key");
  TParamPtr params(OSSL_PARAM_BLD_to_param(bld.get()));
  if (!params) Fail("Importing private key");
  TEcdsaKey key;
  try {
    key.FKey = KeyFromData(params.get(), EVP_PKEY_KEYPAIR, "Importing private key");
  } catch (const ETovikCrypto&) {
    // A scalar out of range, a point off the curve or a pair that does not match.
    throw ETovikCrypto("Key file is damaged");
  }
  key.FHasPrivate = true;
  ExportPublicKey(key.FKey.get(), key.FPublic);
  return key;
}

TBytes TEcdsaKey::PrivateBlob() const {
  if (!FKey || !FHasPrivate) throw ETovikCrypto("Exporting private key failed (0x00000000)");
  BIGNUM* raw = nullptr;
  Check(EVP_PKEY_get_bn_param(FKey.get(), OSSL_PKEY_PARAM_PRIV_KEY, &raw), "Exporting private key");
  TBnPtr d(raw);
  TBytes blob;
  blob.reserve(kPrivateBlobSize);
  PutU32LE(blob, kPrivateBlobMagic);
  PutU32LE(blob, kCoordSize);
  Append(blob, FPublic);
  blob.resize(kPrivateBlobSize);
  if (BN_bn2binpad(d.get(), blob.data() + 8 + kPublicKeySize, kCoordSize) != int(kCoordSize)) {
    WipeBytes(blob);
    Fail("Exporting private key");
  }
  return blob;
}

TBytes TEcdsaKey::Sign(TByteView AData) const {
  if (!FKey || !FHasPrivate) throw ETovikCrypto("EVP_PKEY_sign failed (0x00000000)");
  TBytes digest = Sha256(AData);
  TPkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, FKey.get(), nullptr));
  if (!ctx) Fail("EVP_PKEY_CTX_new_from_pkey");
  Check(EVP_PKEY_sign_init(ctx.get()), "EVP_PKEY_sign_init");
  std::size_t len = 0;
  Check(EVP_PKEY_sign(ctx.get(), nullptr, &len, digest.data(), digest.size()), "EVP_PKEY_sign");
  TBytes der(len);
  Check(EVP_PKEY_sign(ctx.get(), der.data(), &len, digest.data(), digest.size()), "EVP_PKEY_sign");
  const unsigned char* q = der.data();
  TSigPtr sig(d2i_ECDSA_SIG(nullptr, &q, static_cast<long>(len)));
  if (!sig) Fail("d2i_ECDSA_SIG");
  TBytes out(kSignatureSize);
  if (BN_bn2binpad(ECDSA_SIG_get0_r(sig.get()), out.data(), kCoordSize) != int(kCoordSize) ||
      BN_bn2binpad(ECDSA_SIG_get0_s(sig.get()), out.data() + kCoordSize, kCoordSize) !=
          int(kCoordSize))
    Fail("BN_bn2binpad");
  return out;
}

bool TEcdsaKey::Verify(TByteView AData, TByteView ASignature) const noexcept {
  if (ASignature.size() != kSignatureSize || !FKey) return false;
  try {
    TBytes digest = Sha256(AData);
    TSigPtr sig(ECDSA_SIG_new());
    if (!sig) return ERR_clear_error(), false;
    BIGNUM* r = BN_bin2bn(ASignature.data(), kCoordSize, nullptr);
    BIGNUM* s = BN_bin2bn(ASignature.data() + kCoordSize, kCoordSize, nullptr);
    if (!r || !s || !ECDSA_SIG_set0(sig.get(), r, s)) {
      BN_free(r);
      BN_free(s);
      ERR_clear_error();
      return false;
    }
    unsigned char* der = nullptr;
    int derLen = i2d_ECDSA_SIG(sig.get(), &der);
    if (derLen <= 0) return ERR_clear_error(), false;
    std::unique_ptr<unsigned char, void (*)(unsigned char*)> derOwner(
        der, [](unsigned char* p) { OPENSSL_free(p); });
    TPkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, FKey.get(), nullptr));
    bool ok = ctx && EVP_PKEY_verify_init(ctx.get()) > 0 &&
              EVP_PKEY_verify(ctx.get(), der, static_cast<std::size_t>(derLen), digest.data(),
                              digest.size()) == 1;
    ERR_clear_error();
    return ok;
  } catch (...) {
    ERR_clear_error();
    return false;
  }
}

// ---------------------------------------------------------------------------------------------
// TGcmKey

TGcmKey::TGcmKey(TByteView AKey) {
  if (AKey.size() != kGcmKeySize) throw ETovikCrypto("AES-256 needs a 32-byte key");
  const EVP_CIPHER* aes = AesGcm();
  FEnc.reset(EVP_CIPHER_CTX_new());
  FDec.reset(EVP_CIPHER_CTX_new());
  if (!FEnc || !FDec) Fail("EVP_CIPHER_CTX_new");
  Check(EVP_EncryptInit_ex2(FEnc.get(), aes, AKey.data(), nullptr, nullptr), "EVP_EncryptInit_ex2");
  Check(EVP_DecryptInit_ex2(FDec.get(), aes, AKey.data(), nullptr, nullptr), "EVP_DecryptInit_ex2");
}

TGcmKey::~TGcmKey() = default;  // EVP_CIPHER_CTX_free cleanses the key schedule
TGcmKey::TGcmKey(TGcmKey&&) noexcept = default;
TGcmKey& TGcmKey::operator=(TGcmKey&&) noexcept = default;

void TGcmKey::EncryptTo(TByteView ANonce, TByteView AAad, TByteView APlain, std::uint8_t* AOut,
                        std::uint8_t* ATagOut) const {
  EVP_CIPHER_CTX* c = FEnc.get();
  if (!c) throw ETovikCrypto("EVP_EncryptInit_ex2 failed (0x00000000)");
  if (ANonce.empty()) throw ETovikCrypto("EVP_EncryptInit_ex2 failed (0x00000000)");
  if (ANonce.size() != FEncIvLen) {
    std::size_t want = ANonce.size();
    OSSL_PARAM p[] = {OSSL_PARAM_construct_size_t(OSSL_CIPHER_PARAM_AEAD_IVLEN, &want),
                      OSSL_PARAM_construct_end()};
    Check(EVP_CIPHER_CTX_set_params(c, p), "EVP_CIPHER_CTX_set_params");
    FEncIvLen = want;
  }
  Check(EVP_EncryptInit_ex2(c, nullptr, nullptr, ANonce.data(), nullptr), "EVP_EncryptInit_ex2");
  int len = 0;
  if (!AAad.empty())
    UpdateChunks(AAad, [&](const std::uint8_t* d, int n, std::size_t) {
      Check(EVP_EncryptUpdate(c, nullptr, &len, d, n), "EVP_EncryptUpdate");
      return true;
    });
  if (!APlain.empty())
    UpdateChunks(APlain, [&](const std::uint8_t* d, int n, std::size_t at) {
      Check(EVP_EncryptUpdate(c, AOut + at, &len, d, n), "EVP_EncryptUpdate");
      return true;
    });
  std::uint8_t rest[32];  // GCM writes nothing at the end; the buffer keeps the call well-defined
  Check(EVP_EncryptFinal_ex(c, rest, &len), "EVP_EncryptFinal_ex");
  OSSL_PARAM tag[] = {
      OSSL_PARAM_construct_octet_string(OSSL_CIPHER_PARAM_AEAD_TAG, ATagOut, kGcmTagSize),
      OSSL_PARAM_construct_end()};
  Check(EVP_CIPHER_CTX_get_params(c, tag), "EVP_CIPHER_CTX_get_params");
}

bool TGcmKey::DecryptTo(TByteView ANonce, TByteView AAad, TByteView ACipher, TByteView ATag,
                        std::uint8_t* AOut) const noexcept {
  EVP_CIPHER_CTX* c = FDec.get();
  if (!c || ATag.size() != kGcmTagSize || ANonce.empty()) return false;
  if (ANonce.size() != FDecIvLen) {
    std::size_t want = ANonce.size();
    OSSL_PARAM p[] = {OSSL_PARAM_construct_size_t(OSSL_CIPHER_PARAM_AEAD_IVLEN, &want),
                      OSSL_PARAM_construct_end()};
    if (EVP_CIPHER_CTX_set_params(c, p) <= 0) return ERR_clear_error(), false;
    FDecIvLen = want;
  }
  int len = 0;
  bool ok = EVP_DecryptInit_ex2(c, nullptr, nullptr, ANonce.data(), nullptr) > 0;
  if (ok && !AAad.empty())
    ok = UpdateChunks(AAad, [&](const std::uint8_t* d, int n, std::size_t) {
      return EVP_DecryptUpdate(c, nullptr, &len, d, n) > 0;
    });
  if (ok && !ACipher.empty())
    ok = UpdateChunks(ACipher, [&](const std::uint8_t* d, int n, std::size_t at) {
      return EVP_DecryptUpdate(c, AOut + at, &len, d, n) > 0;
    });
  if (ok) {
    // The tag parameter is copied by the cipher; it is not written through.
    OSSL_PARAM tag[] = {OSSL_PARAM_construct_octet_string(
                            OSSL_CIPHER_PARAM_AEAD_TAG, const_cast<std::uint8_t*>(ATag.data()),
                            kGcmTagSize),
                        OSSL_PARAM_construct_end()};
    ok = EVP_CIPHER_CTX_set_params(c, tag) > 0;
  }
  std::uint8_t rest[32];
  if (ok) ok = EVP_DecryptFinal_ex(c, rest, &len) > 0;
  if (!ok) {
    ERR_clear_error();
    if (!ACipher.empty()) OPENSSL_cleanse(AOut, ACipher.size());
  }
  return ok;
}

TBytes TGcmKey::Encrypt(TByteView ANonce, TByteView AAad, TByteView APlain, TBytes& ATag) const {
  TBytes out(APlain.size());
  TBytes tag(kGcmTagSize);
  EncryptTo(ANonce, AAad, APlain, out.data(), tag.data());
  ATag = std::move(tag);
  return out;
}

bool TGcmKey::Decrypt(TByteView ANonce, TByteView AAad, TByteView ACipher, TByteView ATag,
                      TBytes& APlain) const noexcept {
  APlain.clear();
  if (ATag.size() != kGcmTagSize) return false;
  try {
    TBytes out(ACipher.size());
    if (!DecryptTo(ANonce, AAad, ACipher, ATag, out.data())) return false;
    APlain = std::move(out);
    return true;
  } catch (...) {  // out of memory
    return false;
  }
}

// ---------------------------------------------------------------------------------------------
// Free functions

TBytes RandomBytes(int ACount) {
  if (ACount <= 0) return {};
  TBytes out(static_cast<std::size_t>(ACount));
  Check(RAND_bytes(out.data(), ACount), "RAND_bytes");
  return out;
}

TBytes Sha256(TByteView AData) {
  const EVP_MD* md = Sha256Md();
  TBytes out(32);
  unsigned len = 0;
  static const std::uint8_t kEmpty = 0;
  Check(EVP_Digest(AData.empty() ? &kEmpty : AData.data(), AData.size(), out.data(), &len, md,
                   nullptr),
        "EVP_Digest");
  return out;
}

TSha256::TSha256() : FCtx(EVP_MD_CTX_new()) {
  if (!FCtx) Fail("EVP_MD_CTX_new");
  Check(EVP_DigestInit_ex(FCtx.get(), Sha256Md(), nullptr), "EVP_DigestInit_ex");
}

void TSha256::Update(TByteView AData) {
  if (AData.empty()) return;
  Check(EVP_DigestUpdate(FCtx.get(), AData.data(), AData.size()), "EVP_DigestUpdate");
}

TBytes TSha256::Final() {
  TBytes out(32);
  unsigned len = 0;
  Check(EVP_DigestFinal_ex(FCtx.get(), out.data(), &len), "EVP_DigestFinal_ex");
  Check(EVP_DigestInit_ex(FCtx.get(), Sha256Md(), nullptr), "EVP_DigestInit_ex");
  return out;
}

TBytes HmacSha256(TByteView AKey, TByteView AMessage) {
  static const std::uint8_t kZeroKey[32] = {};
  if (AKey.empty()) AKey = TByteView(kZeroKey, sizeof kZeroKey);
  TMacCtxPtr ctx(EVP_MAC_CTX_new(HmacMac()));
  if (!ctx) Fail("EVP_MAC_CTX_new");
  OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, const_cast<char*>("SHA256"), 0),
      OSSL_PARAM_construct_end()};
  Check(EVP_MAC_init(ctx.get(), AKey.data(), AKey.size(), params), "EVP_MAC_init");
  if (!AMessage.empty()) Check(EVP_MAC_update(ctx.get(), AMessage.data(), AMessage.size()), "EVP_MAC_update");
  TBytes out(32);
  std::size_t len = 0;
  Check(EVP_MAC_final(ctx.get(), out.data(), &len, out.size()), "EVP_MAC_final");
  return out;
}

TBytes HkdfSha256(TByteView ASalt, TByteView AIkm, TByteView AInfo, int ALength) {
  if (ALength <= 0) return {};
  if (ALength > 255 * 32) throw ETovikCrypto("HKDF output too long");
  TBytes prk = HmacSha256(ASalt, AIkm);
  TWipeGuard wipePrk{prk};
  TBytes out;
  out.reserve(static_cast<std::size_t>(ALength) + 32);
  TBytes block;
  TWipeGuard wipeBlock{block};
  TBytes input;
  TWipeGuard wipeInput{input};
  for (std::uint8_t i = 1; out.size() < static_cast<std::size_t>(ALength); ++i) {
    input.clear();
    Append(input, block);
    Append(input, AInfo);
    input.push_back(i);
    WipeBytes(block);
    block = HmacSha256(prk, input);
    Append(out, block);
  }
  if (out.size() > static_cast<std::size_t>(ALength)) {
    OPENSSL_cleanse(out.data() + ALength, out.size() - static_cast<std::size_t>(ALength));
    out.resize(static_cast<std::size_t>(ALength));
  }
  return out;
}

TBytes Pbkdf2Sha256(std::string_view APassword, TByteView ASalt, int AIterations, int ALength) {
  if (ALength <= 0) return {};
  if (AIterations < 1) throw ETovikCrypto("PKCS5_PBKDF2_HMAC failed (0x00000000)");
  TBytes out(static_cast<std::size_t>(ALength));
  static const std::uint8_t kEmpty = 0;
  Check(PKCS5_PBKDF2_HMAC(APassword.data(), static_cast<int>(APassword.size()),
                          ASalt.empty() ? &kEmpty : ASalt.data(), static_cast<int>(ASalt.size()),
                          AIterations, Sha256Md(), ALength, out.data()),
        "PKCS5_PBKDF2_HMAC");
  return out;
}

TBytes JoinBytes(std::initializer_list<TByteView> AParts) {
  std::size_t total = 0;
  for (auto p : AParts) total += p.size();
  TBytes out;
  out.reserve(total);
  for (auto p : AParts) Append(out, p);
  return out;
}

bool SameBytes(TByteView A, TByteView B) {
  return A.size() == B.size() && (A.empty() || std::memcmp(A.data(), B.data(), A.size()) == 0);
}

int CompareBytes(TByteView A, TByteView B) {
  std::size_t n = std::min(A.size(), B.size());
  for (std::size_t i = 0; i < n; ++i)
    if (A[i] != B[i]) return int(A[i]) - int(B[i]);
  if (A.size() == B.size()) return 0;
  return A.size() < B.size() ? -1 * int(std::min<std::size_t>(B.size() - A.size(), INT_MAX))
                             : int(std::min<std::size_t>(A.size() - B.size(), INT_MAX));
}

std::string BytesToHex(TByteView ABytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(ABytes.size() * 2);
  for (std::uint8_t b : ABytes) {
    out.push_back(kDigits[b >> 4]);
    out.push_back(kDigits[b & 15]);
  }
  return out;
}

namespace {
int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}
}  // namespace

TBytes HexToBytes(std::string_view AText) {
  if (AText.size() % 2 != 0) return {};
  TBytes out;
  out.reserve(AText.size() / 2);
  for (std::size_t i = 0; i < AText.size(); i += 2) {
    int hi = HexDigit(AText[i]);
    int lo = HexDigit(AText[i + 1]);
    if (hi < 0 || lo < 0) return {};
    out.push_back(static_cast<std::uint8_t>(hi << 4 | lo));
  }
  return out;
}

std::string KeyFingerprint(TByteView AKey) {
  if (AKey.empty()) return "(none)";
  TBytes digest = Sha256(AKey);
  std::string hex = BytesToHex(TByteView(digest.data(), 8));
  return hex.substr(0, 4) + ' ' + hex.substr(4, 4) + ' ' + hex.substr(8, 4) + ' ' + hex.substr(12, 4);
}

void WipeBytes(TBytes& ABytes) noexcept {
  if (!ABytes.empty()) OPENSSL_cleanse(ABytes.data(), ABytes.size());
  ABytes.clear();
}

}  // namespace tovik
