// The connection test window: runs the test's steps (diag/TovikDiag.h) on a worker thread and shows
// the report as it grows; "Test again", "Copy report" and "Close".
//
// Threads: the window lives on the GUI thread. Each run starts one detached worker thread that owns
// its network object and a copy of the setup; it hands every line to the GUI thread in a queued call
// guarded by a liveness token. Closing or destroying the window never waits for the worker: it clears
// the token and asks the worker to stop, and lines that arrive later are dropped. The worker ends by
// itself after the pending time-out at most.
#pragma once

#include <QWidget>

#include <functional>
#include <memory>

#include "diag/TovikDiag.h"

class QLabel;
class QPlainTextEdit;
class QPushButton;

namespace tovik {

class TDiagForm : public QWidget {
  Q_OBJECT
 public:
  using TNetFactory = std::function<std::unique_ptr<IDiagNet>()>;
  // The first run starts when the window is shown (Run).
  TDiagForm(TDiagSetup setup, TNetFactory net, QWidget* owner);
  ~TDiagForm() override;

  // Starts a run unless one is running: clears the report and disables "Test again".
  void Run();
  bool Running() const;
  QString Report() const;
  void CopyReport();

  QPlainTextEdit* Memo() const { return FMemo; }
  QPushButton* RunButton() const { return FRunBtn; }
  QPushButton* CopyButton() const { return FCopyBtn; }
  QLabel* Note() const { return FNote; }

 protected:
  void keyPressEvent(QKeyEvent* e) override;

 private:
  struct TToken;
  void AddLine(const QString& line);
  void Finished();

  TDiagSetup FSetup;
  TNetFactory FNet;
  std::shared_ptr<TToken> FToken;  // of the run in progress; null when idle
  QPlainTextEdit* FMemo = nullptr;
  QPushButton* FRunBtn = nullptr;
  QPushButton* FCopyBtn = nullptr;
  QLabel* FNote = nullptr;
};

}  // namespace tovik
