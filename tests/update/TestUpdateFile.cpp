// Update file: format rules, signature check and the reasons given for refusal.
#include <gtest/gtest.h>

#include "crypto/TovikCrypto.h"
#include "update/TovikUpdateFile.h"

namespace tovik {
namespace {

const std::string kSha = std::string(64, 'a');

class UpdateFile : public ::testing::Test {
protected:
  // A vendor key pair made for the test; the program's own key is a build setting.
  TEcdsaKey Vendor = TEcdsaKey::CreateNew();

  std::string Sig(const TUpdateInfo& info, const TEcdsaKey& key) {
    return BytesToHex(key.Sign(Utf8Bytes(UpdateSignedMessage(info))));
  }
  // A signed file over the given lines (joined with AEol), signature appended.
  std::string File(const std::string& body, const TUpdateInfo& signedInfo, const std::string& eol = "\r\n") {
    return "TOVIKUPDATE1" + eol + body + "sig=" + Sig(signedInfo, Vendor) + eol;
  }
  static TUpdateInfo Info(int build = 412, std::int64_t size = 123456, std::string sha = kSha,
                          std::string url = "https://example.invalid/Tovik") {
    return TUpdateInfo{build, size, sha, url};
  }
  static std::string Body(const std::string& eol = "\r\n") {
    return "build=412" + eol + "size=123456" + eol + "sha256=" + kSha + eol +
           "url=https://example.invalid/Tovik" + eol;
  }
  bool Parse(const std::string& text) { return ParseUpdateFile(text, Vendor.Public(), Result, Reason); }

  TUpdateInfo Result;
  std::string Reason;
};

TEST_F(UpdateFile, AcceptsSignedFileWithAnyLineEnd) {
  for (std::string eol : {"\r\n", "\n", "\r"}) {
    ASSERT_TRUE(Parse(File(Body(eol), Info(), eol))) << Reason;
    EXPECT_EQ(Result.Build, 412);
    EXPECT_EQ(Result.Size, 123456);
    EXPECT_EQ(Result.Sha256, kSha);
    EXPECT_EQ(Result.Url, "https://example.invalid/Tovik");
    EXPECT_EQ(Reason, "");
  }
  EXPECT_EQ(UpdateSignedMessage(Info()),
            "TOVIKUPDATE1|412|123456|" + kSha + "|https://example.invalid/Tovik");
}

TEST_F(UpdateFile, ValueRules) {
  const std::string upperSha(64, 'A');
  struct Case {
    const char* What;
    std::string Text;
    bool Ok;
    int Build;
  };
  const Case cases[] = {
      {"blanks around the magic and values",
       "  TOVIKUPDATE1 \r\nbuild= 412\t\r\nsize=123456 \r\nsha256=" + kSha +
           "\r\nurl= https://example.invalid/Tovik\r\nsig=" + Sig(Info(), Vendor),
       true, 412},
      {"names in any case, unknown lines ignored",
       "TOVIKUPDATE1\nBUILD=412\nSize=123456\nnote=hello\njust text\nSHA256=" + kSha +
           "\nURL=https://example.invalid/Tovik\nSIG=" + AsciiLower(Sig(Info(), Vendor)),
       true, 412},
      {"the first line with a name wins", "TOVIKUPDATE1\nbuild=412\nbuild=999\n" +
                                              Body("\n").substr(10) + "sig=" + Sig(Info(), Vendor),
       true, 412},
      {"upper-case sha256 is signed in lower case",
       "TOVIKUPDATE1\nbuild=412\nsize=123456\nsha256=" + upperSha +
           "\nurl=https://example.invalid/Tovik\nsig=" + Sig(Info(412, 123456, std::string(64, 'a')), Vendor),
       true, 412},
      {"HTTPS in capitals", "TOVIKUPDATE1\nbuild=412\nsize=123456\nsha256=" + kSha +
                                "\nurl=HTTPS://example.invalid/Tovik\nsig=" +
                                Sig(Info(412, 123456, kSha, "HTTPS://example.invalid/Tovik"), Vendor),
       true, 412},
      {"leading zeros are not signed", "TOVIKUPDATE1\nbuild=0412\n" + Body("\n").substr(10) +
                                           "sig=" + Sig(Info(), Vendor),
       true, 412},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Parse(c.Text), c.Ok) << c.What << ": " << Reason;
    EXPECT_EQ(Result.Build, c.Build) << c.What;
  }
  ASSERT_TRUE(Parse(cases[3].Text));
  EXPECT_EQ(Result.Sha256, kSha);
}

TEST_F(UpdateFile, RefusalReasons) {
  const std::string notTovik = "not a Tovik update file", incomplete = "the update file is incomplete",
                    unsigned_ = "the update file is not signed",
                    invalid = "the signature of the update file is not valid";
  auto replace = [](std::string text, const std::string& from, const std::string& to) {
    return text.replace(text.find(from), from.size(), to);
  };
  const std::string sig = Sig(Info(), Vendor);  // signatures are randomised: make it once
  const std::string good = "TOVIKUPDATE1\r\n" + Body() + "sig=" + sig + "\r\n";
  TEcdsaKey other = TEcdsaKey::CreateNew();
  struct Case {
    const char* What;
    std::string Text;
    std::string Reason;
  };
  const Case cases[] = {
      {"empty", "", notTovik},
      {"magic in lower case", replace(good, "TOVIKUPDATE1", "tovikupdate1"), notTovik},
      {"magic not on line 1", "\r\n" + good, notTovik},
      {"other magic", replace(good, "TOVIKUPDATE1", "TOVIKUPDATE2"), notTovik},
      {"plain http url", replace(good, "https://", "http://"), incomplete},
      {"space before equals", replace(good, "build=", "build ="), incomplete},
      {"build 0", replace(good, "build=412", "build=0"), incomplete},
      {"negative build", replace(good, "build=412", "build=-412"), incomplete},
      {"build not a number", replace(good, "build=412", "build=4x2"), incomplete},
      {"build too large", replace(good, "build=412", "build=99999999999"), incomplete},
      {"size 0", replace(good, "size=123456", "size=0"), incomplete},
      {"size too large", replace(good, "size=123456", "size=99999999999999999999"), incomplete},
      {"sha256 of 63 characters", replace(good, kSha, kSha.substr(1)), incomplete},
      {"missing url", replace(good, "url=", "link="), incomplete},
      {"no sig", replace(good, "sig=", "signature="), unsigned_},
      {"sig of 127 digits", replace(good, sig, sig.substr(1)), unsigned_},
      {"sig not hexadecimal", replace(good, sig, "X" + sig.substr(1)), unsigned_},
      {"sig of 130 digits", replace(good, sig, sig + "00"), invalid},
      {"sig of 126 digits", replace(good, sig, sig.substr(2)), invalid},
      {"signed by another key", replace(good, sig, Sig(Info(), other)), invalid},
      {"url changed after signing", replace(good, "Tovik\r\n", "Tovix\r\n"), invalid},
      {"size changed after signing", replace(good, "size=123456", "size=123457"), invalid},
  };
  for (const Case& c : cases) {
    Result = Info(1, 2, "x", "y");
    EXPECT_FALSE(Parse(c.Text)) << c.What;
    EXPECT_EQ(Reason, c.Reason) << c.What;
    EXPECT_EQ(Result.Build, 0) << c.What;  // nothing from a refused file is handed out
    EXPECT_EQ(Result.Url, "") << c.What;
  }
}

TEST_F(UpdateFile, UnusableVendorKeyRefusesEverything) {
  const std::string good = File(Body(), Info());
  for (const TBytes& key : {TBytes{}, TBytes(64, 0), TBytes(63, 1)}) {
    EXPECT_FALSE(ParseUpdateFile(good, key, Result, Reason));
    EXPECT_EQ(Reason, "the signature of the update file is not valid");
  }
  // The built-in key is a build setting: absent, or a 64-byte point.
  TBytes builtIn = BuiltInUpdateKey();
  EXPECT_TRUE(builtIn.empty() || builtIn.size() == 64u);
  EXPECT_FALSE(ParseUpdateFile(good, Result, Reason));  // signed with a test key
}

}  // namespace
}  // namespace tovik
