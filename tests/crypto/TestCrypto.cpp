// Primitives: known-answer vectors, size errors, tampering and key import checks.
#include <gmock/gmock.h>
#include <algorithm>
#include <functional>
#include <gtest/gtest.h>

#include "crypto/TovikCrypto.h"

namespace tovik {
namespace {

using ::testing::MatchesRegex;

TBytes H(std::string_view hex) { return HexToBytes(hex); }

std::string ErrorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const ETovikCrypto& e) {
    return e.what();
  }
  return "(no error)";
}

TEST(CryptoHex, ConvertsBothWays) {
  struct Case {
    std::string_view Text;
    TBytes Bytes;
  };
  for (const Case& c : {Case{"0a0B", {0x0A, 0x0B}}, Case{"", {}}, Case{"0a0", {}}, Case{"0g", {}},
                        Case{"zz", {}}, Case{" 0a", {}}})
    EXPECT_EQ(HexToBytes(c.Text), c.Bytes) << c.Text;
  EXPECT_EQ(BytesToHex(TBytes{}), "");
  EXPECT_EQ(BytesToHex(TBytes{0x0A, 0xFF}), "0AFF");
}

TEST(CryptoBytes, CompareAndSame) {
  EXPECT_LT(CompareBytes(H("0102"), H("010200")), 0);
  EXPECT_GT(CompareBytes(H("010200"), H("0102")), 0);
  EXPECT_LT(CompareBytes(H("01FF"), H("02")), 0);
  EXPECT_EQ(CompareBytes(H("01FF"), H("01FE")), 1);
  EXPECT_EQ(CompareBytes(H("0102"), H("0102")), 0);
  EXPECT_EQ(CompareBytes(TBytes{}, TBytes{}), 0);
  EXPECT_TRUE(SameBytes(TBytes{}, TBytes{}));
  EXPECT_FALSE(SameBytes(H("01"), H("0100")));
  EXPECT_EQ(JoinBytes({H("01"), TBytes{}, H("0203")}), H("010203"));
}

TEST(CryptoHash, KnownAnswers) {
  EXPECT_EQ(BytesToHex(Sha256(Utf8Bytes("abc"))),
            "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD");
  EXPECT_EQ(BytesToHex(Sha256(TBytes{})),
            "E3B0C44298FC1C149AFBF4C8996FB92427AE41E4649B934CA495991B7852B855");
  // RFC 4231 test case 2.
  EXPECT_EQ(BytesToHex(HmacSha256(Utf8Bytes("Jefe"), Utf8Bytes("what do ya want for nothing?"))),
            "5BDCC146BF60754E6A042426089575C75A003F089D2739839DEC58B964EC3843");
  EXPECT_EQ(HmacSha256(TBytes{}, Utf8Bytes("m")), HmacSha256(TBytes(32, 0), Utf8Bytes("m")));
  // PBKDF2-HMAC-SHA-256 ("password", "salt").
  EXPECT_EQ(BytesToHex(Pbkdf2Sha256("password", Utf8Bytes("salt"), 1, 32)),
            "120FB6CFFCF8B32C43E7225256C4F837A86548C92CCC35480805987CB70BE17B");
  EXPECT_EQ(BytesToHex(Pbkdf2Sha256("password", Utf8Bytes("salt"), 2, 32)),
            "AE4D0C95AF6B46D32D0ADFF928F06DD02A303F8EF3C251DFD6E2D85A95474C43");
}

TEST(CryptoHkdf, Rfc5869Sha256Vectors) {
  struct Case {
    TBytes Ikm, Salt, Info;
    int Length;
    std::string_view Okm;
  };
  TBytes longIkm, longSalt, longInfo;
  for (int i = 0; i < 80; ++i) {
    longIkm.push_back(std::uint8_t(i));
    longSalt.push_back(std::uint8_t(0x60 + i));
    longInfo.push_back(std::uint8_t(0xB0 + i));
  }
  const Case cases[] = {
      {TBytes(22, 0x0B), H("000102030405060708090a0b0c"), H("f0f1f2f3f4f5f6f7f8f9"), 42,
       "3CB25F25FAACD57A90434F64D0362F2A2D2D0A90CF1A5A4C5DB02D56ECC4C5BF34007208D5B887185865"},
      {longIkm, longSalt, longInfo, 82,
       "B11E398DC80327A1C8E7F78C596A49344F012EDA2D4EFAD8A050CC4C19AFA97C59045A99CAC7827271CB41C65E"
       "590E09DA3275600C2F09B8367793A9ACA3DB71CC30C58179EC3E87C14C01D5C1F3434F1D87"},
      {TBytes(22, 0x0B), TBytes{}, TBytes{}, 42,
       "8DA4E775A563C18F715F802A063C5A31B8A11F5C5EE1879EC3454E5F3C738D2D9D201395FAA4B61A96C8"},
  };
  for (const Case& c : cases) EXPECT_EQ(BytesToHex(HkdfSha256(c.Salt, c.Ikm, c.Info, c.Length)), c.Okm);
  EXPECT_TRUE(HkdfSha256(TBytes{}, TBytes(22, 1), TBytes{}, 0).empty());
  EXPECT_EQ(ErrorOf([] { HkdfSha256(TBytes{}, TBytes(22, 1), TBytes{}, 255 * 32 + 1); }),
            "HKDF output too long");
}

TEST(CryptoRandom, SizesAndFingerprint) {
  EXPECT_TRUE(RandomBytes(0).empty());
  EXPECT_TRUE(RandomBytes(-5).empty());
  EXPECT_EQ(RandomBytes(16).size(), 16u);
  EXPECT_NE(RandomBytes(16), RandomBytes(16));
  EXPECT_EQ(KeyFingerprint(TBytes{}), "(none)");
  // SHA-256("abc") begins BA7816BF8F01CFEA.
  EXPECT_EQ(KeyFingerprint(Utf8Bytes("abc")), "BA78 16BF 8F01 CFEA");
}

TEST(CryptoGcm, KnownAnswerAndRoundTrip) {
  // AES-256-GCM, zero key and nonce, one zero block (McGrew and Viega, test case 14).
  TGcmKey zero(TBytes(32, 0));
  TBytes tag;
  TBytes cipher = zero.Encrypt(TBytes(12, 0), TBytes{}, TBytes(16, 0), tag);
  EXPECT_EQ(BytesToHex(cipher), "CEA7403D4D606B6E074EC5D3BAF39D18");
  EXPECT_EQ(BytesToHex(tag), "D0D1C8A799996BF0265B98B5D48AB919");

  TGcmKey key(RandomBytes(32));
  TBytes nonce = RandomBytes(12), aad = Utf8Bytes("header"), plain = Utf8Bytes("some plain text");
  cipher = key.Encrypt(nonce, aad, plain, tag);
  ASSERT_EQ(cipher.size(), plain.size());
  ASSERT_EQ(tag.size(), 16u);
  TBytes out;
  ASSERT_TRUE(key.Decrypt(nonce, aad, cipher, tag, out));
  EXPECT_EQ(out, plain);
  // Empty plaintext and a nonce of another length still work.
  TBytes emptyTag;
  TBytes emptyCipher = key.Encrypt(TBytes(16, 3), aad, TBytes{}, emptyTag);
  EXPECT_TRUE(emptyCipher.empty());
  EXPECT_TRUE(key.Decrypt(TBytes(16, 3), aad, emptyCipher, emptyTag, out));
  EXPECT_TRUE(key.Decrypt(nonce, aad, cipher, tag, out));  // back to 12 bytes
}

TEST(CryptoGcm, RejectsTamperingAndBadSizes) {
  TGcmKey key(RandomBytes(32));
  TBytes nonce = RandomBytes(12), aad = Utf8Bytes("aad"), tag;
  TBytes cipher = key.Encrypt(nonce, aad, Utf8Bytes("plaintext"), tag);
  auto flip = [](TBytes b, std::size_t i) { b[i] ^= 1; return b; };
  struct Case {
    const char* What;
    TBytes Nonce, Aad, Cipher, Tag;
  };
  const Case cases[] = {
      {"cipher", nonce, aad, flip(cipher, 3), tag},  {"aad", nonce, flip(aad, 0), cipher, tag},
      {"tag", nonce, aad, cipher, flip(tag, 15)},    {"nonce", flip(nonce, 11), aad, cipher, tag},
      {"short tag", nonce, aad, cipher, TBytes(tag.begin(), tag.end() - 1)},
  };
  for (const Case& c : cases) {
    TBytes out = Utf8Bytes("stale");
    EXPECT_FALSE(key.Decrypt(c.Nonce, c.Aad, c.Cipher, c.Tag, out)) << c.What;
    EXPECT_TRUE(out.empty()) << c.What;
  }
  EXPECT_EQ(ErrorOf([] { TGcmKey k(TBytes(16, 1)); }), "AES-256 needs a 32-byte key");
}

TEST(CryptoEcdh, AgreesAndChecksPeerKeys) {
  TEcdhKey a, b;
  ASSERT_EQ(a.Public().size(), 64u);
  TBytes za = a.SharedSecret(b.Public());
  EXPECT_EQ(za.size(), 32u);
  EXPECT_EQ(za, b.SharedSecret(a.Public()));

  TBytes offCurve = b.Public();
  offCurve[63] ^= 1;
  struct Case {
    TBytes Key;
    std::string Error;
  };
  const Case cases[] = {
      {TBytes(b.Public().begin(), b.Public().end() - 1), "Public key must be 64 bytes"},
      {TBytes(65, 1), "Public key must be 64 bytes"},
      {TBytes{}, "Public key must be 64 bytes"},
      {offCurve, "Importing public key failed \\(0x[0-9A-F]{8}\\)"},
      {TBytes(64, 0), "Importing public key failed \\(0x[0-9A-F]{8}\\)"},
  };
  for (const Case& c : cases)
    EXPECT_THAT(ErrorOf([&] { a.SharedSecret(c.Key); }), MatchesRegex(c.Error));
}

TEST(CryptoEcdsa, SignsVerifiesAndRejects) {
  TEcdsaKey key = TEcdsaKey::CreateNew();
  TBytes data = Utf8Bytes("data to sign");
  TBytes sig = key.Sign(data);
  ASSERT_EQ(sig.size(), 64u);
  TEcdsaKey verifier = TEcdsaKey::CreateFromPublic(key.Public());
  EXPECT_FALSE(verifier.HasPrivate());
  EXPECT_TRUE(verifier.Verify(data, sig));
  EXPECT_FALSE(verifier.Verify(Utf8Bytes("other data"), sig));
  TBytes bad = sig;
  bad[40] ^= 0x80;
  EXPECT_FALSE(verifier.Verify(data, bad));
  EXPECT_FALSE(verifier.Verify(data, TBytes(sig.begin(), sig.end() - 1)));
  TBytes longer = sig;
  longer.push_back(0);
  EXPECT_FALSE(verifier.Verify(data, longer));
  EXPECT_FALSE(verifier.Verify(data, TBytes(64, 0)));
  EXPECT_FALSE(verifier.Verify(data, TBytes(64, 0xFF)));
  EXPECT_THAT(ErrorOf([&] { verifier.Sign(data); }), MatchesRegex(".* failed \\(0x[0-9A-F]{8}\\)"));
  EXPECT_THAT(ErrorOf([&] { verifier.PrivateBlob(); }), MatchesRegex(".* failed \\(0x[0-9A-F]{8}\\)"));
}

TEST(CryptoEcdsa, PrivateBlobRoundTripAndDamage) {
  TEcdsaKey key = TEcdsaKey::CreateNew();
  TBytes blob = key.PrivateBlob();
  ASSERT_EQ(blob.size(), 104u);
  EXPECT_EQ(StringOf(TByteView(blob).first(4)), "ECS2");
  TEcdsaKey back = TEcdsaKey::CreateFromPrivateBlob(blob);
  EXPECT_EQ(back.Public(), key.Public());
  EXPECT_TRUE(key.Verify(Utf8Bytes("x"), back.Sign(Utf8Bytes("x"))));

  auto flip = [&](std::size_t i) { TBytes b = blob; b[i] ^= 1; return b; };
  TBytes zeroScalar = blob;
  std::fill(zeroScalar.begin() + 72, zeroScalar.end(), 0);
  const TBytes damaged[] = {
      TBytes{},         TBytes(7, 0),  TBytes(blob.begin(), blob.end() - 1),
      flip(0),          flip(4),       flip(10) /* X: off the curve */,
      flip(103) /* d no longer matches X||Y */, zeroScalar,
  };
  for (const TBytes& b : damaged)
    EXPECT_EQ(ErrorOf([&] { TEcdsaKey::CreateFromPrivateBlob(b); }), "Key file is damaged")
        << BytesToHex(b);
}

}  // namespace
}  // namespace tovik
