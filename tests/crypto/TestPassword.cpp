#include <gtest/gtest.h>

#include "crypto/TovikCrypto.h"
#include "crypto/TovikPassword.h"

using namespace tovik;

namespace {

struct PasswordFixture : ::testing::Test {
  // One verifier for the whole suite: PBKDF2 at the real work factor is what the test is about.
  static inline TPasswordVerifier Verifier = MakePasswordVerifier("correct horse", kPasswordMinIterations);
  TBytes HostKey = TBytes(64, 0x11), ViewerKey = TBytes(64, 0x22);
  TBytes Binding = PeerKeyBinding(HostKey, ViewerKey);
};

}  // namespace

TEST_F(PasswordFixture, OnlyTheRightPasswordForThisChallengeAndLinkPasses) {
  const TPasswordChallenge c = MakePasswordChallenge(Verifier);
  // Both ends order the keys the same way.
  EXPECT_EQ(PeerKeyBinding(ViewerKey, HostKey), Binding);
  EXPECT_TRUE(CheckPasswordProof(Verifier, c, Binding, MakePasswordProof("correct horse", c, Binding)));

  TPasswordChallenge other = MakePasswordChallenge(Verifier);
  const TBytes relayKey(64, 0x33);
  TBytes fromVerifier = Verifier.StoredKey;  // someone who read the settings file, not the password
  struct Case {
    const char* What;
    TBytes Proof;
  } cases[] = {
      {"wrong password", MakePasswordProof("correct horsE", c, Binding)},
      {"proof for another challenge (replay)", MakePasswordProof("correct horse", other, Binding)},
      {"proof made on a link with a key the relay put in", MakePasswordProof("correct horse", c, PeerKeyBinding(HostKey, relayKey))},
      {"stored key used as the answer", fromVerifier},
      {"short proof", TBytes(16, 0)},
      {"empty proof", TBytes{}},
  };
  for (const auto& k : cases) EXPECT_FALSE(CheckPasswordProof(Verifier, c, Binding, k.Proof)) << k.What;
}

TEST(Password, VerifierTextRoundTripsAndDamageIsRefused) {
  const TPasswordVerifier v{TBytes(16, 0xAB), 250000, TBytes(32, 0xCD)};
  const std::string text = FormatPasswordVerifier(v);
  EXPECT_EQ(text.rfind("pbkdf2-sha256:250000:", 0), 0u) << text;
  EXPECT_EQ(text.find("correct"), std::string::npos);
  auto back = ParsePasswordVerifier(text);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->Salt, v.Salt);
  EXPECT_EQ(back->Iterations, v.Iterations);
  EXPECT_EQ(back->StoredKey, v.StoredKey);

  const std::string salt(32, 'A'), key(64, 'B');
  for (const std::string& bad : {
           std::string(""),
           "pbkdf2-sha1:250000:" + salt + ":" + key,
           "pbkdf2-sha256:1000:" + salt + ":" + key,       // too little work
           "pbkdf2-sha256:99999999:" + salt + ":" + key,   // more than a helper will compute
           "pbkdf2-sha256:+250000:" + salt + ":" + key,
           "pbkdf2-sha256:250000x:" + salt + ":" + key,
           "pbkdf2-sha256:250000:" + salt.substr(2) + ":" + key,  // salt too short
           "pbkdf2-sha256:250000:" + salt + ":" + key.substr(2),
           "pbkdf2-sha256:250000:" + salt + ":" + key + ":",
           "pbkdf2-sha256:250000:" + salt,
       })
    EXPECT_FALSE(ParsePasswordVerifier(bad)) << bad;
}

TEST(Password, ChallengeFromThePeerIsBounded) {
  const TPasswordChallenge c{TBytes(16, 1), 210000, TBytes(32, 2)};
  const TBytes body = EncodePasswordChallenge(c);
  auto back = DecodePasswordChallenge(body);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->Salt, c.Salt);
  EXPECT_EQ(back->Nonce, c.Nonce);
  EXPECT_EQ(back->Iterations, c.Iterations);

  auto with = [](std::uint32_t iter, std::size_t salt, std::size_t nonce) {
    return EncodePasswordChallenge(TPasswordChallenge{TBytes(salt, 1), iter, TBytes(nonce, 2)});
  };
  struct Case {
    const char* What;
    TBytes Body;
  } cases[] = {
      {"empty", {}},
      {"header only", TBytes(5, 0)},
      {"too few iterations", with(1000, 16, 32)},
      {"iterations that would stall the helper", with(0xFFFFFFFF, 16, 32)},
      {"salt too short", with(210000, 4, 32)},
      {"salt too long", with(210000, 65, 32)},
      {"nonce short", with(210000, 16, 31)},
      {"trailing bytes", with(210000, 16, 33)},
  };
  for (const auto& k : cases) EXPECT_FALSE(DecodePasswordChallenge(k.Body)) << k.What;
}

TEST(Password, LengthCountsCharactersNotBytes) {
  struct Case {
    const char* Text;
    bool Ok;
  } cases[] = {
      {"1234567", false},
      {"12345678", true},
      {"\xC3\xA4\xC3\xA4\xC3\xA4\xC3\xA4", false},  // four characters in eight bytes
      {"\xC3\xA4\xC3\xA4\xC3\xA4\xC3\xA4\xC3\xA4\xC3\xA4\xC3\xA4\xC3\xA4", true},
      {"1234567\xFF", false},  // not UTF-8
  };
  for (const auto& k : cases) EXPECT_EQ(PasswordLongEnough(k.Text), k.Ok) << k.Text;
}
