// The viewer window under the offscreen platform: input events, view modes, panning, layout,
// full screen, transfer panel, recording and freeing while a dialog is open.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QDropEvent>
#include <QMimeData>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include "app/ui/TovikButtons.h"
#include "tests/app/UiTestApp.h"
#include "base/TovikClock.h"
#include "base/TovikOwnWindows.h"
#include "session/ui/TovikKeyMap.h"
#include "session/ui/TovikViewer.h"

namespace tovik {
namespace {

class TFakeRecorder : public IViewerRecorder {
 public:
  TFakeRecorder(int* frames, std::string path, std::string finishError)
      : FFrames(frames), FPath(std::move(path)), FFinishError(std::move(finishError)) {}
  std::string AddFrame(const TPictureView& p, std::int64_t t) override {
    ++*FFrames;
    if (t < 0) return "time before the start";
    return p.Width == 1920 && p.Height == 1080 ? "" : "wrong size";
  }
  std::string Finish() override { return FFinishError; }
  std::string Path() const override { return FPath; }

 private:
  int* FFrames;
  std::string FPath, FFinishError;
};

// The session as the window sees it, and the program's recorder.
class TFakeHost : public IViewerEvents {
 public:
  std::vector<TInputEvent> Inputs;
  std::vector<std::pair<int, double>> Edges;
  std::vector<std::vector<std::string>> Sent;
  std::vector<int> Picks;
  int Closes = 0, Restarts = 0, Frames = 0;
  std::string RecordPath;
  TVPoint RecordSize;
  std::string WrittenSuffix;  // the recorder writes to RecordPath + this
  std::string FinishError;    // what the recorder's Finish answers
  void OnInput(const TInputEvent& e) override { Inputs.push_back(e); }
  void OnUserClose() override { ++Closes; }
  void OnEdge(int dir, double f) override { Edges.push_back({dir, f}); }
  void OnSendFiles(const std::vector<std::string>& files) override { Sent.push_back(files); }
  void OnPickScreen(int i) override { Picks.push_back(i); }
  void OnRestart() override { ++Restarts; }
  std::unique_ptr<IViewerRecorder> CreateRecorder(const std::string& path, int w, int h, int fps, std::string&) {
    RecordPath = path;
    RecordSize = {w, h};
    EXPECT_EQ(fps, 15);
    return std::make_unique<TFakeRecorder>(&Frames, path + WrittenSuffix, FinishError);
  }
};

// Pointer moves are sent straight to the window: the offscreen platform has no real pointer.
void Move(QWidget* w, const QPoint& at, Qt::MouseButtons buttons = Qt::NoButton) {
  QMouseEvent e(QEvent::MouseMove, QPointF(at), w->mapToGlobal(QPointF(at)), Qt::NoButton, buttons, Qt::NoModifier);
  QCoreApplication::sendEvent(w, &e);
}

QImage Pattern(int w, int h) {
  QImage img(w, h, QImage::Format_RGB32);
  img.fill(QColor(0x336699));
  return img;
}

class Viewer : public ::testing::Test {
 protected:
  void SetUp() override {
    test::EnsureApp();
    FForm = new TViewerForm("Tovik - 123 456 789");
    FForm->SetEvents(&FHost);
    FForm->MakeRecorder = [this](const std::string& path, int w, int h, int fps, std::string& error) {
      return FHost.CreateRecorder(path, w, h, fps, error);
    };
    FForm->resize(1280, 760);
  }
  void TearDown() override { delete FForm.data(); }
  QPointer<TViewerForm> FForm;
  TFakeHost FHost;
  TManualClock FClock;
};

TEST_F(Viewer, ClicksMapToHostPixelsInEachMode) {
  FForm->ShowPicture(Pattern(1920, 1080));
  FForm->show();
  for (int mode : {0, 1, 2}) {
    FForm->SetViewMode(mode);
    FHost.Inputs.clear();
    const TVRect d = FForm->Dest();
    // The centre of host pixel (960, 540) as drawn.
    const QPoint at(d.Left + static_cast<int>((960.5) * d.Width / 1920), d.Top + static_cast<int>(540.5 * d.Height / 1080));
    QTest::mouseClick(FForm, Qt::RightButton, {}, at);
    ASSERT_EQ(FHost.Inputs.size(), 2u) << mode;
    EXPECT_EQ(FHost.Inputs[0], (TInputEvent{0, ikButtonDown, 960, 540, 1})) << mode;
    EXPECT_EQ(FHost.Inputs[1], (TInputEvent{0, ikButtonUp, 960, 540, 1})) << mode;
  }
  // Moves are sent once per host pixel.
  FForm->SetViewMode(0);
  FHost.Inputs.clear();
  const TVRect d = FForm->Dest();
  Move(FForm, QPoint(d.Left + 100, d.Top + 100));
  Move(FForm, QPoint(d.Left + 100, d.Top + 100));
  ASSERT_EQ(FHost.Inputs.size(), 1u);
  EXPECT_EQ(FHost.Inputs[0].Kind, ikMove);
}

TEST_F(Viewer, NoInputWithoutPictureOrHost) {
  FForm->show();
  QTest::mouseClick(FForm, Qt::LeftButton, {}, QPoint(400, 400));
  EXPECT_TRUE(FHost.Inputs.empty());
  FForm->ShowPicture(Pattern(100, 100));
  FForm->SetEvents(nullptr);
  QTest::mouseClick(FForm, Qt::LeftButton, {}, QPoint(400, 400));
  EXPECT_TRUE(FHost.Inputs.empty());
}

// The window reads native key data through the key backend it was given, not through a global one.
TEST_F(Viewer, KeysGoThroughTheWindowsOwnKeyBackend) {
  struct TAzerty final : IViewerKeys {
    int VirtualKeyOf(std::uint32_t ANative, std::uint32_t AScan) const override {
      return ANative == 'q' && AScan == 38 ? 'Q' : 0;  // the key at US 'A' types q
    }
  };
  FForm->ShowPicture(Pattern(800, 600));
  FForm->show();
  QKeyEvent down(QEvent::KeyPress, Qt::Key_A, Qt::NoModifier, 38, 'q', 0, "q");
  QCoreApplication::sendEvent(FForm, &down);
  FForm->SetKeys(std::make_shared<TAzerty>());
  QCoreApplication::sendEvent(FForm, &down);
  ASSERT_EQ(FHost.Inputs.size(), 2u);
  EXPECT_EQ(FHost.Inputs[0].Data, 'A');  // no backend: Qt's key number
  EXPECT_EQ(FHost.Inputs[1].Data, 'Q');
}

TEST_F(Viewer, KeysBecomeVirtualKeysAndF11StaysLocal) {
  FForm->ShowPicture(Pattern(800, 600));
  FForm->show();
  QTest::keyClick(FForm, Qt::Key_A);
  QTest::keyClick(FForm, Qt::Key_Tab);
  QTest::keyClick(FForm, Qt::Key_Left);
  const std::vector<std::pair<std::uint8_t, int>> want = {
      {ikKeyDown, 'A'}, {ikKeyUp, 'A'}, {ikKeyDown, vk::Tab}, {ikKeyUp, vk::Tab}, {ikKeyDown, 0x25}, {ikKeyUp, 0x25}};
  ASSERT_EQ(FHost.Inputs.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i) {
    EXPECT_EQ(FHost.Inputs[i].Kind, want[i].first) << i;
    EXPECT_EQ(FHost.Inputs[i].Data, want[i].second) << i;
    // The pointer may be anywhere: the position is clamped into the picture.
    EXPECT_GE(FHost.Inputs[i].X, 0);
    EXPECT_LT(FHost.Inputs[i].X, 800);
    EXPECT_GE(FHost.Inputs[i].Y, 0);
    EXPECT_LT(FHost.Inputs[i].Y, 600);
  }
  // Auto-repeat sends repeated key-downs and one key-up.
  FHost.Inputs.clear();
  QKeyEvent down1(QEvent::KeyPress, Qt::Key_B, Qt::NoModifier, "b", false);
  QKeyEvent upR(QEvent::KeyRelease, Qt::Key_B, Qt::NoModifier, "b", true);
  QKeyEvent down2(QEvent::KeyPress, Qt::Key_B, Qt::NoModifier, "b", true);
  QKeyEvent up(QEvent::KeyRelease, Qt::Key_B, Qt::NoModifier, "b", false);
  for (QKeyEvent* e : {&down1, &upR, &down2, &up}) QCoreApplication::sendEvent(FForm, e);
  ASSERT_EQ(FHost.Inputs.size(), 3u);
  EXPECT_EQ(FHost.Inputs[2].Kind, ikKeyUp);

  FHost.Inputs.clear();
  QTest::keyClick(FForm, Qt::Key_F11);
  EXPECT_TRUE(FHost.Inputs.empty());
  QCoreApplication::processEvents();
  EXPECT_TRUE(FForm->FullScreen());
  EXPECT_FALSE(FForm->ToolBarShown());
  EXPECT_TRUE(FForm->FullScreenBar()->isVisible());
  QTest::keyClick(FForm, Qt::Key_F11);
  QCoreApplication::processEvents();
  EXPECT_FALSE(FForm->FullScreen());
  EXPECT_TRUE(FForm->ToolBarShown());
  EXPECT_TRUE(FHost.Inputs.empty());
}

TEST_F(Viewer, FullScreenInsideATabComesBack) {
  QWidget tab;
  tab.resize(1000, 700);
  FForm->setParent(&tab);
  FForm->setGeometry(0, 0, 1000, 700);
  tab.show();
  FForm->SetFullScreen(true);
  EXPECT_TRUE(FForm->isWindow());
  FForm->SetFullScreen(false);
  EXPECT_EQ(FForm->parentWidget(), &tab);
  EXPECT_EQ(FForm->geometry(), QRect(0, 0, 1000, 700));
  FForm->setParent(nullptr);
}

TEST_F(Viewer, FullScreenBarHidesTwoSecondsAfterThePointerLeaves) {
  FForm->show();
  FForm->SetFullScreen(true);
  QWidget* bar = FForm->FullScreenBar();
  const QPoint far(FForm->width() / 2, FForm->height() / 2);
  FClock.Advance(3400);
  FForm->FullScreenTickAt(far);
  EXPECT_TRUE(bar->isVisible());  // 1.5 s grace + 2 s
  FClock.Advance(200);
  FForm->FullScreenTickAt(far);
  EXPECT_FALSE(bar->isVisible());
  FForm->FullScreenTickAt(QPoint(far.x(), 2));  // pointer at the top edge
  EXPECT_TRUE(bar->isVisible());
  FForm->SetFullScreen(false);
}

TEST_F(Viewer, EdgePanningInOriginalSize) {
  FForm->ShowPicture(Pattern(2560, 1440));
  FForm->show();
  FForm->SetViewMode(2);
  const int w = FForm->width(), h = FForm->height();
  EXPECT_FALSE(FForm->PanTickAt(QPoint(0, 400)));  // already at the left
  EXPECT_TRUE(FForm->PanTickAt(QPoint(w - 1, 400)));
  EXPECT_EQ(FForm->Scroll(), (TVPoint{16, 0}));
  EXPECT_TRUE(FForm->PanTickAt(QPoint(w - 28, h - 1)));
  EXPECT_EQ(FForm->Scroll(), (TVPoint{18, 16}));
  EXPECT_FALSE(FForm->PanTickAt(QPoint(w - 1, 20)));  // over the tool bar
  for (int i = 0; i < 200; ++i) FForm->PanTickAt(QPoint(w - 1, h - 1));
  EXPECT_EQ(FForm->Scroll(), (TVPoint{2560 - w, 1440 - (h - TViewerForm::BarHeight)}));
  EXPECT_FALSE(FHost.Inputs.empty());  // the other pointer follows

  FForm->ShowPicture(Pattern(400, 300));  // smaller than the window: centred, no panning
  EXPECT_FALSE(FForm->PanTickAt(QPoint(w - 1, h - 1)));
  const TVRect d = FForm->Dest();
  EXPECT_EQ(d.Left, (w - 400) / 2);
  FForm->SetViewMode(0);
  EXPECT_FALSE(FForm->PanTickAt(QPoint(w - 1, h - 1)));
}

TEST_F(Viewer, EdgeEventsAndWarp) {
  FForm->ShowPicture(Pattern(1920, 1080));
  FForm->show();
  const TVRect d = FForm->Dest();
  Move(FForm, QPoint(d.Right() - 1, d.Top + d.Height / 2));
  ASSERT_FALSE(FHost.Edges.empty());
  EXPECT_EQ(FHost.Edges.back().first, 1);
  EXPECT_NEAR(FHost.Edges.back().second, 0.5, 0.01);
  Move(FForm, QPoint(d.Left, d.Top));
  EXPECT_EQ(FHost.Edges.back().first, -1);
  // Dragging with the left button held is no edge.
  const size_t edges = FHost.Edges.size();
  Move(FForm, QPoint(d.Right() - 1, d.Top + 5), Qt::LeftButton);
  EXPECT_EQ(FHost.Edges.size(), edges);
}

TEST_F(Viewer, ToolBarLayoutAtSeveralWidths) {
  FForm->show();
  auto check = [&](int width, bool compact, int info) {
    FForm->resize(width, 700);
    auto* chat = static_cast<TBarButton*>(FForm->Item(TViewerForm::biChat));
    EXPECT_EQ(chat->Compact(), compact) << width;
    EXPECT_EQ(FForm->InfoWidth(), info) << width;
    EXPECT_EQ(FForm->CloseButton()->geometry().right() + 1, width - 14) << width;
    EXPECT_EQ(FForm->Item(TViewerForm::biChat)->x(), info + 19) << width;
  };
  check(1920, false, 250);
  check(1000, true, 250);
  check(640, true, 0);
  // Two screens: the strip button joins the layout and the strip shows.
  FForm->resize(1920, 700);
  QWidget* thumbs = FForm->Item(TViewerForm::biThumbs);
  EXPECT_TRUE(thumbs->isHidden());
  FForm->SetScreens(2, 0);
  EXPECT_FALSE(thumbs->isHidden());
  EXPECT_GT(thumbs->x(), FForm->Item(TViewerForm::biRecord)->x());
  EXPECT_TRUE(FForm->StripPanel()->isVisible());
  EXPECT_EQ(FForm->StripPanel()->width(), 2 * 176 + 8);
  EXPECT_EQ(FForm->ScreenBox()->itemText(0), "Screen 1 (main)");
  EXPECT_TRUE(FForm->ScreenBox()->isEnabled());
  FForm->ScreenChosen(1);
  EXPECT_EQ(FHost.Picks, std::vector<int>{1});
  EXPECT_EQ(FForm->CurrentScreen(), 1);
  FForm->SelectScreen(0);  // edge switching: no pick event
  EXPECT_EQ(FHost.Picks.size(), 1u);
  QTest::mouseClick(thumbs, Qt::LeftButton);
  EXPECT_FALSE(FForm->StripPanel()->isVisible());
  FForm->SetScreens(1, 0);
  EXPECT_TRUE(thumbs->isHidden());
}

TEST_F(Viewer, VideoTargetRefusesSizesNoScreenHas) {
  std::uint8_t* bits = nullptr;
  int stride = -1;
  for (auto [w, h] : {std::pair{0, 10}, std::pair{10, -1}, std::pair{100000, 100000}, std::pair{16385, 2}}) {
    FForm->VideoTarget(w, h, bits, stride);
    EXPECT_EQ(bits, nullptr) << w << "x" << h;
    EXPECT_EQ(stride, 0);
  }
  FForm->VideoTarget(64, 1, bits, stride);
  ASSERT_NE(bits, nullptr);
  EXPECT_EQ(stride, 256);
  FForm->VideoTarget(640, 480, bits, stride);
  ASSERT_NE(bits, nullptr);
  EXPECT_EQ(stride, 2560);
  bits[0] = 0x12;  // blue of pixel (0, 0)
  FForm->VideoDone();
  EXPECT_EQ(FForm->Picture().pixel(0, 0) & 0xFF, 0x12u);
  FForm->SetScreens(3, 7);  // main index out of range
  EXPECT_EQ(FForm->CurrentScreen(), 0);
}

// A PC that is itself viewing another one: its capturer blanks the viewer's area, so the helper
// watching this PC sees no picture-in-picture mirror of their own screen.
TEST_F(Viewer, ItsAreaIsBlankedInCaptures) {
  FForm->setGeometry(100, 50, 640, 400);
  FForm->show();
  const std::vector<TOwnWindowRect> rects = OwnWindowRects();
  ASSERT_EQ(rects.size(), 1u);
  const QRect frame = FForm->frameGeometry();
  EXPECT_EQ(rects[0], (TOwnWindowRect{frame.x(), frame.y(), frame.width(), frame.height()}));
  std::vector<std::uint32_t> screen(1024 * 768, 0xFF00FF00);
  BlankOwnWindows(reinterpret_cast<std::uint8_t*>(screen.data()), 1024, 768, 1024 * 4, 0, 0, rects, 0xFF000000);
  EXPECT_EQ(screen[200 * 1024 + 300], 0xFF000000u);  // inside the viewer
  EXPECT_EQ(screen[10 * 1024 + 10], 0xFF00FF00u);    // elsewhere
  FForm->hide();
  EXPECT_TRUE(OwnWindowRects().empty());
}

TEST_F(Viewer, TransferPanelAndFps) {
  FForm->show();
  FForm->SetTransfer("report.pdf", 50, 200, 2);
  EXPECT_TRUE(FForm->TransferPanel()->isVisible());
  EXPECT_EQ(FForm->TransferPanel()->geometry().right() + 1, FForm->CloseButton()->x() - 4);
  FForm->SetTransfer("", 0, 0, 0);
  EXPECT_FALSE(FForm->TransferPanel()->isVisible());

  FForm->FpsTick();
  EXPECT_EQ(FForm->Fps(), -1);
  for (int i = 0; i < 3; ++i) FForm->ShowPicture(Pattern(64, 64));
  FForm->FpsTick();
  EXPECT_EQ(FForm->Fps(), 3);
  FForm->FpsTick();
  EXPECT_EQ(FForm->Fps(), 0);
}

TEST_F(Viewer, DroppedFilesLeaveFoldersOut) {
  FForm->show();
  QTemporaryDir dir;
  const QString a = dir.filePath("a.txt"), b = dir.filePath("b.txt");
  for (const QString& f : {a, b}) {
    QFile file(f);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  }
  QMimeData mime;
  mime.setUrls({QUrl::fromLocalFile(a), QUrl::fromLocalFile(dir.path()), QUrl::fromLocalFile(b)});
  FForm->SendDropped(mime);
  ASSERT_EQ(FHost.Sent.size(), 1u);
  EXPECT_EQ(FHost.Sent[0], (std::vector<std::string>{a.toStdString(), b.toStdString()}));

  QMimeData folderOnly;
  folderOnly.setUrls({QUrl::fromLocalFile(dir.path())});
  FForm->SendDropped(folderOnly);
  EXPECT_EQ(FHost.Sent.size(), 1u);
}

TEST_F(Viewer, RecordingSizeNameAndMessages) {
  QTemporaryDir dir;
  FForm->SetRecordFolder(dir.path());
  QStringList shown;
  FForm->DialogHook = [&](const QString& kind, const QString& text) {
    shown << kind + ": " + text;
    return QStringList{};
  };
  auto* rec = static_cast<TBarButton*>(FForm->Item(TViewerForm::biRecord));
  QTest::mouseClick(rec, Qt::LeftButton);
  ASSERT_EQ(shown.size(), 1);
  EXPECT_EQ(shown[0], "info: There is no picture to record yet.");
  EXPECT_FALSE(FForm->Recording());

  FForm->ShowPicture(Pattern(2560, 1440));
  QTest::mouseClick(rec, Qt::LeftButton);
  EXPECT_TRUE(FForm->Recording());
  EXPECT_EQ(FHost.RecordSize, (TVPoint{1920, 1080}));
  EXPECT_EQ(FHost.Frames, 1);  // the first frame at once
  const QString name = QFileInfo(QString::fromStdString(FHost.RecordPath)).fileName();
  EXPECT_TRUE(QRegularExpression("^Tovik \\d{4}-\\d\\d-\\d\\d \\d\\d\\.\\d\\d\\.\\d\\d\\.mp4$").match(name).hasMatch())
      << name.toStdString();
  EXPECT_EQ(rec->Caption(), "Stop");
  QTest::mouseClick(rec, Qt::LeftButton);
  EXPECT_FALSE(FForm->Recording());
  EXPECT_EQ(rec->Caption(), "Record");
  EXPECT_EQ(shown.last(), "info: Recording saved:\r\n" + QString::fromStdString(FHost.RecordPath));

  // The file the recorder really wrote is the one reported; a file that could not be completed is
  // never reported as saved.
  struct TCase {
    const char* Suffix;
    const char* FinishError;
    QString Shown;  // after the name asked for, or the whole message
  } const cases[] = {{" (2)", "", "info: Recording saved:\r\n"},
                     {"", "write: No space left on device", "error: Recording stopped: write: No space left on device"}};
  for (const TCase& c : cases) {
    FHost.WrittenSuffix = c.Suffix;
    FHost.FinishError = c.FinishError;
    QTest::mouseClick(rec, Qt::LeftButton);
    ASSERT_TRUE(FForm->Recording());
    QTest::mouseClick(rec, Qt::LeftButton);
    EXPECT_FALSE(FForm->Recording());
    if (*c.FinishError)
      EXPECT_EQ(shown.last(), c.Shown);
    else
      EXPECT_EQ(shown.last(), c.Shown + QString::fromStdString(FHost.RecordPath) + c.Suffix);
  }
}

TEST_F(Viewer, FreedWhileTheRestartQuestionIsOpen) {
  FForm->DialogHook = [&](const QString& kind, const QString&) {
    EXPECT_EQ(kind, "restart");
    FForm->FreeSafely();  // the session ends while the question is open
    EXPECT_FALSE(FForm.isNull());
    return QStringList{"yes"};
  };
  QTest::mouseClick(FForm->Item(TViewerForm::biRestart), Qt::LeftButton);
  EXPECT_EQ(FHost.Restarts, 0);
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_TRUE(FForm.isNull());
}

// The usual way a session ends from the helper's side: Disconnect, and the session frees the window
// from inside that click.
class TFreeingHost : public TFakeHost {
 public:
  TViewerForm* Form = nullptr;
  void OnUserClose() override {
    ++Closes;
    Form->FreeSafely();
  }
};

TEST_F(Viewer, FreedFromItsOwnDisconnectClick) {
  TFreeingHost host;
  host.Form = FForm;
  FForm->SetEvents(&host);
  FForm->show();
  QTest::mouseClick(FForm->CloseButton(), Qt::LeftButton);
  EXPECT_EQ(host.Closes, 1);
  EXPECT_FALSE(FForm->isVisible());
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_TRUE(FForm.isNull());
}

TEST_F(Viewer, RestartConfirmedAndClose) {
  FForm->DialogHook = [](const QString&, const QString&) { return QStringList{"yes"}; };
  QTest::mouseClick(FForm->Item(TViewerForm::biRestart), Qt::LeftButton);
  EXPECT_EQ(FHost.Restarts, 1);
  QTest::mouseClick(FForm->CloseButton(), Qt::LeftButton);
  FForm->show();
  FForm->close();
  EXPECT_EQ(FHost.Closes, 2);
  EXPECT_FALSE(FForm.isNull());  // the window never frees itself
}

}  // namespace
}  // namespace tovik
