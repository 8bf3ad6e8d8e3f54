// The helper's window onto the other PC: tool bar, the picture with three view modes and edge
// panning, the screens strip, the transfer panel, full screen with its small bar, and mouse and
// keyboard turned into input events for the session, which it raises on the session's IViewerEvents
// (session/TovikSessionIntf.h) directly.
//
// GUI thread only. The session owns the window and frees it with FreeSafely, never with delete while
// one of the window's modal dialogs may be open. The window never frees itself on close.
#pragma once

#include <QElapsedTimer>
#include <QImage>
#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "base/TovikClock.h"
#include "media/TovikCapture.h"
#include "session/TovikSessionUi.h"
#include "session/TovikViewerMath.h"
#include "session/ui/TovikKeyMap.h"

class QComboBox;
class QLabel;
class QMenu;
class QMimeData;
class QProgressBar;

namespace tovik {

class TBarButton;
class TOwnWindowTracker;
class TViewerBar;
class TViewerStrip;

// A picture from the session (helper's photo, thumbnail) as a QImage; null when it is absent or its
// size does not match its pixels.
QImage PictureImage(const std::optional<TPicture24>& APicture);

class TViewerForm : public QWidget {
  Q_OBJECT
 public:
  static constexpr int BarHeight = 56;

  // Builds the window, 1280 × 760, centred, in the given view mode (the saved [Viewer] Scale).
  explicit TViewerForm(const QString& ACaption, int AViewMode = vmFitSmooth, QWidget* parent = nullptr);
  // Stops a running recording silently.
  ~TViewerForm() override;

  // The session's events; not owned, and must stay valid until detached. Null detaches (no more
  // events).
  void SetEvents(IViewerEvents* AEvents) { FEvents = AEvents; }
  // The window system's key backend the window reads key events with (shared with the program's other
  // viewer windows). None (the default, and in tests) = Qt's key numbers only.
  void SetKeys(std::shared_ptr<const IViewerKeys> AKeys) { FKeys = std::move(AKeys); }
  IViewerEvents* Events() const { return FEvents; }

  // The user picked a view mode (0 fit smooth, 1 fit sharp, 2 original size): the program stores
  // [Viewer] Scale. None = not stored.
  std::function<void(int)> OnViewMode;
  // Starts a recording; none = "video recording is not available in this build".
  TRecorderFactory MakeRecorder;

  // Detaches the events and frees the window: hidden at once and deleted when control is back in the
  // event loop (so a handler of the window's own events may call it), or, while one of its modal
  // dialogs is open, when that dialog closes (its outcome is then ignored).
  void FreeSafely();
  // Keys go to the picture rather than to the combo box.
  void FocusPicture();

  // The picture of the other PC is the window's own (a TScreenPicture): what comes in is copied or
  // decoded into it, and nothing outside the window keeps a pointer into it past one call.
  static constexpr int MaxPictureSide = 16384;
  // Paints one tile update (frame blob without its kind byte) into the picture, counts it and
  // repaints. Throws EScreenUpdate on a bad update, and the picture is then exactly as it was.
  void ShowUpdate(TByteView AUpdate);
  // The picture at AW × AH (32-bit, BGRA in memory) for a decoder to write in place: returns row 0 and
  // the byte step to row 1, valid until the next picture call; null bits (and stride 0) for a size
  // outside 1..MaxPictureSide or when memory runs out.
  void VideoTarget(int AW, int AH, std::uint8_t*& ABits, int& AStride);
  // The picture in the video target is complete: count it and repaint.
  void VideoDone();
  // Replaces the picture with a copy of `picture` (any format), counts it and repaints.
  void ShowPicture(const QImage& picture);
  // A copy of the picture (RGB32); null before the first one.
  QImage Picture() const;
  bool HasPicture() const { return PicW() > 0; }

  void SetNotice(const QString& AText);
  // The notice over the picture ("" when none).
  const QString& Notice() const { return FNotice; }
  void SetSessionInfo(const QString& ATitle, const QString& ASub);
  void SetScreens(int ACount, int AMain);
  void SelectScreen(int AIndex);
  void ThumbChanged(int AIndex);
  // Moves the local pointer just inside the opposite edge of the picture at the same relative height.
  void WarpToEdge(int ADir, double AFracY);
  // ATotal 0 hides the transfer panel.
  void SetTransfer(const QString& AName, qint64 ADone, qint64 ATotal, int ALeft);
  void RequestClose();
  // A screen picked in the combo box or the strip: raises OnPickScreen and shows it as current.
  void ScreenChosen(int index);
  void SetFullScreen(bool AOn);
  bool FullScreen() const { return FFull; }
  int CurrentScreen() const { return FCurrentScreen; }
  void SetViewMode(int mode);
  int ViewMode() const { return FViewMode; }
  void SetRecordFolder(const QString& folder) { FRecordFolder = folder; }
  bool Recording() const { return FRec != nullptr; }
  bool Muted() const { return FMuted; }

  // Placement of the picture in client coordinates (computed for the current size).
  TVRect Dest();
  TVPoint Scroll() const { return FScroll; }
  // One pan step with the pointer at `client`, as the 25 ms timer does; returns whether it scrolled.
  bool PanTickAt(const QPoint& client);
  // One full-screen bar step with the pointer at `client`, as the 200 ms timer does.
  void FullScreenTickAt(const QPoint& client);
  // The one-second fps tick.
  void FpsTick();
  // One frame of a running recording, as the recording timer does 15 times a second.
  void RecordTick();
  int Fps() const { return FFps; }
  int InfoWidth() const { return FInfoW; }
  bool ToolBarShown() const;
  QWidget* FullScreenBar() const { return FFsBar; }
  QWidget* StripPanel() const;
  QWidget* TransferPanel() const { return FXfer; }

  // Tool-bar items, for tests and screenshots.
  enum TItem { biChat, biSend, biSpacer1, biScreens, biView, biFull, biSpacer2, biMute, biAdmin, biRestart,
               biRecord, biThumbs, biCount };
  QWidget* Item(TItem item) const { return FBarItems[item]; }
  TBarButton* CloseButton() const { return FCloseBtn; }
  QComboBox* ScreenBox() const { return FScreenBox; }

  // Existing files among dropped items (folders and non-local items are left out), and sending them.
  static std::vector<std::string> DroppedFiles(const QMimeData& data);
  void SendDropped(const QMimeData& data);

  // Test hook: replaces the modal dialogs (restart question, file dialog, messages). The function
  // receives a dialog name ("restart", "files", "info", "error") and text, and returns the answer
  // (for "files": the chosen paths); null means the real dialogs.
  std::function<QStringList(const QString& kind, const QString& text)> DialogHook;

 protected:
  void paintEvent(QPaintEvent*) override;
  void resizeEvent(QResizeEvent*) override;
  void mouseMoveEvent(QMouseEvent*) override;
  void mousePressEvent(QMouseEvent*) override;
  void mouseReleaseEvent(QMouseEvent*) override;
  void wheelEvent(QWheelEvent*) override;
  void keyPressEvent(QKeyEvent*) override;
  void keyReleaseEvent(QKeyEvent*) override;
  void closeEvent(QCloseEvent*) override;
  void dragEnterEvent(QDragEnterEvent*) override;
  void dropEvent(QDropEvent*) override;
  bool event(QEvent*) override;
  bool focusNextPrevChild(bool) override { return false; }

 private:
  friend class TViewerBar;
  friend class TViewerStrip;
  void Relayout();
  void UpdateStrip();
  void Input(std::uint8_t kind, const QPoint& client, std::int32_t data);
  void HandleMove(const QPoint& client, Qt::MouseButtons buttons);
  void PostToggleFull();
  void ToggleMute();
  void ToggleRecord();
  void StopRecording(bool report);
  void AskRestart();
  void PickFiles();
  void ShowViewMenu();
  void ToggleToolBar();
  void PlaceFsBar();
  void CountPicture();
  // Runs a modal dialog; returns false when the window was released meanwhile (then it is freed
  // after return and the result must be ignored).
  bool RunDialog(const std::function<void()>& dialog);
  QStringList Ask(const QString& kind, const QString& text, const std::function<QStringList()>& real);
  int PicW() const { return FPicture.Picture().Width(); }
  int PicH() const { return FPicture.Picture().Height(); }
  // The picture as a QImage over the window's own pixels, for one paint or one recorded frame: never
  // kept, and void after the next picture call.
  QImage PictureView() const;

  IViewerEvents* FEvents = nullptr;
  std::shared_ptr<const IViewerKeys> FKeys;
  TViewerBar* FBar = nullptr;
  QString FInfoTitle = QStringLiteral("Connecting...");
  QString FInfoSub;
  int FInfoW = 250;
  std::vector<TVRect> FTrays;
  int FFrameCount = 0;
  int FFps = -1;
  QTimer FFpsTimer;
  QComboBox* FScreenBox = nullptr;
  TBarButton* FMuteBtn = nullptr;
  bool FMuted = false;
  TBarButton* FCloseBtn = nullptr;
  QWidget* FBarItems[biCount] = {};
  // Items that should show; the layout may still leave some out when the bar is too narrow.
  bool FItemWanted[biCount] = {true, true, true, true, true, true, true, true, true, true, true, true};
  TBarButton* FThumbBtn = nullptr;
  TViewerStrip* FStrip = nullptr;
  bool FStripOpen = true;
  int FCurrentScreen = 0;
  QWidget* FXfer = nullptr;
  QLabel* FXferLabel = nullptr;
  QProgressBar* FXferBar = nullptr;
  TBarButton* FRecBtn = nullptr;
  std::unique_ptr<IViewerRecorder> FRec;
  QTimer FRecTimer;
  QElapsedTimer FRecClock;  // since the recording started: the frames' times
  QImage FRecFrame;
  QString FRecFile;
  QString FRecordFolder;
  TScreenPicture FPicture;
  TVRect FDest;
  int FLastMoveX = -1, FLastMoveY = -1;
  QString FNotice;
  bool FInDialog = false;
  bool FFreeAfterDialog = false;
  TBarButton* FViewBtn = nullptr;
  QMenu* FViewMenu = nullptr;
  int FViewMode = vmFitSmooth;
  TVPoint FScroll;
  QTimer FPanTimer;
  TBarButton* FFullBtn = nullptr;
  bool FFull = false;
  QPointer<QWidget> FHomeParent;
  QRect FHomeBounds;
  bool FHomeMaximized = false;
  QWidget* FFsBar = nullptr;
  TBarButton* FFsBarBtn = nullptr;
  QTimer FFsTimer;
  TTick FFsSeen = 0;
  TOwnWindowTracker* FTracker = nullptr;
};

}  // namespace tovik
