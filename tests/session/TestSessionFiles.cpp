// Chat, clipboard and files between a host and a viewer session over lossy, reordering pipes under
// the virtual clock: what arrives is what was sent, byte for byte.
#include <gtest/gtest.h>

#include "crypto/TovikCrypto.h"
#include "session/TovikSessionTools.h"
#include "session/TovikSessionWire.h"
#include "tests/session/SessionPairFixture.h"
#include "tests/support/ToolsFakes.h"

using namespace tovik;
using namespace tovik::test;

namespace {

struct TToolsSide {
  std::shared_ptr<TFakeFiles> Files = std::make_shared<TFakeFiles>();
  std::shared_ptr<TFakeClipboard> Clip = std::make_shared<TFakeClipboard>();
  std::shared_ptr<TFakeToolsWindowState> Window = std::make_shared<TFakeToolsWindowState>();
  std::shared_ptr<TFakeHistory> History = std::make_shared<TFakeHistory>();
  TToolsFactory Factory() {
    return [this](const TToolsContext& c) {
      TToolsServices s;
      s.Files = Files;
      s.Clipboard = Clip;
      s.MakeWindow = FakeToolsWindows(Window);
      s.History = History;
      s.WallNow = [] { return TWallTime{1'700'000'000, "2023-11-14 22:13"}; };
      return std::make_unique<TSessionTools>(c, std::move(s));
    };
  }
};

TBytes Pattern(std::size_t n, std::uint32_t seed) {
  TBytes b(n);
  std::uint32_t v = seed * 2654435761u + 1;
  for (std::size_t i = 0; i < n; i += 4) {
    v = v * 1664525u + 1013904223u;
    for (std::size_t k = 0; k < 4 && i + k < n; ++k) b[i + k] = static_cast<std::uint8_t>(v >> (8 * k));
  }
  return b;
}

struct TLossCase {
  double Loss;
  std::size_t Large;
};

class SessionFiles : public ::testing::TestWithParam<TLossCase> {};

}  // namespace

TEST_P(SessionFiles, FilesArriveWithTheSameHashAndChatAndClipboardGoBothWays) {
  TToolsSide host, viewer;
  TPairOptions o;
  o.Pipe.Loss = GetParam().Loss;
  o.Pipe.JitterMs = GetParam().Loss > 0 ? 15 : 0;  // packets overtake each other
  o.Pipe.DelayMs = 10;
  o.HostTools = host.Factory();
  o.ViewerTools = viewer.Factory();
  TSessionPair pair(o);
  host.Clip->Copy("copied before consent");
  // Dropped on the viewer before the person answered: held until the host lets the helper in.
  const std::vector<std::size_t> sizes = {0, 1, 1146, 2292, GetParam().Large};
  std::vector<std::string> paths;
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    paths.push_back("/home/helper/file" + std::to_string(i) + ".bin");
    viewer.Files->D->Sources[paths.back()] = Pattern(sizes[i], static_cast<std::uint32_t>(i));
  }
  pair.Viewer->Tools().SendFiles(paths);
  ASSERT_TRUE(pair.RunUntilSame(5000));

  pair.Viewer->Tools().ShowTools();
  viewer.Window->Events->OnSendText("hello from the helper");
  viewer.Clip->Copy("helper's clipboard");
  // While the large file is on its way: the chat line and the clipboard wait behind no more file data
  // than the path carries in a few round trips.
  pair.Run(500);
  EXPECT_TRUE(host.Window->Has("Partner PC: hello from the helper"));
  EXPECT_EQ(host.Clip->Held, "helper's clipboard");
  host.Window->Events->OnSendText("thanks");
  host.Clip->Copy("host's clipboard");
  // The large file takes its time; the pair ticks every 10 ms.
  auto complete = [&host] {
    std::size_t n = 0;
    for (const auto& [name, done] : host.Files->D->Complete) n += done;
    return n;
  };
  for (int i = 0; i < 2000 && complete() < sizes.size() && pair.Host; ++i) pair.Run(500);
  ASSERT_TRUE(pair.Host && pair.Viewer);
  pair.Run(1000);
  EXPECT_TRUE(viewer.Window->Has("Other PC: thanks"));
  EXPECT_EQ(viewer.Clip->Held, "host's clipboard");
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    const std::string name = "file" + std::to_string(i) + ".bin";
    ASSERT_TRUE(host.Files->D->Complete[name]) << name;
    EXPECT_EQ(Sha256(host.Files->D->Downloads[name]), Sha256(Pattern(sizes[i], static_cast<std::uint32_t>(i)))) << name;
    EXPECT_TRUE(viewer.Window->Has("Sent " + name)) << name;
  }
  // The text copied before consent never reached the helper.
  EXPECT_NE(viewer.Clip->Held, "copied before consent");
  EXPECT_EQ(viewer.Clip->Sets, 1);
  EXPECT_FALSE(pair.Viewer == nullptr);
  pair.Viewer.reset();
  pair.Host.reset();
  ASSERT_EQ(viewer.History->Rows.size(), 1u);
  EXPECT_EQ(viewer.History->Rows[0].FilesSent, static_cast<int>(sizes.size()));
  EXPECT_EQ(host.History->Rows[0].FilesReceived, static_cast<int>(sizes.size()));
  EXPECT_EQ(host.History->Rows[0].Chats, 2);
}

// 64 MiB each, without loss and with 2% loss and reordering.
INSTANTIATE_TEST_SUITE_P(Loss, SessionFiles,
                         ::testing::Values(TLossCase{0.0, 64u << 20}, TLossCase{0.02, 64u << 20}),
                         [](const auto& i) { return i.param.Loss > 0 ? std::string("TwoPercent") : std::string("None"); });

// Cancel from the sender over the pair: the partial copy is deleted on the host, the queued files
// never go; and a session that ends mid-transfer leaves nothing behind.
TEST(SessionFilesEnd, CancelAndSessionEndLeaveNoPartialFile) {
  for (bool cancel : {true, false}) {
    TToolsSide host, viewer;
    TPairOptions o;
    o.HostTools = host.Factory();
    o.ViewerTools = viewer.Factory();
    TSessionPair pair(o);
    ASSERT_TRUE(pair.RunUntilSame(5000));
    viewer.Files->D->Sources["/a/big.bin"] = Pattern(16u << 20, 1);
    viewer.Files->D->Sources["/a/b.bin"] = Pattern(10, 2);
    viewer.Files->D->Sources["/a/c.bin"] = Pattern(10, 3);
    pair.Viewer->Tools().SendFiles({"/a/big.bin", "/a/b.bin", "/a/c.bin"});
    pair.Run(300);
    ASSERT_EQ(host.Files->D->Downloads.count("big.bin"), 1u);
    if (cancel) {
      pair.Viewer->Tools().CancelSend();
      pair.Run(2000);
      EXPECT_TRUE(host.Window->Has("Cancelled: big.bin"));
      EXPECT_TRUE(viewer.Window->Has("Cancelled sending big.bin"));
    } else {
      pair.Host.reset();
    }
    EXPECT_TRUE(host.Files->D->Downloads.empty()) << cancel;
  }
}
