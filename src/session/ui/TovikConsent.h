// The consent dialog of the helped PC and the stop bar shown during an allowed session.
// GUI thread only.
#pragma once

#include <QDialog>
#include <QImage>
#include <QLabel>
#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <functional>

#include "base/TovikClock.h"
#include "session/TovikSessionUi.h"

namespace tovik {

class TBarButton;
class TOwnWindowTracker;

// The 30-second countdown, driven by the tick clock so that late timer ticks cannot stretch it.
class TConsentCountdown {
 public:
  static constexpr int Seconds = 30;
  void Start(TTick now) {
    FStart = now;
    FLeft = Seconds;
  }
  // Recomputes the seconds left; returns true once the time is up.
  bool Tick(TTick now);
  int Left() const { return FLeft; }

 private:
  TTick FStart = 0;
  int FLeft = Seconds;
};

// The countdown line for `left` seconds.
QString ConsentCountdownText(int left);
// Where the helper connects from: "Connecting from <address>", or "Connecting through the server"
// for a link through the relay (an empty address, or one without a host part such as ":0").
QString ConsentSourceText(const QString& AAddress);

// The brand shown on the dialog; set by the main window (either may be empty).
void SetConsentBrand(const QString& name, const QString& logoPath);

class TConsentForm : public QDialog {
  Q_OBJECT
 public:
  // AHelper may be empty; APicture may be null; AAddress is empty for a link through the server.
  TConsentForm(const QString& AHelper, const QString& AAddress, const QString& ACheckNumber,
               const QImage& APicture, QWidget* parent = nullptr);
  ~TConsentForm() override;
  TConsentAnswer Answer() const { return FAnswer; }
  // Reads the clock and updates the countdown; closes with caDeny at 0. The 250 ms timer calls it.
  void CountdownTick();
  // Answers as if the matching button was clicked.
  void Choose(TConsentAnswer answer);
  QString CountdownLine() const;
  QString HeadLine() const;
  bool TimerActive() const { return FTimer.isActive(); }
  // Labels and answer buttons, for tests and screenshots.
  QWidget* AnswerButton(TConsentAnswer answer) const;
  bool HasPicture() const { return FPicture != nullptr; }
  int TextColumnWidth() const;

 protected:
  void keyPressEvent(QKeyEvent* e) override;
  bool eventFilter(QObject* o, QEvent* e) override;
  void closeEvent(QCloseEvent* e) override;

 private:
  void Finish(TConsentAnswer answer);
  TConsentAnswer FAnswer = caDeny;
  TConsentCountdown FClock;
  QLabel* FCountdown = nullptr;
  QLabel* FHead = nullptr;
  QLabel* FPicture = nullptr;
  QWidget* FButtons[3] = {};
  QTimer FTimer;
  bool FDone = false;
};

// Shows the dialog modally and returns the answer.
TConsentAnswer ShowConsent(const QString& AHelper, const QString& AAddress, const QString& ACheckNumber,
                           const QImage& APicture);

// Shows the dialog without blocking; `done` is called once with the answer unless the returned form
// is abandoned first (TConsentForm::Abandon via AbandonConsent). The form deletes itself on close.
QPointer<TConsentForm> AskConsent(const QString& AHelper, const QString& AAddress, const QString& ACheckNumber,
                                  const QImage& APicture, std::function<void(TConsentAnswer)> done);
// Closes a dialog from AskConsent without calling its callback (the session ended meanwhile).
void AbandonConsent(const QPointer<TConsentForm>& form);

// The text of the stop bar.
QString StopBarText(const QString& helper, TConsentAnswer mode, bool paused);

// A red always-on-top bar on the helped PC for every allowed session: who is connected, in which mode,
// with Pause/Resume and Stop. It cannot be closed by the user other than with Stop; the session
// deletes it when the session ends.
class TStopBar : public QWidget {
  Q_OBJECT
 public:
  TStopBar(const QString& helper, TConsentAnswer mode);
  ~TStopBar() override;
  void SetMode(TConsentAnswer mode);
  void SetPaused(bool paused);
  bool Paused() const { return FPaused; }
  QString Text() const;
  // Stop: the session must end at once; raised from the event loop right after the click, so the
  // handler may delete the bar. Pause: the new paused state.
  std::function<void()> OnStop;
  std::function<void(bool)> OnPause;
  QWidget* StopButton() const;
  QWidget* PauseButton() const;
  // Places the bar at the top centre of the primary screen's work area.
  void PlaceOnScreen();

 protected:
  void paintEvent(QPaintEvent*) override;
  void closeEvent(QCloseEvent* e) override;
  void mousePressEvent(QMouseEvent* e) override;
  void mouseMoveEvent(QMouseEvent* e) override;
  void resizeEvent(QResizeEvent*) override;

 private:
  void Relayout();
  QString FHelper;
  TConsentAnswer FMode;
  bool FPaused = false;
  QLabel* FLabel = nullptr;
  TBarButton* FPause = nullptr;
  TBarButton* FStop = nullptr;
  QPoint FDragFrom;
  TOwnWindowTracker* FTracker = nullptr;
};

}  // namespace tovik
