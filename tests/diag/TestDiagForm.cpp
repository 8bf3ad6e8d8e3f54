// The connection test window: a run fills the report and ends; Copy report; closing never waits for
// the worker and drops its late lines; pictures in Day and Night.
#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QtTest/QTest>

#include <future>

#include "app/ui/TovikTheme.h"
#include "diag/ui/TovikDiagForm.h"
#include "tests/app/UiTestApp.h"

namespace tovik {
namespace {

// A network where nothing is found. Resolve may wait for a gate (a worker stuck in a time-out);
// destroying the object (the worker's end) is reported through Gone.
struct TGatedNet : IDiagNet {
  std::shared_future<void> Gate;
  std::promise<void>* Gone = nullptr;
  ~TGatedNet() override {
    if (Gone) Gone->set_value();
  }
  std::vector<std::string> LocalAddresses() override { return {"192.0.2.10"}; }
  bool Resolve(const std::string&, std::string&, std::string& error) override {
    if (Gate.valid()) Gate.wait();
    error = "no such host";
    return false;
  }
  std::unique_ptr<IDiagUdp> OpenUdp(std::string& error) override {
    error = "no network";
    return nullptr;
  }
  std::unique_ptr<IDiagTcp> ConnectTcp(const std::string&, std::uint16_t, std::int64_t, std::string& error) override {
    error = "no network";
    return nullptr;
  }
  bool HttpHead(const std::string&, std::int64_t, int&, std::string& error) override {
    error = "no network";
    return false;
  }
};

TDiagSetup OfflineSetup() {
  TDiagSetup s;
  s.Host = "relay.example";
  s.UdpPort = 5000;
  s.TcpPorts = {443};
  s.Build = "1234";
  s.System = "Linux";
  s.State = "Offline";
  return s;
}

class DiagForm : public ::testing::Test {
 protected:
  DiagForm() { test::EnsureApp(); }
  static void RunToEnd(TDiagForm& f) { ASSERT_TRUE(QTest::qWaitFor([&] { return !f.Running(); }, 30000)); }
};

TEST_F(DiagForm, ARunFillsTheReportAndCopyPutsItOnTheClipboard) {
  TDiagForm f(OfflineSetup(), [] { return std::make_unique<TGatedNet>(); }, nullptr);
  EXPECT_EQ(f.windowTitle(), "Test the connection");
  f.show();
  f.Run();
  EXPECT_FALSE(f.RunButton()->isEnabled());
  RunToEnd(f);
  EXPECT_TRUE(f.RunButton()->isEnabled());
  const QString report = f.Report();
  EXPECT_TRUE(report.startsWith("Tovik connection test, "));
  EXPECT_TRUE(report.contains("Local addresses: 192.0.2.10"));
  EXPECT_TRUE(report.contains("[Server over the TCP fallback, port 443]\nSkipped: the name was not found."));
  EXPECT_TRUE(report.endsWith("End of the test."));
  f.CopyReport();
  EXPECT_EQ(QApplication::clipboard()->text(), report);
  EXPECT_EQ(f.Note()->text(), "The report is on the clipboard. Paste it in an e-mail or chat.");
}

// Closing while the worker is stuck in a call: the window goes at once (the worker is still held),
// and the worker's later lines are dropped.
TEST_F(DiagForm, CloseNeverWaitsForTheWorker) {
  std::promise<void> gate, gone;
  auto* f = new TDiagForm(
      OfflineSetup(),
      [&] {
        auto n = std::make_unique<TGatedNet>();
        n->Gate = gate.get_future().share();
        n->Gone = &gone;
        return n;
      },
      nullptr);
  f->show();
  f->Run();
  ASSERT_TRUE(QTest::qWaitFor([&] { return f->Report().contains("[Name lookup]"); }, 30000));
  delete f;  // returns while the worker waits at the gate
  gate.set_value();
  gone.get_future().wait();  // the worker ended by itself
  QCoreApplication::processEvents();  // its queued lines find no window
}

int Luma(QRgb c) { return (qRed(c) * 299 + qGreen(c) * 587 + qBlue(c) * 114) / 1000; }

TEST_F(DiagForm, ScreenshotsInDayAndNight) {
  const QString dir = QStringLiteral(TOVIK_SHOT_DIR);
  QDir().mkpath(dir);
  for (bool dark : {false, true}) {
    ApplyTheme(dark);
    TDiagForm f(OfflineSetup(), [] { return std::make_unique<TGatedNet>(); }, nullptr);
    f.show();
    f.Run();
    RunToEnd(f);
    QTest::qWait(20);
    const QImage img = test::Shot(f);
    ASSERT_TRUE(img.save(dir + (dark ? "/diag-night.png" : "/diag-day.png")));
    const QRect memo(f.Memo()->viewport()->mapTo(&f, QPoint()), f.Memo()->viewport()->size());
    const QRgb back = img.pixel(memo.right() - 3, memo.bottom() - 3);
    EXPECT_TRUE(dark ? Luma(back) < 100 : Luma(back) > 180) << Luma(back);
    int ink = 0;  // the first report line is drawn in the memo
    for (int x = memo.left(); x < memo.left() + 300; ++x)
      for (int y = memo.top(); y < memo.top() + 18; ++y)
        if (std::abs(Luma(img.pixel(x, y)) - Luma(back)) > 80) ++ink;
    EXPECT_GT(ink, 30);
    for (QPushButton* b : {f.RunButton(), f.CopyButton()}) {
      EXPECT_LE(b->geometry().right(), f.width() - 1);
      EXPECT_LE(b->fontMetrics().horizontalAdvance(b->text()), b->width());
    }
  }
  ApplyTheme(false);
}

}  // namespace
}  // namespace tovik
