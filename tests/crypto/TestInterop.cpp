// Interoperability with an independent implementation: the openssl command line computes ECDH
// secrets and makes and checks ECDSA signatures on the same keys.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "crypto/TovikCrypto.h"

namespace tovik {
namespace {

namespace fs = std::filesystem;

// SubjectPublicKeyInfo of a P-256 key, up to the 0x04 point prefix.
const TBytes kSpkiPrefix = HexToBytes("3059301306072A8648CE3D020106082A8648CE3D030107034200");

class OpensslCli : public ::testing::Test {
protected:
  void SetUp() override {
    Dir = fs::temp_directory_path() / ("tovik-crypto-" + std::to_string(::getpid()) + "-" +
                                       ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(Dir);
  }
  void TearDown() override { fs::remove_all(Dir); }

  std::string P(const std::string& name) const { return (Dir / name).string(); }

  int Run(const std::string& args) const {
    std::string cmd = "openssl " + args + " >" + P("out.txt") + " 2>&1";
    return std::system(cmd.c_str());
  }
  void Write(const std::string& name, TByteView data) const {
    std::ofstream f(P(name), std::ios::binary);
    f.write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
  }
  TBytes Read(const std::string& name) const {
    std::ifstream f(P(name), std::ios::binary);
    return TBytes(std::istreambuf_iterator<char>(f), {});
  }
  // Generates a P-256 key with the command line; returns its 64-byte public key.
  TBytes NewCliKey(const std::string& name) const {
    EXPECT_EQ(Run("ecparam -name prime256v1 -genkey -noout -out " + P(name + ".pem")), 0);
    EXPECT_EQ(Run("ec -in " + P(name + ".pem") + " -pubout -outform DER -out " + P(name + ".pub")), 0);
    TBytes der = Read(name + ".pub");
    return der.size() >= 64 ? TBytes(der.end() - 64, der.end()) : TBytes{};
  }
  void WritePublic(const std::string& name, TByteView key) const {
    Write(name, JoinBytes({kSpkiPrefix, TBytes{0x04}, key}));
  }

  fs::path Dir;
};

// r||s to a DER ECDSA-Sig-Value and back.
TBytes DerInteger(TByteView v) {
  std::size_t i = 0;
  while (i + 1 < v.size() && v[i] == 0) ++i;
  TBytes out{0x02};
  bool pad = v[i] & 0x80;
  out.push_back(std::uint8_t(v.size() - i + (pad ? 1 : 0)));
  if (pad) out.push_back(0);
  out.insert(out.end(), v.begin() + std::ptrdiff_t(i), v.end());
  return out;
}
TBytes SigToDer(TByteView rs) {
  TBytes body = JoinBytes({DerInteger(rs.first(32)), DerInteger(rs.last(32))});
  TBytes out{0x30, std::uint8_t(body.size())};
  return JoinBytes({out, body});
}
TBytes DerToSig(TByteView der) {
  TBytes out;
  std::size_t at = 2;
  for (int k = 0; k < 2 && at + 2 <= der.size(); ++k) {
    std::size_t len = der[at + 1];
    TByteView v = der.subspan(at + 2, len);
    while (v.size() > 32 && v[0] == 0) v = v.subspan(1);
    out.insert(out.end(), 32 - v.size(), 0);
    out.insert(out.end(), v.begin(), v.end());
    at += 2 + len;
  }
  return out;
}

TEST_F(OpensslCli, EcdhSecretMatches) {
  TBytes cliPublic = NewCliKey("b");
  ASSERT_EQ(cliPublic.size(), 64u);
  TEcdhKey ours;
  WritePublic("a.der", ours.Public());
  ASSERT_EQ(Run("pkeyutl -derive -inkey " + P("b.pem") + " -peerkey " + P("a.der") +
                " -peerform DER -out " + P("z.bin")),
            0);
  EXPECT_EQ(ours.SharedSecret(cliPublic), Read("z.bin"));
}

TEST_F(OpensslCli, EcdsaSignaturesVerifyBothWays) {
  TBytes data = Utf8Bytes("TOVIKUPDATE1|412|1000|abc|https://example.invalid/t");
  Write("data.bin", data);

  // Ours, checked by the command line.
  TEcdsaKey ours = TEcdsaKey::CreateNew();
  WritePublic("ours.der", ours.Public());
  Write("ours.sig", SigToDer(ours.Sign(data)));
  EXPECT_EQ(Run("dgst -sha256 -verify " + P("ours.der") + " -keyform DER -signature " +
                P("ours.sig") + " " + P("data.bin")),
            0);
  Write("other.bin", Utf8Bytes("something else"));
  EXPECT_NE(Run("dgst -sha256 -verify " + P("ours.der") + " -keyform DER -signature " +
                P("ours.sig") + " " + P("other.bin")),
            0);

  // The command line's, checked by us.
  TBytes cliPublic = NewCliKey("c");
  ASSERT_EQ(Run("dgst -sha256 -sign " + P("c.pem") + " -out " + P("c.sig") + " " + P("data.bin")), 0);
  TBytes sig = DerToSig(Read("c.sig"));
  ASSERT_EQ(sig.size(), 64u);
  TEcdsaKey verifier = TEcdsaKey::CreateFromPublic(cliPublic);
  EXPECT_TRUE(verifier.Verify(data, sig));
  EXPECT_FALSE(verifier.Verify(Utf8Bytes("something else"), sig));
}

TEST_F(OpensslCli, PrivateBlobOfForeignKeySignsForIt) {
  TBytes cliPublic = NewCliKey("k");
  ASSERT_EQ(Run("ec -in " + P("k.pem") + " -outform DER -out " + P("k.der")), 0);
  TBytes sec1 = Read("k.der");  // ECPrivateKey: 30 77 02 01 01 04 20 <d>
  ASSERT_GE(sec1.size(), 39u);
  ASSERT_EQ(sec1[5], 0x04);
  ASSERT_EQ(sec1[6], 0x20);
  TBytes blob = JoinBytes({Utf8Bytes("ECS2"), TBytes{32, 0, 0, 0}, cliPublic,
                           TBytes(sec1.begin() + 7, sec1.begin() + 39)});
  TEcdsaKey key = TEcdsaKey::CreateFromPrivateBlob(blob);
  EXPECT_EQ(key.Public(), cliPublic);
  EXPECT_EQ(key.PrivateBlob(), blob);
  TBytes data = Utf8Bytes("signed with an imported key");
  Write("data.bin", data);
  Write("k.sig", SigToDer(key.Sign(data)));
  EXPECT_EQ(Run("dgst -sha256 -verify " + P("k.pub") + " -keyform DER -signature " + P("k.sig") +
                " " + P("data.bin")),
            0);
}

}  // namespace
}  // namespace tovik
