// The relay's branding: BRAND and LOGO lines with their bounds, the logo checked before it is stored,
// BRAND "-" deleting only our own stored logo, the LOGOGET retries, and a logo fetched from the real
// relay core through the simulator with loss.
#include <gtest/gtest.h>

#include <map>

#include "app/TovikServerBrand.h"
#include "crypto/TovikCrypto.h"
#include "sim/TovikSimClient.h"
#include "sim/TovikSimRelayCore.h"

namespace tovik {
namespace {

// A PNG header saying AW x AH, followed by filler bytes (nothing here decodes it).
TBytes FakePng(std::uint32_t AW, std::uint32_t AH, std::size_t ATotal = 64) {
  TBytes b = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 0, 0, 0, 13, 'I', 'H', 'D', 'R'};
  for (std::uint32_t v : {AW, AH})
    for (int s = 24; s >= 0; s -= 8) b.push_back(static_cast<std::uint8_t>(v >> s));
  while (b.size() < ATotal) b.push_back(static_cast<std::uint8_t>(b.size() * 7));
  return b;
}

TEST(ServerBrand, PictureSizeComesFromTheHeaderAlone) {
  EXPECT_EQ(PictureHeaderSize(FakePng(300, 200))->W, 300);
  EXPECT_EQ(PictureHeaderSize(FakePng(300, 200))->H, 200);
  // JPEG: SOI, an APP0 segment, then SOF0 with height 480 and width 640.
  const TBytes jpeg = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x04, 0x00, 0x00, 0xFF, 0xC0, 0x00, 0x11,
                       0x08, 0x01, 0xE0, 0x02, 0x80, 0x03, 0x01, 0x11, 0x00};
  ASSERT_TRUE(PictureHeaderSize(jpeg));
  EXPECT_EQ(PictureHeaderSize(jpeg)->W, 640);
  EXPECT_EQ(PictureHeaderSize(jpeg)->H, 480);
  for (const TBytes& bad : {TBytes{}, TBytes{0xFF, 0xD8}, TBytes(jpeg.begin(), jpeg.begin() + 12),
                            TBytes{0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x00}, FakePng(0, 5), TBytes(40, 'x')})
    EXPECT_FALSE(PictureHeaderSize(bad));
}

TEST(ServerBrand, NamesLoseControlCharactersAndStopAt64Characters) {
  EXPECT_EQ(CleanBrandName("  Acme\tHelp\x1b[31m \xC2\x85"), "AcmeHelp[31m");
  EXPECT_EQ(CleanBrandName(std::string(100, 'a')), std::string(64, 'a'));
  EXPECT_EQ(Utf8Length(CleanBrandName(std::string(40, 'a') + std::string(30, '\xC3') )), 64u);
  EXPECT_EQ(CleanBrandName("\xC3\xA9t\xC3\xA9"), "\xC3\xA9t\xC3\xA9");
}

struct TMemFiles final : IBrandFiles {
  std::map<std::string, TBytes> Files;
  std::string WriteError;
  bool Exists(const std::string& p) const override { return Files.count(p) != 0; }
  std::string Write(const std::string& p, TByteView d) override {
    if (!WriteError.empty()) return WriteError;
    Files[p] = TBytes(d.begin(), d.end());
    return {};
  }
  void Remove(const std::string& p) override { Files.erase(p); }
};

struct TMemSettings final : IBrandSettings {
  std::map<std::string, std::string> Keys;
  std::string Read(const std::string& k) const override {
    const auto it = Keys.find(k);
    return it == Keys.end() ? std::string() : it->second;
  }
  void Write(const std::string& k, const std::string& v) override { Keys[k] = v; }
};

const std::string kFolder = "/home/a/.config/Tovik";

class Brand : public ::testing::Test {
 protected:
  Brand()
      : B(Settings, Files, kFolder, [this](std::string_view l) { Logs.emplace_back(l); },
          [this](const std::string& l) { Sent.push_back(l); }) {
    B.OnChanged = [this] { ++Changed; };
  }
  // The BRAND line and the LOGO lines of a logo cut into parts of APartChars.
  static std::vector<std::string> LogoLines(const TBytes& ALogo, std::size_t APartChars, std::string* AHash) {
    const std::string b64 = Base64Encode(ALogo);
    *AHash = BytesToHex(Sha256(ALogo)).substr(0, 16);
    std::vector<std::string> parts;
    for (std::size_t i = 0; i < b64.size(); i += APartChars) parts.push_back(b64.substr(i, APartChars));
    std::vector<std::string> lines;
    for (std::size_t i = 0; i < parts.size(); ++i)
      lines.push_back("LOGO " + *AHash + " " + std::to_string(i) + " " + std::to_string(parts.size()) + " " + parts[i]);
    return lines;
  }
  TMemSettings Settings;
  TMemFiles Files;
  std::vector<std::string> Logs, Sent;
  int Changed = 0;
  TServerBrand B;
};

TEST_F(Brand, ALogoInPartsIsCheckedStoredAndAnnounced) {
  std::string hash;
  const std::vector<std::string> lines = LogoLines(FakePng(64, 64, 3000), 900, &hash);
  B.HandleLine("BRAND " + hash + " " + std::to_string(lines.size()) + " " + Base64Encode(BytesOf("Acme Help")), 1000);
  EXPECT_EQ(Sent, std::vector<std::string>{"LOGOGET"});
  EXPECT_EQ(B.Name(), "Acme Help");
  for (auto it = lines.rbegin(); it != lines.rend(); ++it) B.HandleLine(*it, 1200);  // any order
  const std::string path = kFolder + "/ServerLogo.png";
  EXPECT_TRUE(Files.Exists(path));
  EXPECT_EQ(B.LogoFile(), path);
  EXPECT_EQ(Settings.Read("LogoHash"), hash);
  EXPECT_EQ(Logs, std::vector<std::string>{"Server logo received"});
  EXPECT_FALSE(B.Expecting());
  // The same announcement again: the stored logo is kept, nothing is asked.
  B.HandleLine("BRAND " + hash + " " + std::to_string(lines.size()) + " -", 2000);
  EXPECT_EQ(Sent.size(), 1u);
  EXPECT_EQ(B.Name(), "");
}

// Each bound drops the logo before anything decodes or stores it.
TEST_F(Brand, LogosBeyondTheBoundsAreDropped) {
  struct TCase {
    const char* What;
    TBytes Logo;
    std::size_t PartChars;
  } cases[] = {
      {"too many pixels", FakePng(1025, 10), 900},
      {"a part longer than 2048", FakePng(64, 64, 3000), 2049},
      {"not a picture", TBytes(500, 'x'), 900},
  };
  for (const TCase& c : cases) {
    TMemFiles files;
    TServerBrand b(Settings, files, kFolder, nullptr, nullptr);
    std::string hash;
    const auto lines = LogoLines(c.Logo, c.PartChars, &hash);
    b.HandleLine("BRAND " + hash + " " + std::to_string(lines.size()) + " -", 0);
    for (const auto& l : lines) b.HandleLine(l, 10);
    EXPECT_TRUE(files.Files.empty()) << c.What;
  }
  // A wrong hash, a part count that disagrees, an index out of range.
  std::string hash;
  auto lines = LogoLines(FakePng(8, 8, 100), 900, &hash);
  B.HandleLine("BRAND 0123456789ABCDEF 1 -", 0);
  B.HandleLine("LOGO 0123456789ABCDEF 0 1 " + lines[0].substr(lines[0].rfind(' ') + 1), 10);
  EXPECT_TRUE(Files.Files.empty());
  B.HandleLine("BRAND " + hash + " 1 -", 0);
  B.HandleLine("LOGO " + hash + " 0 2 AAAA", 10);
  B.HandleLine("LOGO " + hash + " 1 1 AAAA", 10);
  EXPECT_TRUE(B.Expecting());
  // 65 parts are never asked for.
  Sent.clear();
  B.HandleLine("BRAND FEDCBA9876543210 65 -", 0);
  EXPECT_TRUE(Sent.empty());
  // A logo over 256 KB, even in parts that are each fine.
  TMemFiles files;
  TServerBrand big(Settings, files, kFolder, nullptr, nullptr);
  const TBytes huge = FakePng(8, 8, kMaxLogoBytes + 1);
  std::string bigHash;
  const auto bigLines = LogoLines(huge, 2048, &bigHash);
  ASSERT_GT(bigLines.size(), 64u);  // cannot even be announced...
  big.HandleLine("BRAND " + bigHash + " 64 -", 0);
  for (std::size_t i = 0; i < 64; ++i) big.HandleLine(bigLines[i], 1);
  EXPECT_TRUE(files.Files.empty());  // ...and 64 parts of it do not make a logo
}

// BRAND "-" forgets the server logo and deletes only our own stored copies, never the path the
// settings file names.
TEST_F(Brand, DashDeletesOnlyOurOwnStoredLogo) {
  const std::string own = kFolder + "/ServerLogo.jpg";
  const std::string elsewhere = "/home/a/precious.jpg";
  Files.Files[own] = {1};
  Files.Files[elsewhere] = {2};
  Settings.Write("LogoFile", elsewhere);
  Settings.Write("Name", "Old");
  B.HandleLine("BRAND - 0 -", 0);
  EXPECT_FALSE(Files.Exists(own));
  EXPECT_TRUE(Files.Exists(elsewhere));
  EXPECT_EQ(Settings.Read("LogoFile"), "");
  EXPECT_EQ(B.Name(), "");
  EXPECT_EQ(Changed, 1);
}

TEST_F(Brand, LogogetIsRetriedEvery5SecondsAtMostThreeTimes) {
  B.HandleLine("BRAND 0123456789ABCDEF 2 -", 0);
  for (TTick t = 1000; t <= 30'000; t += 1000) B.Tick(t);
  EXPECT_EQ(Sent.size(), 3u);
  EXPECT_EQ(B.Requests(), 3);
  EXPECT_FALSE(B.Expecting());
}

TEST_F(Brand, AFailedWriteIsLogged) {
  Files.WriteError = "No space left on device";
  std::string hash;
  const auto lines = LogoLines(FakePng(8, 8, 100), 900, &hash);
  B.HandleLine("BRAND " + hash + " 1 -", 0);
  B.HandleLine(lines[0], 5);
  EXPECT_EQ(Logs, std::vector<std::string>{"Could not save the server logo: No space left on device"});
  EXPECT_EQ(B.LogoFile(), "");
}

// The real relay core announces a logo of several parts; over links that lose 10% of the datagrams the
// logo arrives with at most three LOGOGET, within 3 s of the request that got all its parts. (The relay
// says BRAND once, at the first HELLO; the loss starts once it has arrived.)
TEST(BrandSim, TheLogoArrivesOverALossyLinkWithAtMostThreeRequests) {
  int arrived = 0;
  for (std::uint32_t seed = 1; seed <= 8; ++seed) {
    sim::TSimNet net(seed);
    sim::TSimHost& relayHost = net.AddHost("203.0.113.1");
    net.AddName("relay.test", "203.0.113.1");
    TRelayConfig cfg;
    cfg.BrandName = "Acme Help";
    cfg.Logo = FakePng(128, 64, 2500);  // four parts of 900 characters
    sim::TSimRelayCore relay(net, relayHost, 47800, {}, cfg);
    sim::TSimPC pc(net, net.AddHost("192.0.2.10"), "relay.test", 47800);
    TMemSettings settings;
    TMemFiles files;
    std::vector<TTick> asked;
    TServerBrand brand(settings, files, kFolder, nullptr, [&](const std::string& l) {
      asked.push_back(net.Now());
      pc.C().SendBookCommand(l);
    });
    pc.C().OnBrand = [&](const std::string& l) {
      net.Link.Loss = 0.10;
      brand.HandleLine(l, net.Now());
    };
    pc.Start();
    ASSERT_TRUE(net.RunUntil([&] { return !asked.empty(); }, 20'000)) << seed;
    bool got = false;
    for (int i = 0; i < 20 && !got; ++i) {
      got = net.RunUntil([&] { return !brand.LogoFile().empty(); }, 1000);
      brand.Tick(net.Now());
    }
    EXPECT_LE(asked.size(), 3u) << seed;
    if (!got) continue;  // every request or a part lost three times over
    ++arrived;
    EXPECT_LE(net.Now() - asked.back(), 3000u) << seed;
    EXPECT_EQ(brand.Name(), "Acme Help");
    EXPECT_EQ(files.Files.begin()->second, cfg.Logo);
  }
  // A round trip fails with about 40% here (the request and four parts each lose 10%), and parts
  // from earlier rounds are kept, so three requests bring the logo nearly always.
  EXPECT_GE(arrived, 7);
}

}  // namespace
}  // namespace tovik
