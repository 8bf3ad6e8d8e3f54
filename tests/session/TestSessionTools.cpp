// The session tools on their own: a host's and a viewer's tools joined by two message channels with
// nothing lost, under a manual tick. Chat, clipboard, screens and thumbnails, profile, restart,
// elevation, the history row, and the receiving rules of file transfer.
#include <gtest/gtest.h>
#include <zlib.h>

#include <memory>

#include "crypto/TovikCrypto.h"
#include "session/TovikSessionTools.h"
#include "session/TovikSessionWire.h"
#include "tests/support/SessionFakes.h"
#include "tests/support/ToolsFakes.h"

using namespace tovik;
using namespace tovik::test;

namespace {

struct TSide {
  TMsgChannel Channel;
  std::shared_ptr<TFakeClipboard> Clip = std::make_shared<TFakeClipboard>();
  std::shared_ptr<TFakeToolsWindowState> Window = std::make_shared<TFakeToolsWindowState>();
  std::shared_ptr<TFakeFiles> Files = std::make_shared<TFakeFiles>();
  std::shared_ptr<TFakeRestart> Restart = std::make_shared<TFakeRestart>();
  std::shared_ptr<TFakeHistory> History = std::make_shared<TFakeHistory>();
  std::vector<std::string> Log;
  std::unique_ptr<TSessionTools> Tools;
  std::vector<TChannelMsg> Seen;  // every message delivered to this side
  TFakeDisk& Disk() { return *Files->D; }
  bool SawRefusal(std::uint32_t id) const {
    for (const auto& m : Seen)
      if (m.Kind == mkFileCancel && m.Data.size() == 5 && GetU32LE(m.Data.data()) == id && m.Data[4] == 1) return true;
    return false;
  }
  int Count(std::uint8_t kind) const {
    int n = 0;
    for (const auto& m : Seen) n += m.Kind == kind;
    return n;
  }
};

class ToolsPair : public ::testing::Test {
 public:
  void SetUp() override { Make(); }
  // The tools read the fixture's clock and screens while they go.
  void TearDown() override {
    Host.Tools.reset();
    Viewer.Tools.reset();
  }

  void Make(std::vector<TScreenRect> AScreens = {{{0, 0, 1920, 1080}, true}}, TToolsProfile AProfile = {}) {
    Host.Tools.reset();
    Viewer.Tools.reset();
    Host = TSide();
    Viewer = TSide();
    Allowed = false;
    Screens = std::move(AScreens);
    Host.Tools = std::make_unique<TSessionTools>(Context(Host, false), Services(Host, {}));
    Viewer.Tools = std::make_unique<TSessionTools>(Context(Viewer, true), Services(Viewer, std::move(AProfile)));
  }
  TToolsContext Context(TSide& s, bool viewer) {
    TToolsContext c;
    c.Channel = &s.Channel;
    c.IsViewer = viewer;
    c.PartnerID = viewer ? "111222333" : "444555666";
    c.PartnerName = viewer ? "HOSTPC" : "helper-pc";
    c.Log = [&s](const std::string& l) { s.Log.push_back(l); };
    c.ListScreens = [this] { return Screens; };
    c.Identity = {"HOSTPC", "helped", "Linux 6.1"};
    c.Now = [this] { return Now; };
    return c;
  }
  TToolsServices Services(TSide& s, TToolsProfile profile) {
    TToolsServices v;
    v.Clipboard = s.Clip;
    v.Files = s.Files;
    v.MakeWindow = FakeToolsWindows(s.Window);
    v.Restart = s.Restart;
    v.History = s.History;
    v.WallNow = [this] { return Wall; };
    v.Profile = std::move(profile);
    v.AdminReachable = [this] { return AdminReachable; };
    v.GrabThumb = [](const TRect& r, int w, int h) {
      TPicture24 p{w, h, TBytes(static_cast<std::size_t>(w) * h * 3, static_cast<std::uint8_t>(r.Left / 10))};
      return std::optional<TPicture24>(p);
    };
    return v;
  }
  // Consent given: the host announces and ticks from now on; the viewer hears the host's status.
  void Consent() {
    Host.Tools->Announce();
    Viewer.Tools->AccessGranted();
    Allowed = true;
  }
  static void Deliver(TMsgChannel& from, TSide& to, TTick now) {
    for (auto& p : from.Poll(now)) {
      if (p.empty()) continue;
      if (p[0] == pkChannelMsg)
        for (auto& m : to.Channel.HandleMsg(p)) {
          to.Seen.push_back(m);
          if (to.Tools) to.Tools->HandleMessage(m);
        }
      else if (p[0] == pkChannelAck)
        to.Channel.HandleAck(p);
    }
  }
  void Run(int ticks = 50) {
    for (int i = 0; i < ticks; ++i) {
      Now += 10;
      if (Allowed && Host.Tools) Host.Tools->Tick();
      if (Viewer.Tools) Viewer.Tools->Tick();
      Deliver(Host.Channel, Viewer, Now);
      Deliver(Viewer.Channel, Host, Now);
    }
  }
  // A message as the other PC would post it, straight into one side's tools.
  static void Feed(TSide& s, std::uint8_t kind, const TBytes& data) { s.Tools->HandleMessage({kind, false, data}); }

  TSide Host, Viewer;
  std::vector<TScreenRect> Screens;
  TTick Now = 1'000'000;
  TWallTime Wall{1'700'000'000, "2023-11-14 22:13"};
  bool Allowed = false;
  bool AdminReachable = true;
};

TBytes Pattern(std::size_t n, std::uint32_t seed = 7) {
  TBytes b(n);
  std::uint32_t v = seed;
  for (auto& x : b) {
    v = v * 1664525u + 1013904223u;
    x = static_cast<std::uint8_t>(v >> 24);
  }
  return b;
}

TBytes Offer(std::uint32_t id, std::int64_t size, const std::string& name) {
  TBytes b;
  PutU32LE(b, id);
  PutU32LE(b, static_cast<std::uint32_t>(static_cast<std::uint64_t>(size)));
  PutU32LE(b, static_cast<std::uint32_t>(static_cast<std::uint64_t>(size) >> 32));
  Append(b, BytesOf(name));
  return b;
}
TBytes IdMsg(std::uint32_t id, TBytes rest = {}) {
  TBytes b;
  PutU32LE(b, id);
  Append(b, rest);
  return b;
}

}  // namespace

// ---- joining ------------------------------------------------------------------------------------

TEST(MessageJoiner, DeliversWholeMessagesAndDropsOverlongOnesWhole) {
  struct Case {
    const char* Name;
    std::vector<std::size_t> Pieces;
    bool Delivered;
  };
  const Case cases[] = {
      {"one piece", {10}, true},
      {"three pieces", {1150, 1150, 3}, true},
      {"exactly at the limit", {kMaxJoinedMessage - 1150, 1150}, true},
      {"one byte past the limit", {kMaxJoinedMessage - 1150, 1151}, false},
      {"far past the limit", {kMaxJoinedMessage, 1150, 1150, 1150}, false},
  };
  for (const Case& k : cases) {
    TMessageJoiner j;
    std::optional<TBytes> got;
    std::size_t total = 0;
    for (std::size_t i = 0; i < k.Pieces.size(); ++i) {
      total += k.Pieces[i];
      got = j.Add({mkChat, i + 1 < k.Pieces.size(), TBytes(k.Pieces[i], 'a')});
      if (i + 1 < k.Pieces.size()) {
        EXPECT_FALSE(got) << k.Name;
      }
    }
    EXPECT_EQ(got.has_value(), k.Delivered) << k.Name;
    if (got) {
      EXPECT_EQ(got->size(), total) << k.Name;
    }
    // The next message of the kind starts afresh.
    auto next = j.Add({mkChat, false, BytesOf("next")});
    ASSERT_TRUE(next) << k.Name;
    EXPECT_EQ(StringOf(*next), "next") << k.Name;
  }
  // Kinds join apart.
  TMessageJoiner j;
  EXPECT_FALSE(j.Add({mkChat, true, BytesOf("ab")}));
  EXPECT_FALSE(j.Add({mkHello, true, BytesOf("x")}));
  EXPECT_EQ(StringOf(*j.Add({mkChat, false, BytesOf("c")})), "abc");
  EXPECT_EQ(StringOf(*j.Add({mkHello, false, BytesOf("y")})), "xy");
}

// ---- chat, hello, clipboard -------------------------------------------------------------------------

TEST_F(ToolsPair, ChatBothWaysAndTheHello) {
  Consent();
  Run(10);
  EXPECT_EQ(Viewer.Tools->RemoteInfo(), "HOSTPC|helped|Linux 6.1");
  EXPECT_TRUE(Viewer.Window->Has("Connected to HOSTPC (user helped), Linux 6.1"));
  EXPECT_FALSE(Viewer.Window->Visible);  // the hello does not bring the window up
  EXPECT_EQ(Viewer.Window->Caption, "Tovik - chat and files with HOSTPC (111 222 333)");

  Viewer.Window->Events->OnSendText("  hello there ");
  Run(10);
  EXPECT_TRUE(Host.Window->Has("helper-pc: hello there"));
  EXPECT_TRUE(Host.Window->Visible);
  Host.Window->Events->OnSendText("hi\nback");
  Host.Window->Events->OnSendText("   ");  // nothing to send
  Run(10);
  EXPECT_TRUE(Viewer.Window->Has("Other PC: hi\nback"));
  EXPECT_EQ(Host.Tools->Chats(), 2);
  EXPECT_EQ(Viewer.Tools->Chats(), 2);

  // A message longer than 1 MiB of UTF-8 is not sent.
  Viewer.Window->Events->OnSendText(std::string(kMaxSentText + 1, 'x'));
  Run(10);
  EXPECT_TRUE(Viewer.Window->Has("The message is too long to send."));
  EXPECT_EQ(Host.Tools->Chats(), 2);
}

TEST_F(ToolsPair, ClipboardBothWaysWithoutEchoAndNothingFromBeforeConsent) {
  // Copied on the helped PC while the person still decides: never leaves it.
  Host.Clip->Copy("secret before consent");
  Viewer.Clip->Copy("viewer text before the host let us in");
  Run(10);
  EXPECT_EQ(Host.Channel.Backlog() + Viewer.Channel.Backlog(), 0);
  Consent();
  // The clipboard tells of a change again (another format, the same text): still not sent.
  Host.Clip->Copy("secret before consent");
  Run(10);
  EXPECT_EQ(Viewer.Clip->Held, "viewer text before the host let us in");
  EXPECT_EQ(Host.Clip->Held, "secret before consent");

  Viewer.Clip->Copy("from the helper");
  Run(10);
  EXPECT_EQ(Host.Clip->Held, "from the helper");
  EXPECT_EQ(Host.Clip->Sets, 1);
  // The text that came in is not sent back, and copying the same text twice sends it once.
  Host.Clip->Copy("from the helped PC");
  Host.Clip->Copy("from the helped PC");
  Run(10);
  EXPECT_EQ(Viewer.Clip->Held, "from the helped PC");
  EXPECT_EQ(Viewer.Clip->Sets, 1);
  EXPECT_EQ(Host.Clip->Sets, 1);

  // 1 MiB of text goes; one byte more does not.
  Host.Clip->Copy(std::string(kMaxSentText, 'm'));
  Run(100);
  EXPECT_EQ(Viewer.Clip->Held->size(), kMaxSentText);
  Host.Clip->Copy(std::string(kMaxSentText + 1, 'n'));
  Run(100);
  EXPECT_EQ(Viewer.Clip->Held->size(), kMaxSentText);
  EXPECT_EQ((*Viewer.Clip->Held)[0], 'm');

  // "Share clipboard" unchecked on the host stops both directions there.
  Host.Tools->ShowTools();
  Host.Window->Share = false;
  Host.Clip->Copy("not shared");
  Viewer.Clip->Copy("not applied");
  Run(10);
  EXPECT_EQ((*Viewer.Clip->Held)[0], 'n');  // the viewer's own copy
  EXPECT_EQ(Host.Clip->Held, "not shared");
}

// ---- screens and thumbnails ---------------------------------------------------------------------

TEST_F(ToolsPair, ThumbnailsForTwoAndFourScreens) {
  for (int n : {2, 4}) {
    std::vector<TScreenRect> screens;
    for (int i = 0; i < n; ++i) screens.push_back({{i * 1920, 0, 1920, i == 3 ? 1920 : 1080}, i == 1});
    Make(screens);
    int thumbs = 0;
    Viewer.Tools->OnThumb = [&thumbs](int) { ++thumbs; };
    Consent();
    Run(5);
    ASSERT_EQ(Viewer.Tools->Monitors().size(), static_cast<std::size_t>(n));
    EXPECT_EQ(Viewer.Tools->PrimaryMonitor(), 1);
    EXPECT_FALSE(Viewer.Tools->Thumb(0));
    Viewer.Channel.Post(mkThumbsSwitch, TBytes{1}, false);
    Run(10);
    EXPECT_EQ(thumbs, n);
    for (int i = 0; i < n; ++i) {
      auto t = Viewer.Tools->Thumb(i);
      ASSERT_TRUE(t) << n << " " << i;
      EXPECT_EQ(t->Width, 192);
      EXPECT_EQ(t->Height, i == 3 ? 192 : 108);
      EXPECT_EQ(t->Pixels[0], static_cast<std::uint8_t>(i * 192));
    }
    Run(150);  // every 1.5 s while asked
    EXPECT_EQ(thumbs, 2 * n);
    Viewer.Channel.Post(mkThumbsSwitch, TBytes{0}, false);
    Run(400);
    EXPECT_LE(thumbs, 3 * n);
    const int stopped = thumbs;
    Run(400);
    EXPECT_EQ(thumbs, stopped);
  }
  // One screen: no thumbnails even when asked.
  Make();
  int thumbs = 0;
  Viewer.Tools->OnThumb = [&thumbs](int) { ++thumbs; };
  Consent();
  Viewer.Channel.Post(mkThumbsSwitch, TBytes{1}, false);
  Run(300);
  EXPECT_EQ(thumbs, 0);
}

TEST(SessionThumbs, ThumbnailsAndPicturesFromTheOtherPcAreChecked) {
  auto packed = [](int index, int w, int h, std::size_t bytes) {
    TBytes rows(bytes, 9);
    TBytes b{static_cast<std::uint8_t>(index), static_cast<std::uint8_t>(w), static_cast<std::uint8_t>(w >> 8),
             static_cast<std::uint8_t>(h), static_cast<std::uint8_t>(h >> 8)};
    uLongf n = compressBound(static_cast<uLong>(rows.size()));
    TBytes z(n);
    compress2(z.data(), &n, rows.data(), static_cast<uLong>(rows.size()), 6);
    z.resize(n);
    Append(b, z);
    return b;
  };
  struct Case {
    const char* Name;
    TBytes Data;
    bool Ok;
  };
  const Case cases[] = {
      {"a good thumbnail", packed(1, 192, 108, 192 * 108 * 3), true},
      {"at the side limit", packed(0, 256, 256, 256 * 256 * 3), true},
      {"index at the screen count", packed(2, 192, 108, 192 * 108 * 3), false},
      {"index far past", packed(255, 192, 108, 192 * 108 * 3), false},
      {"wider than 256", packed(0, 257, 10, 257 * 10 * 3), false},
      {"zero height", packed(0, 192, 0, 0), false},
      {"rows one byte short", packed(0, 192, 108, 192 * 108 * 3 - 1), false},
      {"rows one byte long", packed(0, 192, 108, 192 * 108 * 3 + 1), false},
      {"not zlib", TBytes{0, 192, 0, 108, 0, 1, 2, 3}, false},
      {"header only", TBytes{0, 192, 0, 108, 0}, false},
  };
  for (const Case& k : cases) EXPECT_EQ(ParseThumb(k.Data, 2).has_value(), k.Ok) << k.Name;
  // The helper's picture: the same checks without the index.
  const TPicture24 pic{96, 64, Pattern(96 * 64 * 3)};
  auto back = ParsePicture(MakePicture(pic));
  ASSERT_TRUE(back);
  EXPECT_EQ(back->Pixels, pic.Pixels);
  TBytes cut = MakePicture(pic);
  cut.pop_back();
  EXPECT_FALSE(ParsePicture(cut));

  // A screen list without a primary flag makes the first screen primary, also after one had it.
  TToolsContext ctx;
  ctx.IsViewer = true;
  TSessionTools tools(ctx);
  tools.HandleMessage({mkScreens, false, MakeScreens({{{0, 0, 800, 600}, false}, {{800, 0, 800, 600}, true}})});
  EXPECT_EQ(tools.PrimaryMonitor(), 1);
  tools.HandleMessage({mkScreens, false, MakeScreens({{{0, 0, 800, 600}, false}, {{800, 0, 800, 600}, false}})});
  EXPECT_EQ(tools.PrimaryMonitor(), 0);
}

// ---- profile ------------------------------------------------------------------------------------

TEST_F(ToolsPair, TheProfileWithItsPictureReachesTheHost) {
  TToolsProfile p{"Ann|Lee", "Acme", "ann@example.org", "555", TPicture24{96, 72, Pattern(96 * 72 * 3)}};
  Make({{{0, 0, 1920, 1080}, true}}, p);
  int done = 0;
  Host.Tools->OnProfile = [&done] { ++done; };
  Viewer.Tools->PostProfile();
  Run(20);
  EXPECT_EQ(done, 1);
  EXPECT_EQ(Host.Tools->HelperName(), "Ann/Lee");
  EXPECT_EQ(Host.Tools->HelperCompany(), "Acme");
  ASSERT_TRUE(Host.Tools->HelperPicture());
  EXPECT_EQ(Host.Tools->HelperPicture()->Pixels, p.Picture->Pixels);
}

// ---- restart and elevation ---------------------------------------------------------------------

TEST_F(ToolsPair, RestartAndElevationAnswers) {
  struct Case {
    const char* Name;
    std::string RebootAnswer;
    bool Defer;
  };
  const Case cases[] = {
      {"restart under way", "", false},
      {"refused at once", "Interactive authentication required.", false},
      {"refused later", "Access denied", true},
  };
  for (const Case& k : cases) {
    Make();
    Consent();
    Host.Restart->Answer = k.RebootAnswer;
    Host.Restart->Defer = k.Defer;
    Viewer.Tools->RequestRestart();
    EXPECT_TRUE(Viewer.Tools->RestartAsked()) << k.Name;
    Run(10);
    EXPECT_EQ(Host.Restart->Reboots, 1) << k.Name;
    EXPECT_TRUE(Host.Window->Has("Your helper is restarting this PC. Tovik starts again after you sign in.")) << k.Name;
    if (k.Defer) {
      Host.Restart->AnswerNow(k.RebootAnswer);
      Run(10);
    }
    const bool failed = !k.RebootAnswer.empty();
    EXPECT_EQ(Host.Restart->OnceEntry, !failed) << k.Name;
    EXPECT_EQ(HasLine(Host.Log, "restart failed: " + k.RebootAnswer), failed) << k.Name;
    EXPECT_EQ(Viewer.Window->Has("Other PC: This PC could not restart: " + k.RebootAnswer), failed) << k.Name;
  }
  // A refusal that comes after the session ended still removes the once-entry.
  Make();
  Consent();
  Host.Restart->Defer = true;
  Viewer.Tools->RequestRestart();
  Run(10);
  Host.Tools.reset();
  Host.Restart->AnswerNow("Access denied");
  EXPECT_FALSE(Host.Restart->OnceEntry);

  // Elevation: answered at once when the helper's input reaches admin prompts, else refused.
  for (bool reachable : {true, false}) {
    Make();
    Consent();
    AdminReachable = reachable;
    Viewer.Tools->RequestElevate();
    EXPECT_TRUE(Viewer.Tools->RestartAsked());
    Run(10);
    EXPECT_FALSE(Viewer.Tools->RestartAsked());
    EXPECT_EQ(Viewer.Window->Has("Admin support is already available on the other PC."), reachable);
    EXPECT_EQ(Viewer.Window->Has("Admin rights were not given on the other PC (the Windows prompt was declined)."),
              !reachable);
    EXPECT_EQ(Host.Window->Has("Admin rights not given."), !reachable);
  }
}

// ---- history ------------------------------------------------------------------------------------

TEST(SessionHistory, RowsAreWrittenSafelyAndReadBack) {
  EXPECT_EQ(SessionsHeaderLine(),
            "Start;End;Minutes;Role;Partner ID;Partner;Remote PC;Files sent;Files received;Chat messages\r\n");
  struct Case {
    const char* Name;
    std::string In, Out;
  };
  const Case cases[] = {
      {"plain", "Ann Lee", "Ann Lee"},
      {"semicolon", "Lee; Ann", "Lee, Ann"},
      {"line breaks forge no row", "x\r\n2020-01-01 00:00;y", "x2020-01-01 00:00,y"},
      {"control characters", std::string("a\tb\x01" "c\x7F" "d\xC2\x85" "e"), "abcde"},
      {"formula", "=HYPERLINK(\"http://x\")", "'=HYPERLINK(\"http://x\")"},
      {"plus", "+1 555", "'+1 555"},
      {"minus", "-2+3", "'-2+3"},
      {"at", "@SUM(A1)", "'@SUM(A1)"},
      {"formula after a stripped control", "\x01=1+1", "'=1+1"},
      {"long", std::string(300, 'z'), std::string(kMaxHistoryField, 'z')},
      {"malformed UTF-8", "a\xFF" "b", "a\xEF\xBF\xBD" "b"},
  };
  for (const Case& k : cases) EXPECT_EQ(SessionsField(k.In), k.Out) << k.Name;

  TSessionHistoryRow row;
  row.Start = {1000, "2024-05-01 10:00"};
  row.IsViewer = true;
  row.PartnerID = "123456789";
  row.Partner = "Ann;\r\nx";
  row.RemotePC = "PC|user|Linux";
  row.FilesSent = 2;
  row.FilesReceived = 1;
  row.Chats = 7;
  const std::pair<std::int64_t, int> minutes[] = {{0, 0}, {29, 0}, {30, 0}, {89, 1}, {90, 2}, {150, 2}, {151, 3},
                                                  {210, 4}, {-500, 0}};
  for (auto [secs, want] : minutes) {
    row.End = {1000 + secs, "2024-05-01 10:05"};
    EXPECT_EQ(SessionMinutes(row), want) << secs;
  }
  const std::string line = SessionsRowLine(row);
  EXPECT_EQ(line, "2024-05-01 10:00;2024-05-01 10:05;0;Helper;123456789;Ann,x;PC|user|Linux;2;1;7\r\n");
  auto back = ParseSessionsLine(std::string_view(line).substr(0, line.size() - 2));
  ASSERT_TRUE(back);
  EXPECT_EQ(back->Row.Partner, "Ann,x");
  EXPECT_EQ(back->Row.Chats, 7);
  EXPECT_TRUE(back->Row.IsViewer);
  EXPECT_FALSE(ParseSessionsLine("a;b;c"));
  EXPECT_FALSE(ParseSessionsLine("a;b;x;Helper;1;2;3;4;5;6"));
}

TEST_F(ToolsPair, EachEndedSessionWritesItsRow) {
  Consent();
  Viewer.Tools->ShowTools();
  Viewer.Window->Events->OnSendText("one");
  Run(10);
  Wall = {1'700'000'000 + 95, "2023-11-14 22:15"};
  Host.Tools.reset();
  Viewer.Tools.reset();
  ASSERT_EQ(Host.History->Rows.size(), 1u);
  ASSERT_EQ(Viewer.History->Rows.size(), 1u);
  EXPECT_EQ(SessionsRowLine(Viewer.History->Rows[0]),
            "2023-11-14 22:13;2023-11-14 22:15;2;Helper;111222333;HOSTPC;HOSTPC|helped|Linux 6.1;0;0;1\r\n");
  EXPECT_EQ(SessionsRowLine(Host.History->Rows[0]),
            "2023-11-14 22:13;2023-11-14 22:15;2;Helped;444555666;helper-pc;;0;0;1\r\n");
}

// ---- files --------------------------------------------------------------------------------------

TEST_F(ToolsPair, FilesOfEverySizeArriveWhole) {
  Consent();
  const std::size_t sizes[] = {0, 1, 1146, 2292, 3 * 1048576 + 17};
  std::vector<std::string> paths;
  for (std::size_t n : sizes) {
    paths.push_back("/home/ann/f" + std::to_string(n) + ".bin");
    Viewer.Disk().Sources[paths.back()] = Pattern(n, static_cast<std::uint32_t>(n));
  }
  std::vector<std::tuple<std::string, std::int64_t, std::int64_t, int>> progress;
  Viewer.Tools->OnSendProgress = [&](const std::string& f, std::int64_t d, std::int64_t t, int l) {
    progress.emplace_back(f, d, t, l);
  };
  Viewer.Tools->SendFiles(paths);
  EXPECT_TRUE(Viewer.Window->Has("Queued to send: f2292.bin"));
  Run(2000);
  for (std::size_t n : sizes) {
    const std::string name = "f" + std::to_string(n) + ".bin";
    ASSERT_TRUE(Host.Disk().Downloads.count(name)) << name;
    EXPECT_EQ(Sha256(Host.Disk().Downloads[name]), Sha256(Pattern(n, static_cast<std::uint32_t>(n)))) << name;
    EXPECT_TRUE(Host.Disk().Complete[name]) << name;
    EXPECT_TRUE(Host.Window->Has("Received " + name + " (in Downloads/Tovik)")) << name;
    EXPECT_TRUE(Viewer.Window->Has("Sent " + name)) << name;
  }
  EXPECT_TRUE(Host.Window->Has("Receiving f3145745.bin (3.0 MB)..."));
  EXPECT_TRUE(Viewer.Window->Has("Sending f1146.bin (1 KB)..."));
  EXPECT_TRUE(Viewer.Window->Has("Sending f0.bin (0 bytes)..."));
  // 0 + 1 + 1 + 2 + 2746 data messages: none of them empty.
  EXPECT_EQ(Host.Count(mkFileData), 0 + 1 + 1 + 2 + static_cast<int>((3 * 1048576 + 17 + 1145) / 1146));
  for (const auto& m : Host.Seen)
    if (m.Kind == mkFileData) {
      EXPECT_GT(m.Data.size(), 4u);
    }
  EXPECT_EQ(Viewer.Tools->Sender().FilesSent(), 5);
  EXPECT_EQ(Host.Tools->Receiver().FilesReceived(), 5);
  // The panel saw the big file on its way and was hidden at the end.
  ASSERT_FALSE(progress.empty());
  EXPECT_EQ(progress.back(), std::make_tuple(std::string(), std::int64_t{0}, std::int64_t{0}, 0));
  bool bigSeen = false;
  for (const auto& p : progress) bigSeen |= std::get<0>(p) == "f3145745.bin" && std::get<1>(p) > 0;
  EXPECT_TRUE(bigSeen);
  // Files go both ways, and a name taken in Downloads gets a number.
  Host.Disk().Sources["/tmp/f1.bin"] = TBytes{42};
  Host.Tools->SendFiles({"/tmp/f1.bin", "/tmp/f1.bin"});
  Viewer.Disk().Downloads["f1.bin"] = TBytes{1};
  Run(50);
  EXPECT_EQ(Viewer.Disk().Downloads["f1 (2).bin"], TBytes{42});
  EXPECT_EQ(Viewer.Disk().Downloads["f1 (3).bin"], TBytes{42});
  EXPECT_TRUE(Viewer.Window->Has("Received f1 (3).bin (in Downloads/Tovik)"));
}

TEST_F(ToolsPair, CancelFromTheSenderDeletesThePartOnBothSides) {
  Consent();
  Viewer.Disk().Sources["/a/big.bin"] = Pattern(2 * 1048576);
  Viewer.Disk().Sources["/a/two.bin"] = Pattern(10);
  Viewer.Disk().Sources["/a/three.bin"] = Pattern(10);
  Viewer.Tools->SendFiles({"/a/big.bin", "/a/two.bin", "/a/three.bin"});
  Run(30);
  ASSERT_TRUE(Host.Disk().Downloads.count("big.bin"));
  Viewer.Tools->CancelSend();
  Run(50);
  EXPECT_TRUE(Host.Disk().Downloads.empty());
  EXPECT_TRUE(Viewer.Window->Has("Cancelled sending big.bin"));
  EXPECT_TRUE(Host.Window->Has("Cancelled: big.bin"));
  EXPECT_EQ(Host.Count(mkFileOffer), 1);
}

// The receiving rules, one case each: what the other PC sends, what the download folder holds after,
// the lines on each side, and whether the receiver told the sender it could not save the file.
TEST_F(ToolsPair, ReceivingRules) {
  struct Case {
    const char* Name;
    std::function<void(ToolsPair&)> Act;
    std::map<std::string, TBytes> Files;  // the download folder afterwards
    std::string HostLine, ViewerLine;
    std::optional<std::uint32_t> Refused;
  };
  auto feedFile = [](std::uint32_t id, const std::string& name, TBytes data) {
    return [id, name, data](ToolsPair& t) {
      Feed(t.Host, mkFileOffer, Offer(id, static_cast<std::int64_t>(data.size()), name));
      if (!data.empty()) Feed(t.Host, mkFileData, IdMsg(id, data));
      Feed(t.Host, mkFileDone, IdMsg(id));
    };
  };
  auto send = [](std::map<std::string, TBytes> files, std::function<void(TFakeDisk&)> hostDisk = {}) {
    return [files, hostDisk](ToolsPair& t) {
      if (hostDisk) hostDisk(t.Host.Disk());
      std::vector<std::string> paths;
      for (auto& [p, d] : files) {
        t.Viewer.Disk().Sources[p] = d;
        paths.push_back(p);
      }
      t.Viewer.Tools->SendFiles(paths);
      t.Run(100);
    };
  };
  const TBytes abc = BytesOf("abc");
  const std::string longStem(300, 'n');
  const Case cases[] = {
      {"a name that climbs out", feedFile(1, "../../a.bat", abc), {{"a.bat", abc}}, "Received a.bat (in Downloads/Tovik)", "", {}},
      {"backslashes climb too", feedFile(1, "..\\..\\b.txt", abc), {{"b.txt", abc}}, "Received b.txt (in Downloads/Tovik)", "", {}},
      {"dot dot", feedFile(1, "..", abc), {{"file", abc}}, "Received file (in Downloads/Tovik)", "", {}},
      {"empty name", feedFile(1, "", abc), {{"file", abc}}, "Received file (in Downloads/Tovik)", "", {}},
      {"control characters", feedFile(1, "a\x01\r\nb.txt", abc), {{"ab.txt", abc}}, "Received ab.txt (in Downloads/Tovik)", "", {}},
      {"a long name keeps its extension", feedFile(1, longStem + ".pdf", abc), {{std::string(251, 'n') + ".pdf", abc}}, "", "", {}},
      {"existing names get a number",
       [&](ToolsPair& t) {
         t.Host.Disk().Downloads["report.pdf"] = TBytes{0};
         feedFile(1, "report.pdf", abc)(t);
         feedFile(2, "report.pdf", abc)(t);
       },
       {{"report.pdf", TBytes{0}}, {"report (2).pdf", abc}, {"report (3).pdf", abc}}, "Received report (3).pdf (in Downloads/Tovik)", "", {}},
      {"data past the offered size",
       [](ToolsPair& t) {
         Feed(t.Host, mkFileOffer, Offer(7, 3, "x.bin"));
         Feed(t.Host, mkFileData, IdMsg(7, BytesOf("abcd")));
         Feed(t.Host, mkFileDone, IdMsg(7));
       },
       {}, "Could not save x.bin: more data than offered", "", 7u},
      {"a negative size", [](ToolsPair& t) { Feed(t.Host, mkFileOffer, Offer(3, -1, "neg.bin")); }, {}, "Could not save neg.bin: the offered size is not valid", "", 3u},
      {"not enough free space", send({{"/s/big.bin", Pattern(200)}}, [](TFakeDisk& d) { d.Free = 199; }), {},
       "Could not save big.bin: not enough free space", "Could not save big.bin on the other PC", 1u},
      {"a repeated ID ends the earlier file",
       [&](ToolsPair& t) {
         Feed(t.Host, mkFileOffer, Offer(1, 10, "first.bin"));
         Feed(t.Host, mkFileData, IdMsg(1, BytesOf("12345")));
         feedFile(1, "second.bin", abc)(t);
       },
       {{"second.bin", abc}}, "Received second.bin (in Downloads/Tovik)", "", {}},
      {"at most four files at once",
       [](ToolsPair& t) {
         for (std::uint32_t id = 1; id <= 5; ++id) Feed(t.Host, mkFileOffer, Offer(id, 10, "e" + std::to_string(id) + ".bin"));
       },
       {{"e1.bin", {}}, {"e2.bin", {}}, {"e3.bin", {}}, {"e4.bin", {}}}, "Could not save e5.bin: too many files at once", "", 5u},
      {"done before all data came",
       [](ToolsPair& t) {
         Feed(t.Host, mkFileOffer, Offer(4, 10, "short.bin"));
         Feed(t.Host, mkFileData, IdMsg(4, BytesOf("1234")));
         Feed(t.Host, mkFileDone, IdMsg(4));
       },
       {}, "short.bin incomplete (4 bytes of 10 bytes); deleted", "", {}},
      {"the file cannot be created", send({{"/s/c.bin", Pattern(5)}}, [](TFakeDisk& d) { d.FailCreate = true; }), {},
       "Could not save c.bin: Permission denied", "Could not save c.bin on the other PC", 1u},
      {"a write fails", send({{"/s/w.bin", Pattern(3000)}}, [](TFakeDisk& d) { d.FailWriteAfter = 1000; }), {},
       "Could not save w.bin: No space left on device", "Could not save w.bin on the other PC", 1u},
      {"the session ends mid-file",
       [](ToolsPair& t) {
         Feed(t.Host, mkFileOffer, Offer(1, 10, "cut.bin"));
         Feed(t.Host, mkFileData, IdMsg(1, BytesOf("1234")));
         t.Host.Tools.reset();
       },
       {}, "", "", {}},
      {"a folder is not sent", [](ToolsPair& t) {
         t.Viewer.Disk().Folders.insert("/s/dir");
         t.Viewer.Tools->SendFiles({"/s/dir"});
         t.Run(50);
       }, {}, "", "", {}},
      {"the viewer holds files until the host lets it in",
       [](ToolsPair& t) {
         t.Make();
         t.Viewer.Disk().Sources["/s/early.bin"] = Pattern(5 * 1048576);
         t.Viewer.Tools->SendFiles({"/s/early.bin"});
         t.Run(200);
         EXPECT_EQ(t.Host.Seen.size(), 0u);
         EXPECT_EQ(t.Viewer.Channel.Backlog(), 0);
         t.Consent();
         t.Run(3000);
         t.Host.Disk().Downloads.erase("early.bin");  // checked here: big
       },
       {}, "Received early.bin (in Downloads/Tovik)", "Sent early.bin", {}},
  };
  for (const Case& k : cases) {
    Make();
    Consent();
    k.Act(*this);
    Run(20);
    std::map<std::string, TBytes> files = Host.Disk().Downloads;
    EXPECT_EQ(files, k.Files) << k.Name;
    EXPECT_TRUE(k.HostLine.empty() || Host.Window->Has(k.HostLine)) << k.Name;
    EXPECT_TRUE(k.ViewerLine.empty() || Viewer.Window->Has(k.ViewerLine)) << k.Name;
    EXPECT_EQ(k.Refused ? Viewer.SawRefusal(*k.Refused) : Viewer.Count(mkFileCancel) == 0, true) << k.Name;
    if (!k.ViewerLine.empty() && k.ViewerLine.rfind("Could not save", 0) == 0) {
      EXPECT_EQ(Viewer.Tools->Sender().FilesSent(), 0) << k.Name;
      EXPECT_FALSE(Viewer.Window->Has(k.ViewerLine.substr(15, k.ViewerLine.find(" on the") - 15).insert(0, "Sent ")))
          << k.Name;
    }
  }
}
