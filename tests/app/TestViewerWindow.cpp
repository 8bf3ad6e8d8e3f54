// The helper's viewer window as a session drives it (MakeViewerWindow): tile updates that fail part
// way, and the session ending while one of the window's dialogs is open. The window's picture must
// stay its own in both cases: these tests paint and record it after the update or the session is
// gone, which the asan preset turns into a failure at the first read of freed memory.
#include <gtest/gtest.h>
#include <zlib.h>

#include <QTemporaryDir>
#include <QTest>

#include "app/TovikMainSession.h"
#include "app/ui/TovikButtons.h"
#include "session/ui/TovikViewer.h"
#include "tests/app/TempSettingsPaths.h"
#include "tests/app/UiTestApp.h"

namespace tovik {
namespace {

struct TTile {
  int X, Y, W, H;
  std::uint8_t Colour;
};

// A tile update as the host sends it: header, tiles (blue = green = red = Colour), zlib. ACount is
// the tile count of the header; -1 = the tiles given.
TBytes Update(int AW, int AH, const std::vector<TTile>& ATiles, int ACount = -1) {
  TBytes raw;
  auto put = [&raw](int v) { PutU16LE(raw, static_cast<std::uint16_t>(v)); };
  put(AW);
  put(AH);
  put(ACount >= 0 ? ACount : static_cast<int>(ATiles.size()));
  for (const TTile& t : ATiles) {
    put(t.X);
    put(t.Y);
    put(t.W);
    put(t.H);
    raw.insert(raw.end(), static_cast<std::size_t>(t.W) * t.H * 3, t.Colour);
  }
  TBytes out(compressBound(raw.size()));
  uLongf len = out.size();
  EXPECT_EQ(compress2(out.data(), &len, raw.data(), raw.size(), 1), Z_OK);
  out.resize(len);
  return out;
}

class TNoSession : public IViewerEvents {
 public:
  void OnInput(const TInputEvent&) override {}
  void OnUserClose() override {}
};

// Counts the frames and sums the blue, green and red bytes of the last one (reading every pixel, as
// an encoder would).
class TCountingRecorder : public IViewerRecorder {
 public:
  TCountingRecorder(int& AFrames, unsigned& ASum) : FFrames(AFrames), FSum(ASum) {}
  std::string AddFrame(const TPictureView& APicture, std::int64_t) override {
    FSum = 0;
    for (int y = 0; y < APicture.Height; ++y)
      for (int x = 0; x < APicture.Width * 4; ++x)
        if (x % 4 != 3) FSum += APicture.Bits[y * APicture.Stride + x];
    ++FFrames;
    return "";
  }
  std::string Finish() override { return ""; }
  std::string Path() const override { return "recording.mp4"; }

 private:
  int& FFrames;
  unsigned& FSum;
};

constexpr unsigned kFirstSum = 64 * 48 * 3 * 0x40;  // the first picture recorded

class ViewerWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    test::EnsureApp();
    ASSERT_TRUE(FDir.isValid());
    Open();
  }
  void TearDown() override { Close(); }
  // A window as the session makes it, recording into the counting recorder.
  void Open() {
    FRecorded = 0;
    FWindow = MakeViewerWindow(FEvents, "Tovik - 123 456 789", FStore, FStats, nullptr, {});
    FForm = FStats.Form;
    ASSERT_FALSE(FForm.isNull());
    FForm->MakeRecorder = [this](const std::string&, int, int, int, std::string&) {
      return std::make_unique<TCountingRecorder>(FRecorded, FRecordedSum);
    };
    FForm->DialogHook = [](const QString&, const QString&) { return QStringList{}; };
  }
  void Close() {
    FWindow.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  }
  // The window's picture as drawn (not only as stored): paints it.
  QImage Painted() { return test::Shot(*FForm); }
  // The first picture: 64 x 48 in grey 0x40.
  void ShowFirst() {
    FWindow->ShowUpdate(Update(64, 48, {{0, 0, 64, 48, 0x40}}));
    ASSERT_EQ(FForm->Picture().size(), QSize(64, 48));
  }
  void ExpectFirst(const char* AWhen) {
    const QImage pic = FForm->Picture();
    ASSERT_EQ(pic.size(), QSize(64, 48)) << AWhen;
    EXPECT_EQ(pic.pixel(0, 0) & 0xFFFFFF, 0x404040u) << AWhen;
    EXPECT_EQ(pic.pixel(63, 47) & 0xFFFFFF, 0x404040u) << AWhen;
  }

  QTemporaryDir FDir;
  TIniText FBuiltIn;
  TSettingsStore FStore{test::TempSettingsPaths(FDir.path().toStdString()), FBuiltIn};
  TViewerStats FStats;
  TNoSession FEvents;
  TViewerWindowPtr FWindow;
  QPointer<TViewerForm> FForm;
  int FRecorded = 0;
  unsigned FRecordedSum = 0;
};

// An update that fails part way changes nothing of the picture shown, painted or recorded, whether
// it failed before or after a resize and before or after some of its tiles decoded.
TEST_F(ViewerWindow, AFailedUpdateLeavesThePictureAsItWas) {
  struct Case {
    const char* Name;
    TBytes Body;
  };
  const Case cases[] = {
      {"larger, then a tile past the edge", Update(1920, 1080, {{0, 0, 64, 64, 0x99}, {1900, 0, 64, 64, 0x99}})},
      {"smaller, then a tile past the edge", Update(32, 32, {{0, 0, 16, 16, 0x99}, {0, 30, 4, 4, 0x99}})},
      {"same size, a good tile, then one past the edge", Update(64, 48, {{0, 0, 8, 8, 0x99}, {60, 40, 8, 16, 0x99}})},
      {"same size, cut short after a good tile", Update(64, 48, {{0, 0, 8, 8, 0x99}}, 2)},
      {"not a zlib stream", BytesOf("garbage from the other PC")},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.Name);
    Close();
    Open();
    ShowFirst();
    FForm->show();
    QTest::mouseClick(FForm->Item(TViewerForm::biRecord), Qt::LeftButton);
    ASSERT_TRUE(FForm->Recording());
    EXPECT_THROW(FWindow->ShowUpdate(k.Body), EScreenUpdate);
    ExpectFirst("after the failed update");
    const QImage shot = Painted();
    const TVRect d = FForm->Dest();
    EXPECT_EQ(test::Rgb(shot, d.Left + d.Width / 2, d.Top + d.Height / 2), 0x404040u);
    FForm->RecordTick();
    EXPECT_EQ(FRecorded, 2);
    EXPECT_EQ(FRecordedSum, kFirstSum);
    // A good update after the failed one applies to the picture as it was.
    FWindow->ShowUpdate(Update(64, 48, {{8, 8, 8, 8, 0x77}}));
    EXPECT_EQ(FForm->Picture().pixel(0, 0) & 0xFFFFFF, 0x404040u);
    EXPECT_EQ(FForm->Picture().pixel(9, 9) & 0xFFFFFF, 0x777777u);
    QTest::mouseClick(FForm->Item(TViewerForm::biRecord), Qt::LeftButton);
  }
}

// The session ends (and frees its adapter) while the window's restart question is open: the window
// lives on until the question closes, and keeps painting and recording its own picture meanwhile.
TEST_F(ViewerWindow, TheSessionEndsWhileADialogIsOpen) {
  ShowFirst();
  FForm->show();
  QTest::mouseClick(FForm->Item(TViewerForm::biRecord), Qt::LeftButton);
  ASSERT_TRUE(FForm->Recording());
  bool asked = false;
  FForm->DialogHook = [&](const QString& kind, const QString&) {
    EXPECT_EQ(kind, "restart");
    asked = true;
    FWindow.reset();  // the session's end: FreeSafely on the adapter
    EXPECT_FALSE(FForm.isNull());
    EXPECT_EQ(FStats.Form, nullptr);
    ExpectFirst("after the session ended");
    const QImage shot = Painted();
    const TVRect d = FForm->Dest();
    EXPECT_EQ(test::Rgb(shot, d.Left + d.Width / 2, d.Top + d.Height / 2), 0x404040u);
    FForm->RecordTick();
    return QStringList{"no"};
  };
  QTest::mouseClick(FForm->Item(TViewerForm::biRestart), Qt::LeftButton);
  EXPECT_TRUE(asked);
  EXPECT_EQ(FRecorded, 2);
  EXPECT_EQ(FRecordedSum, kFirstSum);
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_TRUE(FForm.isNull());
}

}  // namespace
}  // namespace tovik
