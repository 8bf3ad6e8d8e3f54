// Sealed channel throughput against raw EVP AES-256-GCM on the same packet size.
#include <benchmark/benchmark.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>

#include <cstdlib>

#include "crypto/TovikCrypto.h"

namespace {

using namespace tovik;

constexpr std::size_t kPacket = 1238;

// Reference: one encrypt and one decrypt of a kPacket-byte buffer with 9 bytes of additional data,
// contexts keyed once, only the nonce set per packet, no allocation.
void BM_RawEvpAes256Gcm(benchmark::State& state) {
  TBytes key = RandomBytes(32), aad(9, 0x12), plain(kPacket, 0x5A), cipher(kPacket), back(kPacket);
  std::uint8_t nonce[12] = {}, tag[16], rest[32];
  EVP_CIPHER* aes = EVP_CIPHER_fetch(nullptr, "AES-256-GCM", nullptr);
  EVP_CIPHER_CTX* enc = EVP_CIPHER_CTX_new();
  EVP_CIPHER_CTX* dec = EVP_CIPHER_CTX_new();
  if (!aes || !enc || !dec || EVP_EncryptInit_ex2(enc, aes, key.data(), nullptr, nullptr) != 1 ||
      EVP_DecryptInit_ex2(dec, aes, key.data(), nullptr, nullptr) != 1) {
    state.SkipWithError("EVP set-up failed");
    return;
  }
  std::uint64_t counter = 0;
  int len = 0;
  for (auto _ : state) {
    ++counter;
    for (int i = 0; i < 8; ++i) nonce[4 + i] = std::uint8_t(counter >> (8 * i));
    EVP_EncryptInit_ex2(enc, nullptr, nullptr, nonce, nullptr);
    EVP_EncryptUpdate(enc, nullptr, &len, aad.data(), int(aad.size()));
    EVP_EncryptUpdate(enc, cipher.data(), &len, plain.data(), int(plain.size()));
    EVP_EncryptFinal_ex(enc, rest, &len);
    OSSL_PARAM get[] = {OSSL_PARAM_construct_octet_string(OSSL_CIPHER_PARAM_AEAD_TAG, tag, 16),
                        OSSL_PARAM_construct_end()};
    EVP_CIPHER_CTX_get_params(enc, get);

    EVP_DecryptInit_ex2(dec, nullptr, nullptr, nonce, nullptr);
    EVP_DecryptUpdate(dec, nullptr, &len, aad.data(), int(aad.size()));
    EVP_DecryptUpdate(dec, back.data(), &len, cipher.data(), int(cipher.size()));
    OSSL_PARAM set[] = {OSSL_PARAM_construct_octet_string(OSSL_CIPHER_PARAM_AEAD_TAG, tag, 16),
                        OSSL_PARAM_construct_end()};
    EVP_CIPHER_CTX_set_params(dec, set);
    if (EVP_DecryptFinal_ex(dec, rest, &len) != 1) state.SkipWithError("tag rejected");
    benchmark::DoNotOptimize(back.data());
  }
  EVP_CIPHER_CTX_free(enc);
  EVP_CIPHER_CTX_free(dec);
  EVP_CIPHER_free(aes);
  state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(kPacket));
}
BENCHMARK(BM_RawEvpAes256Gcm);

// Seal and Open of one packet per iteration, buffers reused.
void BM_SealOpen(benchmark::State& state) {
  TBytes k1 = RandomBytes(32), k2 = RandomBytes(32);
  TSecureChannel a(kPeerPacketType, k1, k2, 3, 4), b(kPeerPacketType, k2, k1, 4, 3);
  TBytes plain(kPacket, 0x5A), packet, back;
  for (auto _ : state) {
    a.Seal(plain, packet);
    if (!b.Open(packet, back)) state.SkipWithError("packet rejected");
    benchmark::DoNotOptimize(back.data());
  }
  state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(kPacket));
}
BENCHMARK(BM_SealOpen);

// The same with Seal returning a fresh packet each time, as most callers use it.
void BM_SealOpenFreshPacket(benchmark::State& state) {
  TBytes k1 = RandomBytes(32), k2 = RandomBytes(32);
  TSecureChannel a(kPeerPacketType, k1, k2, 3, 4), b(kPeerPacketType, k2, k1, 4, 3);
  TBytes plain(kPacket, 0x5A), back;
  for (auto _ : state) {
    TBytes packet = a.Seal(plain);
    if (!b.Open(packet, back)) state.SkipWithError("packet rejected");
    benchmark::DoNotOptimize(back.data());
  }
  state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(kPacket));
}
BENCHMARK(BM_SealOpenFreshPacket);

void BM_EcdhHandshake(benchmark::State& state) {
  TEcdhKey peer;
  for (auto _ : state) {
    TEcdhKey mine;
    TPeerKeys keys = DerivePeerKeys(mine.SharedSecret(peer.Public()), mine.Public(), peer.Public());
    benchmark::DoNotOptimize(keys.SendKey.data());
  }
}
BENCHMARK(BM_EcdhHandshake);

}  // namespace
