#include "session/ui/TovikViewer.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QComboBox>
#include <QCursor>
#include <QDateTime>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QPaintEvent>
#include <QPainter>
#include <QRegion>
#include <QProgressBar>
#include <QScreen>
#include <QStandardPaths>
#include <QWindow>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

#include "app/ui/TovikButtons.h"
#include "app/ui/TovikTheme.h"
#include "session/ui/TovikOwnWindowTracker.h"
#include "session/ui/TovikKeyMap.h"

namespace tovik {

namespace {

const QColor kPictureBack(0x1A1C20), kStrip(0x202830), kNotice(0xF09020), kPlaceholder(0xC0C0C0);

struct TBarColors {
  QColor Back, Line, Tray, Text, Muted;
};

TBarColors BarColors() {
  if (IsDark()) return {QColor(0x2B2B2B), QColor(0x3D3D3D), QColor(0x202020), QColor(0xF0F0F0), QColor(0xA8A8A8)};
  return {QColor(0xFFFFFF), QColor(0xE3E8EF), QColor(0xEEF1F6), QColor(0x1F2937), QColor(0x6B7280)};
}

void PaintTray(QPainter& p, const QRectF& r, const TBarColors& c) {
  p.setPen(QPen(c.Line, 1));
  p.setBrush(c.Tray);
  p.drawRoundedRect(r.adjusted(0.5, 0.5, -0.5, -0.5), r.height() / 2, r.height() / 2);
}

}  // namespace

QImage PictureImage(const std::optional<TPicture24>& APic) {
  if (!APic || APic->Width <= 0 || APic->Height <= 0 ||
      APic->Pixels.size() != static_cast<std::size_t>(APic->Width) * APic->Height * 3)
    return QImage();
  QImage img(APic->Width, APic->Height, QImage::Format_RGB32);
  for (int y = 0; y < APic->Height; ++y) {
    const std::uint8_t* s = APic->Pixels.data() + static_cast<std::size_t>(y) * APic->Width * 3;
    auto* d = reinterpret_cast<QRgb*>(img.scanLine(y));
    for (int x = 0; x < APic->Width; ++x) d[x] = qRgb(s[x * 3 + 2], s[x * 3 + 1], s[x * 3]);
  }
  return img;
}

// ---- tool bar ----

class TViewerBar : public QWidget {
 public:
  explicit TViewerBar(TViewerForm* form) : QWidget(form), FForm(form) {}
  QRect FpsPill() const {
    const int a = ((FForm->FXfer->isVisible()) ? FForm->FXfer->x() : FForm->FCloseBtn->x()) - 10;
    return QRect(QPoint(a - 78, 11), QPoint(a - 1, 44));
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const TBarColors c = BarColors();
    p.fillRect(rect(), c.Back);
    p.fillRect(QRect(0, height() - 1, width(), 1), c.Line);
    for (const TVRect& t : FForm->FTrays) PaintTray(p, QRectF(t.Left, t.Top, t.Width, t.Height), c);
    // fps pill
    const QRect pill = FpsPill();
    PaintTray(p, pill, c);
    const int fps = FForm->FFps;
    const QColor dot = fps < 0 ? c.Muted : fps >= 20 ? QColor(0x22C55E) : fps < 8 ? QColor(0xEF4444) : QColor(0xF59E0B);
    p.setPen(Qt::NoPen);
    p.setBrush(dot);
    p.drawEllipse(QRectF(pill.left() + 12, pill.top() + 13, 8, 8));
    p.setPen(c.Text);
    p.setFont(UiFont(12, true, this));
    p.drawText(QRect(pill.left() + 26, pill.top(), pill.width() - 26, pill.height()), Qt::AlignLeft | Qt::AlignVCenter,
               fps < 0 ? QStringLiteral("- fps") : QStringLiteral("%1 fps").arg(fps));
    // info block
    const int infoW = FForm->FInfoW;
    if (infoW > 0) {
      p.setPen(Qt::NoPen);
      p.setBrush(Accent());
      const QRectF circle(14, (height() - 36) / 2.0, 36, 36);
      p.drawEllipse(circle);
      const QString icon = IconText(glyph::Monitor);
      if (!icon.isEmpty()) {
        p.setPen(Qt::white);
        p.setFont(IconFont(16, this));
        p.drawText(circle, Qt::AlignCenter, icon);
      }
      auto line = [&](const QString& s, const QRect& r, const QFont& f, const QColor& ink) {
        p.setFont(f);
        p.setPen(ink);
        p.drawText(r, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine,
                   QFontMetrics(f).elidedText(s, Qt::ElideRight, r.width()));
      };
      line(FForm->FInfoTitle, QRect(QPoint(60, 9), QPoint(infoW - 1, 28)), UiFont(15, true, this), c.Text);
      line(FForm->FInfoSub, QRect(QPoint(60, 29), QPoint(infoW - 1, 46)), UiFont(12, false, this), c.Muted);
    }
  }

 private:
  TViewerForm* FForm;
};

// ---- screens strip ----

class TThumbBox : public QWidget {
 public:
  TThumbBox(TViewerForm* form, int index, QWidget* parent) : QWidget(parent), FForm(form), FIndex(index) {
    setCursor(Qt::PointingHandCursor);
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    p.fillRect(rect(), Qt::black);
    const QImage img = FForm->Events() ? PictureImage(FForm->Events()->OnGetThumb(FIndex)) : QImage();
    if (!img.isNull()) {
      const double scale = std::min((height() - 4.0) / img.height(), (width() - 4.0) / img.width());
      const int w = static_cast<int>(std::lround(img.width() * scale)), h = static_cast<int>(std::lround(img.height() * scale));
      p.setRenderHint(QPainter::SmoothPixmapTransform);
      p.drawImage(QRect((width() - w) / 2, (height() - h) / 2, w, h), img);
    }
    const bool current = FIndex == FForm->CurrentScreen();
    p.setPen(Qt::white);
    p.setFont(UiFont(11, false, this));
    p.drawText(QPoint(6, height() - 18 + QFontMetrics(p.font()).ascent()),
               current ? QStringLiteral("Screen %1 (shown)").arg(FIndex + 1) : QStringLiteral("Screen %1").arg(FIndex + 1));
    const int pen = current ? 4 : 2;
    p.setPen(QPen(Qt::white, pen));
    p.setBrush(Qt::NoBrush);
    p.drawRect(QRectF(rect()).adjusted(1 + pen / 2.0, 1 + pen / 2.0, -1 - pen / 2.0, -1 - pen / 2.0));
  }
  void mousePressEvent(QMouseEvent* e) override {
    if (e->button() == Qt::LeftButton) FForm->ScreenChosen(FIndex);
  }

 private:
  TViewerForm* FForm;
  int FIndex;
};

class TViewerStrip : public QWidget {
 public:
  explicit TViewerStrip(TViewerForm* form) : QWidget(form), FForm(form) {
    setCursor(Qt::SizeAllCursor);
    resize(8, 118);
  }
  std::vector<TThumbBox*> Boxes;
  void Clamp() {
    const int bar = FForm->ToolBarShown() ? TViewerForm::BarHeight : 0;
    move(std::clamp(x(), 0, std::max(0, FForm->width() - width())),
         std::clamp(y(), bar, std::max(bar, FForm->height() - height())));
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    p.fillRect(rect(), kStrip);
    p.setPen(kPlaceholder);
    p.setFont(UiFont(11, false, this));
    p.drawText(QPoint(8, 2 + QFontMetrics(p.font()).ascent()),
               QStringLiteral("Screens of the other PC  (drag here to move)"));
  }
  void mousePressEvent(QMouseEvent* e) override {
    if (e->button() == Qt::LeftButton) FFrom = e->globalPosition().toPoint() - pos();
  }
  void mouseMoveEvent(QMouseEvent* e) override {
    if (!(e->buttons() & Qt::LeftButton)) return;
    move(e->globalPosition().toPoint() - FFrom);
    Clamp();
  }
  void mouseReleaseEvent(QMouseEvent*) override {
    Clamp();
    FForm->FocusPicture();
  }

 private:
  TViewerForm* FForm;
  QPoint FFrom;
};

// ---- the window ----

TViewerForm::TViewerForm(const QString& ACaption, int AViewMode, QWidget* parent) : QWidget(parent) {
  setWindowTitle(ACaption);
  setAttribute(Qt::WA_OpaquePaintEvent);
  setFocusPolicy(Qt::StrongFocus);
  setMouseTracking(true);
  setAcceptDrops(true);
  resize(1280, 760);
  if (!parent)
    if (QScreen* s = QGuiApplication::primaryScreen()) move(s->availableGeometry().center() - rect().center());

  FBar = new TViewerBar(this);
  FBar->setGeometry(0, 0, width(), BarHeight);

  auto button = [this](TItem item, const QString& caption, char16_t g, const QString& hint, const QString& fit) {
    auto* b = new TBarButton(caption, g, FBar);
    b->setToolTip(hint);
    b->resize(100, 28);
    b->SetFitText(fit.isEmpty() ? caption : fit);
    FBarItems[item] = b;
    return b;
  };
  button(biChat, QStringLiteral("Chat && files"), glyph::Chat, QStringLiteral("Chat, clipboard and files with the other PC"), {})
      ->OnClick = [this] {
    FocusPicture();
    if (FEvents) FEvents->OnChat();
  };
  button(biSend, QStringLiteral("Send files"), glyph::Upload,
         QStringLiteral("Send files to the other PC (or drop them on the picture)"), {})
      ->OnClick = [this] {
    FocusPicture();
    PickFiles();
  };
  FBarItems[biSpacer1] = new QWidget(FBar);
  FScreenBox = new QComboBox(FBar);
  FScreenBox->addItem(QStringLiteral("Main screen"));
  FScreenBox->setEnabled(false);
  FScreenBox->setFocusPolicy(Qt::NoFocus);
  FScreenBox->resize(130, 23);
  FScreenBox->setFont(UiFont(12, false, this));
  connect(FScreenBox, qOverload<int>(&QComboBox::activated), this, [this](int i) { ScreenChosen(i); });
  FBarItems[biScreens] = FScreenBox;
  FViewBtn = button(biView, QStringLiteral("View: fit"), glyph::Zoom,
                    QStringLiteral("Fit the picture to the window (smooth or sharp), or show it at its original size"),
                    QStringLiteral("View: sharp"));
  FViewBtn->OnClick = [this] {
    FocusPicture();
    ShowViewMenu();
  };
  FFullBtn = button(biFull, QStringLiteral("Full screen"), glyph::FullScreen,
                    QStringLiteral("Use the whole screen for the other PC (F11); F11 again, or the bar at the top, goes back"),
                    QStringLiteral("Full screen"));
  FFullBtn->OnClick = [this] { PostToggleFull(); };
  FBarItems[biSpacer2] = new QWidget(FBar);
  FMuteBtn = button(biMute, QStringLiteral("Mute"), glyph::Volume, QStringLiteral("Hear the other PC's sound, or mute it"),
                    QStringLiteral("Sound on"));
  FMuteBtn->OnClick = [this] {
    FocusPicture();
    ToggleMute();
  };
  button(biAdmin, QStringLiteral("Admin rights"), glyph::Shield,
         QStringLiteral("Ask the other PC to restart Tovik as administrator, for admin windows"), {})
      ->OnClick = [this] {
    FocusPicture();
    if (FEvents) FEvents->OnElevate();
  };
  button(biRestart, QStringLiteral("Restart PC"), glyph::Refresh,
         QStringLiteral("Restart the other PC; Tovik connects again when it is back"), {})
      ->OnClick = [this] {
    FocusPicture();
    AskRestart();
  };
  FRecBtn = button(biRecord, QStringLiteral("Record"), glyph::Record, QStringLiteral("Record this session to a video file"),
                   QStringLiteral("Record"));
  FRecBtn->SetGlyphColor(QColor(0xDC2626));
  FRecBtn->OnClick = [this] {
    FocusPicture();
    ToggleRecord();
  };
  FThumbBtn = button(biThumbs, QStringLiteral("Hide screens"), glyph::Monitor,
                     QStringLiteral("Little pictures of the other PC's screens"), QStringLiteral("Hide screens"));
  FThumbBtn->OnClick = [this] {
    FocusPicture();
    FStripOpen = !FStripOpen;
    UpdateStrip();
  };
  FItemWanted[biThumbs] = false;
  FThumbBtn->hide();
  for (TItem s : {biSpacer1, biSpacer2}) FBarItems[s]->resize(2, 2);

  FCloseBtn = new TBarButton(QStringLiteral("Disconnect"), glyph::Cancel, FBar);
  FCloseBtn->setToolTip(QStringLiteral("End the session with this PC"));
  FCloseBtn->SetDanger(true);
  FCloseBtn->SetFilled(true);
  FCloseBtn->SetFitText(QStringLiteral("Disconnect"));
  FCloseBtn->resize(100, 28);
  FCloseBtn->OnClick = [this] { RequestClose(); };

  FXfer = new QWidget(FBar);
  FXfer->resize(360, BarHeight);
  FXferLabel = new QLabel(FXfer);
  FXferLabel->setGeometry(0, 10, 270, 15);
  FXferLabel->setFont(UiFont(12, false, this));
  FXferLabel->setTextFormat(Qt::PlainText);
  FXferBar = new QProgressBar(FXfer);
  FXferBar->setGeometry(0, 27, 270, 12);
  FXferBar->setRange(0, 1000);
  FXferBar->setTextVisible(false);
  auto* cancel = new TBarButton(QStringLiteral("Cancel"), glyph::Cancel, FXfer);
  cancel->setGeometry(278, 14, 80, 28);
  cancel->SetFitText(QStringLiteral("Cancel"));
  cancel->FitWidth();
  cancel->OnClick = [this] {
    FocusPicture();
    if (FEvents) FEvents->OnCancelSend();
  };
  FXfer->hide();

  FStrip = new TViewerStrip(this);
  FStrip->move(16, BarHeight + 16);
  FStrip->hide();

  FFsBar = new QWidget(this);
  FFsBar->setAutoFillBackground(true);
  FFsBarBtn = new TBarButton(QStringLiteral("Tool bar"), glyph::Menu, FFsBar);
  FFsBarBtn->setToolTip(QStringLiteral("Show or hide the full tool bar"));
  FFsBarBtn->SetFitText(QStringLiteral("Tool bar"));
  FFsBarBtn->resize(80, 28);
  FFsBarBtn->FitWidth();
  FFsBarBtn->move(6, 4);
  FFsBarBtn->OnClick = [this] { ToggleToolBar(); };
  auto* back = new TBarButton(QStringLiteral("Back to window"), glyph::BackToWindow, FFsBar);
  back->setToolTip(QStringLiteral("Leave full screen (F11)"));
  back->SetFitText(QStringLiteral("Back to window"));
  back->resize(80, 28);
  back->FitWidth();
  back->move(FFsBarBtn->x() + FFsBarBtn->width() + 4, 4);
  back->OnClick = [this] { PostToggleFull(); };
  FFsBar->resize(back->x() + back->width() + 6, 36);
  FFsBar->hide();

  FFpsTimer.setInterval(1000);
  connect(&FFpsTimer, &QTimer::timeout, this, &TViewerForm::FpsTick);
  FFpsTimer.start();
  FPanTimer.setInterval(25);
  connect(&FPanTimer, &QTimer::timeout, this, [this] {
    if (isActiveWindow()) PanTickAt(mapFromGlobal(QCursor::pos()));
  });
  FFsTimer.setInterval(200);
  connect(&FFsTimer, &QTimer::timeout, this, [this] { FullScreenTickAt(mapFromGlobal(QCursor::pos())); });
  FRecTimer.setInterval(66);
  connect(&FRecTimer, &QTimer::timeout, this, &TViewerForm::RecordTick);

  FViewMenu = new QMenu(this);
  auto* group = new QActionGroup(FViewMenu);
  const char* names[] = {"Fit to window, smooth (best for text)", "Fit to window, sharp pixels",
                         "Original size (1:1), move the mouse to an edge to scroll"};
  for (int i = 0; i < 3; ++i) {
    QAction* a = FViewMenu->addAction(QString::fromLatin1(names[i]));
    a->setCheckable(true);
    a->setData(i);
    group->addAction(a);
    connect(a, &QAction::triggered, this, [this, i] {
      SetViewMode(i);
      if (OnViewMode) OnViewMode(FViewMode);
    });
  }
  FTracker = new TOwnWindowTracker(this);
  SetViewMode(AViewMode);
  ThemeWindow(this);
}

TViewerForm::~TViewerForm() {
  FEvents = nullptr;
  StopRecording(false);
}

void TViewerForm::FreeSafely() {
  FEvents = nullptr;
  if (FInDialog) {
    FFreeAfterDialog = true;
    return;
  }
  // The call may come from one of this window's own event handlers (the session ends from the
  // Disconnect button's click): hide now and free once that handler has returned.
  StopRecording(false);
  hide();
  deleteLater();
}

bool TViewerForm::RunDialog(const std::function<void()>& dialog) {
  FInDialog = true;
  dialog();
  FInDialog = false;
  if (FFreeAfterDialog) {
    deleteLater();
    return false;
  }
  return true;
}

QStringList TViewerForm::Ask(const QString& kind, const QString& text, const std::function<QStringList()>& real) {
  QStringList result;
  const bool alive = RunDialog([&] { result = DialogHook ? DialogHook(kind, text) : real(); });
  return alive ? result : QStringList{QStringLiteral("\x01released")};
}

void TViewerForm::FocusPicture() {
  if (QWidget* f = QApplication::focusWidget(); f && f != this && isAncestorOf(f)) f->clearFocus();
  if (isVisible()) setFocus(Qt::OtherFocusReason);
}

bool TViewerForm::ToolBarShown() const { return !FBar->isHidden(); }
QWidget* TViewerForm::StripPanel() const { return FStrip; }

// ---- pictures ----

void TViewerForm::ShowUpdate(TByteView AUpdate) {
  const int w0 = PicW(), h0 = PicH();
  FPicture.Apply(AUpdate);  // throws on a bad update, leaving the picture as it was
  const TVRect d = Dest();
  if (w0 != PicW() || h0 != PicH() || d.Empty()) {
    CountPicture();
    return;
  }
  // Only where the update painted, in window coordinates, with a pixel to spare for smooth scaling.
  ++FFrameCount;
  int l = PicW(), t = PicH(), r = 0, b = 0;
  for (const TRect& p : FPicture.LastPainted()) {
    l = std::min(l, p.Left);
    t = std::min(t, p.Top);
    r = std::max(r, p.Right());
    b = std::max(b, p.Bottom());
  }
  if (r <= l || b <= t) return;
  const double sx = static_cast<double>(d.Width) / PicW(), sy = static_cast<double>(d.Height) / PicH();
  const int bar = ToolBarShown() ? BarHeight : 0;
  const QRect area(0, bar, width(), std::max(1, height() - bar));
  update(QRect(QPoint(d.Left + static_cast<int>(std::floor(l * sx)) - 2, d.Top + static_cast<int>(std::floor(t * sy)) - 2),
               QPoint(d.Left + static_cast<int>(std::ceil(r * sx)) + 2, d.Top + static_cast<int>(std::ceil(b * sy)) + 2)) &
         area);
}

void TViewerForm::VideoTarget(int AW, int AH, std::uint8_t*& ABits, int& AStride) {
  ABits = nullptr;
  AStride = 0;
  // The size comes from the other PC: refuse what no screen has rather than allocate gigabytes.
  if (AW < 1 || AH < 1 || AW > MaxPictureSide || AH > MaxPictureSide) return;
  try {
    TBitmap32& target = FPicture.Replace(AW, AH);
    ABits = target.Row(0);
    AStride = static_cast<int>(target.Stride());
  } catch (const std::bad_alloc&) {
    FPicture.Replace(0, 0);  // out of memory
  }
}

void TViewerForm::VideoDone() { CountPicture(); }

void TViewerForm::ShowPicture(const QImage& picture) {
  const QImage rgb = picture.convertToFormat(QImage::Format_RGB32);
  TBitmap32& target = FPicture.Replace(rgb.width(), rgb.height());
  for (int y = 0; y < rgb.height(); ++y)
    std::memcpy(target.Row(y), rgb.constScanLine(y), static_cast<std::size_t>(rgb.width()) * 4);
  CountPicture();
}

QImage TViewerForm::PictureView() const {
  const TBitmap32& pic = FPicture.Picture();
  if (pic.Width() <= 0 || pic.Height() <= 0) return {};
  return QImage(pic.Row(0), pic.Width(), pic.Height(), static_cast<qsizetype>(pic.Stride()), QImage::Format_RGB32);
}

QImage TViewerForm::Picture() const { return PictureView().copy(); }

void TViewerForm::CountPicture() {
  ++FFrameCount;
  update(0, ToolBarShown() ? BarHeight : 0, width(), height());
}

void TViewerForm::FpsTick() {
  FFps = FpsAfterTick(FFps, FFrameCount);
  FFrameCount = 0;
  FBar->update();
}

void TViewerForm::SetNotice(const QString& AText) {
  if (AText == FNotice) return;
  FNotice = AText;
  update();
}

void TViewerForm::SetSessionInfo(const QString& ATitle, const QString& ASub) {
  if (ATitle == FInfoTitle && ASub == FInfoSub) return;
  FInfoTitle = ATitle;
  FInfoSub = ASub;
  FBar->update();
}

TVRect TViewerForm::Dest() {
  FDest = PlacePicture(FViewMode, PicW(), PicH(), width(), height(),
                       ToolBarShown() ? BarHeight : 0, FScroll);
  if (!HasPicture()) FDest = {};
  return FDest;
}

void TViewerForm::paintEvent(QPaintEvent* AEvent) {
  QPainter p(this);
  const int bar = ToolBarShown() ? BarHeight : 0;
  const QRect area(0, bar, width(), std::max(1, height() - bar));
  const TVRect d = Dest();
  // The picture covers its own rectangle: only the rest of the area is filled.
  if (d.Empty())
    p.fillRect(area, kPictureBack);
  else
    for (const QRect& r : QRegion(area).subtracted(QRegion(d.Left, d.Top, d.Width, d.Height))) p.fillRect(r, kPictureBack);
  if (!d.Empty()) {
    const QRect target(d.Left, d.Top, d.Width, d.Height);
    p.setClipRect(area);
    const QImage view = PictureView();
    if (d.Width == view.width() && d.Height == view.height()) {
      p.drawImage(target.topLeft(), view);
    } else {
      // Scaled in bands of rows: Qt hands a scaled drawing of more than about a hundred rows to its
      // thread pool in pieces, and on a busy machine waking those threads for every frame costs more
      // than the scaling itself. Each pixel comes out the same either way.
      p.setRenderHint(QPainter::SmoothPixmapTransform, FViewMode != vmFitSharp);
      constexpr int kBand = 64;
      const QRect dirty = AEvent->rect() & area & target;
      for (int y = dirty.top(); y <= dirty.bottom(); y += kBand) {
        p.setClipRect(QRect(dirty.left(), y, dirty.width(), std::min(kBand, dirty.bottom() + 1 - y)));
        p.drawImage(target, view);
      }
    }
    p.setClipping(false);
  }
  if (!HasPicture()) {
    p.setPen(kPlaceholder);
    p.setFont(UiFont(13, false, this));
    p.drawText(QPoint(16, bar + 16 + QFontMetrics(p.font()).ascent()), QStringLiteral("Waiting for the first picture..."));
  }
  if (!FNotice.isEmpty()) {
    const QRect band(0, bar, width(), 44);
    p.fillRect(band, kNotice);
    p.setPen(Qt::white);
    const QFont f = UiFont(16, false, this);
    p.setFont(f);
    const QRect text = band.adjusted(16, 0, -16, 0);
    // Centred, so the screens strip at the top left does not hide it.
    p.drawText(text, Qt::AlignHCenter | Qt::AlignVCenter | Qt::TextSingleLine,
               QFontMetrics(f).elidedText(FNotice, Qt::ElideRight, text.width()));
  }
}

// ---- layout ----

void TViewerForm::resizeEvent(QResizeEvent*) {
  Relayout();
  if (FStrip->isVisible()) FStrip->Clamp();
  if (FFsBar->isVisible()) PlaceFsBar();
}

void TViewerForm::Relayout() {
  FBar->setGeometry(0, 0, width(), BarHeight);
  std::vector<TBarItemSize> sizes(biCount);
  for (int i = 0; i < biCount; ++i) {
    QWidget* w = FBarItems[i];
    TBarItemSize& s = sizes[i];
    s.Spacer = i == biSpacer1 || i == biSpacer2;
    s.Visible = FItemWanted[i];
    if (auto* b = qobject_cast<TBarButton*>(w)) {
      b->SetCompact(false);
      s.FullWidth = b->FitWidthFor();
      b->SetCompact(true);
      s.CompactWidth = b->FitWidthFor();
    } else {
      s.FullWidth = s.CompactWidth = w->width();
    }
  }
  FCloseBtn->SetCompact(false);
  const int closeFull = FCloseBtn->FitWidthFor();
  FCloseBtn->SetCompact(true);
  const int closeCompact = FCloseBtn->FitWidthFor();
  const int xferW = FXfer->isHidden() ? 0 : FXfer->width();
  const TBarLayout l = LayoutBar(sizes, width(), closeFull, closeCompact, xferW);
  FInfoW = l.InfoW;
  FTrays = l.Trays;
  for (int i = 0; i < biCount; ++i) {
    QWidget* w = FBarItems[i];
    if (auto* b = qobject_cast<TBarButton*>(w)) {
      b->SetCompact(l.Compact);
      b->resize(b->FitWidthFor(), 28);
    }
    if (l.Lefts[i] >= 0) w->move(l.Lefts[i], w == FScreenBox ? 17 : 14);
    w->setVisible(FItemWanted[i] && l.Lefts[i] != -2);
  }
  FCloseBtn->SetCompact(l.Compact);
  FCloseBtn->resize(FCloseBtn->FitWidthFor(), 28);
  FCloseBtn->move(width() - 14 - FCloseBtn->width(), 14);
  FXfer->move(FCloseBtn->x() - 4 - FXfer->width(), 0);
  FBar->update();
}

// ---- screens ----

void TViewerForm::SetScreens(int ACount, int AMain) {
  ACount = std::clamp(ACount, 0, 16);
  FScreenBox->clear();
  for (int i = 0; i < ACount; ++i)
    FScreenBox->addItem(QStringLiteral("Screen %1").arg(i + 1) + (i == AMain ? QStringLiteral(" (main)") : QString()));
  if (ACount == 0) FScreenBox->addItem(QStringLiteral("Main screen"));
  FScreenBox->setCurrentIndex(std::clamp(AMain, 0, std::max(0, ACount - 1)));
  FScreenBox->setEnabled(ACount > 1);
  FCurrentScreen = (AMain >= 0 && AMain < ACount) ? AMain : 0;
  for (TThumbBox* b : FStrip->Boxes) delete b;
  FStrip->Boxes.clear();
  if (ACount > 1)
    for (int k = 0; k < ACount; ++k) {
      auto* box = new TThumbBox(this, k, FStrip);
      box->setGeometry(k * 176 + 8, 20, 168, 90);
      box->show();
      FStrip->Boxes.push_back(box);
    }
  FItemWanted[biThumbs] = ACount > 1;
  Relayout();
  FStrip->resize(ACount * 176 + 8, 118);
  UpdateStrip();
}

void TViewerForm::UpdateStrip() {
  const bool show = FStripOpen && FStrip->Boxes.size() > 1;
  if (show != FStrip->isVisible()) {
    FStrip->setVisible(show);
    if (show) {
      FStrip->Clamp();
      FStrip->raise();
      if (FFsBar->isVisible()) FFsBar->raise();
    } else {
      update();
    }
  }
  FThumbBtn->SetCaption(FStripOpen ? QStringLiteral("Hide screens") : QStringLiteral("Show screens"));
  if (FEvents) FEvents->OnShowThumbs(show);
}

void TViewerForm::ScreenChosen(int index) {
  if (index < 0 || index >= FScreenBox->count()) return;
  FScreenBox->setCurrentIndex(index);
  if (FEvents) FEvents->OnPickScreen(index);
  FCurrentScreen = index;
  for (TThumbBox* b : FStrip->Boxes) b->update();
  FocusPicture();
}

void TViewerForm::SelectScreen(int AIndex) {
  if (AIndex >= 0 && AIndex < FScreenBox->count()) FScreenBox->setCurrentIndex(AIndex);
  FCurrentScreen = AIndex;
  for (TThumbBox* b : FStrip->Boxes) b->update();
}

void TViewerForm::ThumbChanged(int AIndex) {
  if (AIndex >= 0 && AIndex < static_cast<int>(FStrip->Boxes.size())) FStrip->Boxes[AIndex]->update();
}

void TViewerForm::WarpToEdge(int ADir, double AFracY) {
  const TVRect d = Dest();
  if (d.Width <= 0) return;
  const int x = ADir <= 0 ? d.Right() - 13 : d.Left + 12;
  const int y = static_cast<int>(std::lround((d.Height - 1) * AFracY)) + d.Top;
  QCursor::setPos(mapToGlobal(QPoint(x, y)));
}

// ---- transfer ----

void TViewerForm::SetTransfer(const QString& AName, qint64 ADone, qint64 ATotal, int ALeft) {
  if (ATotal > 0) {
    QString text = QStringLiteral("Sending ") + AName;
    if (ALeft > 0) text += QStringLiteral(" (+%1 more)").arg(ALeft);
    FXferLabel->setText(QFontMetrics(FXferLabel->font()).elidedText(text, Qt::ElideRight, FXferLabel->width()));
    const double frac = std::clamp(static_cast<double>(ADone) / static_cast<double>(ATotal), 0.0, 1.0);
    FXferBar->setValue(static_cast<int>(std::lround(frac * 1000)));
    if (FXfer->isHidden()) {
      FXfer->show();
      Relayout();
    }
  } else if (!FXfer->isHidden()) {
    FXfer->hide();
    Relayout();
  }
}

// ---- input ----

void TViewerForm::Input(std::uint8_t kind, const QPoint& client, std::int32_t data) {
  if (!FEvents) return;
  const TVRect d = Dest();
  if (d.Empty()) return;
  const TVPoint pt = MapToPicture(d, PicW(), PicH(), client.x(), client.y());
  TInputEvent event;
  event.Kind = kind;
  event.X = static_cast<std::int16_t>(std::min(pt.X, 32767));
  event.Y = static_cast<std::int16_t>(std::min(pt.Y, 32767));
  event.Data = data;
  FEvents->OnInput(event);
}

void TViewerForm::HandleMove(const QPoint& c, Qt::MouseButtons buttons) {
  if (!FEvents) return;
  const TVRect d = Dest();
  if (d.Empty()) return;
  if (d.Height > 0 && !(buttons & Qt::LeftButton)) {
    const int dir = EdgeAt(d, c.x());
    if (dir != 0) FEvents->OnEdge(dir, EdgeFraction(d, c.y()));
    if (!FEvents) return;
  }
  const TVPoint pt = MapToPicture(d, PicW(), PicH(), c.x(), c.y());
  if (pt.X == FLastMoveX && pt.Y == FLastMoveY) return;
  FLastMoveX = pt.X;
  FLastMoveY = pt.Y;
  Input(ikMove, c, 0);
}

void TViewerForm::mouseMoveEvent(QMouseEvent* e) { HandleMove(e->position().toPoint(), e->buttons()); }

namespace {
int ButtonNumber(Qt::MouseButton b) {
  switch (b) {
    case Qt::LeftButton: return 0;
    case Qt::RightButton: return 1;
    case Qt::MiddleButton: return 2;
    default: return -1;
  }
}
}  // namespace

void TViewerForm::mousePressEvent(QMouseEvent* e) {
  if (parentWidget() && !hasFocus()) setFocus(Qt::MouseFocusReason);
  const int b = ButtonNumber(e->button());
  if (b >= 0) Input(ikButtonDown, e->position().toPoint(), b);
}

void TViewerForm::mouseReleaseEvent(QMouseEvent* e) {
  const int b = ButtonNumber(e->button());
  if (b >= 0) Input(ikButtonUp, e->position().toPoint(), b);
}

void TViewerForm::wheelEvent(QWheelEvent* e) {
  const int delta = e->angleDelta().y();
  if (delta != 0) Input(ikWheel, e->position().toPoint(), delta);
  e->accept();
}

namespace {
int VkOf(const IViewerKeys* AKeys, const QKeyEvent* e) {
  return VkFromKeyEvent(AKeys, e->nativeVirtualKey(), e->nativeScanCode(), e->key(),
                        (e->modifiers() & Qt::KeypadModifier) != 0);
}
// Keys the window keeps for itself instead of sending them.
bool IsOwnShortcut(const QKeyEvent* e) { return e->key() == Qt::Key_F11; }
}  // namespace

void TViewerForm::keyPressEvent(QKeyEvent* e) {
  e->accept();
  if (IsOwnShortcut(e)) {
    if (!e->isAutoRepeat()) PostToggleFull();
    return;
  }
  if (const int code = VkOf(FKeys.get(), e)) Input(ikKeyDown, mapFromGlobal(QCursor::pos()), code);
}

void TViewerForm::keyReleaseEvent(QKeyEvent* e) {
  e->accept();
  // A held key repeats as repeated key-downs, like a real keyboard; only the final release goes up.
  if (IsOwnShortcut(e) || e->isAutoRepeat()) return;
  if (const int code = VkOf(FKeys.get(), e)) Input(ikKeyUp, mapFromGlobal(QCursor::pos()), code);
}

bool TViewerForm::event(QEvent* e) {
  if (e->type() == QEvent::ShortcutOverride) {
    // Every key belongs to the other PC: no shortcut of ours or of the parent window takes it.
    e->accept();
    return true;
  }
  return QWidget::event(e);
}

// ---- panning ----

bool TViewerForm::PanTickAt(const QPoint& c) {
  if (FViewMode != vmOriginal || !HasPicture() || !isVisible()) return false;
  const int bar = ToolBarShown() ? BarHeight : 0;
  if (c.y() < bar || c.y() >= height() || c.x() < 0 || c.x() >= width()) return false;
  if (FFsBar->isVisible() && FFsBar->geometry().contains(c)) return false;
  const TVPoint d = PanDistance(c.x(), c.y(), width(), height(), bar);
  if (d.X == 0 && d.Y == 0) return false;
  Dest();  // clamp the offset to the current picture first
  const TVPoint before = FScroll;
  FScroll.X += PanStep(d.X);
  FScroll.Y += PanStep(d.Y);
  Dest();  // clamps
  if (FScroll == before) return false;
  update();
  HandleMove(c, QGuiApplication::mouseButtons());
  return true;
}

void TViewerForm::SetViewMode(int mode) {
  if (mode < 0 || mode > 2) mode = 0;
  FViewMode = mode;
  static const char* const captions[] = {"View: fit", "View: sharp", "View: 1:1"};
  FViewBtn->SetCaption(QString::fromLatin1(captions[mode]));
  for (QAction* a : FViewMenu->actions()) a->setChecked(a->data().toInt() == mode);
  FScroll = {};
  if (mode == vmOriginal) FPanTimer.start();
  else FPanTimer.stop();
  Relayout();
  update();
}

void TViewerForm::ShowViewMenu() {
  for (QAction* a : FViewMenu->actions()) a->setChecked(a->data().toInt() == FViewMode);
  RunDialog([this] { FViewMenu->exec(FViewBtn->mapToGlobal(QPoint(0, FViewBtn->height()))); });
}

// ---- full screen ----

void TViewerForm::PostToggleFull() {
  QMetaObject::invokeMethod(this, [this] { SetFullScreen(!FFull); }, Qt::QueuedConnection);
}

void TViewerForm::SetFullScreen(bool AOn) {
  if (AOn == FFull) return;
  if (AOn) {
    QScreen* screen = window()->windowHandle() ? window()->windowHandle()->screen() : QGuiApplication::primaryScreen();
    if (!screen) screen = QGuiApplication::primaryScreen();
    FHomeParent = parentWidget();
    FHomeMaximized = isMaximized();
    FHomeBounds = FHomeParent ? geometry() : (isMaximized() ? normalGeometry() : geometry());
    FFull = true;
    if (FHomeParent) setParent(nullptr, Qt::Window | Qt::FramelessWindowHint);
    else setWindowFlag(Qt::FramelessWindowHint, true);
    if (screen) setGeometry(screen->geometry());
    FBar->hide();
    FFullBtn->SetCaption(QStringLiteral("Window"));
    FFullBtn->SetGlyph(glyph::BackToWindow);
    showFullScreen();
    raise();
    activateWindow();
    FFsSeen = TickMs() + 1500;
    PlaceFsBar();
    FFsBar->show();
    FFsBar->raise();
    FFsTimer.start();
  } else {
    FFull = false;
    FFsTimer.stop();
    FFsBar->hide();
    FBar->show();
    FFullBtn->SetCaption(QStringLiteral("Full screen"));
    FFullBtn->SetGlyph(glyph::FullScreen);
    if (FHomeParent) {
      setParent(FHomeParent, Qt::Widget);
      setGeometry(FHomeBounds);
      show();
    } else {
      setWindowFlag(Qt::FramelessWindowHint, false);
      showNormal();
      setGeometry(FHomeBounds);
      if (FHomeMaximized) showMaximized();
    }
  }
  Relayout();
  if (FStrip->isVisible()) FStrip->Clamp();
  update();
  FocusPicture();
}

void TViewerForm::PlaceFsBar() {
  FFsBar->move((width() - FFsBar->width()) / 2, ToolBarShown() ? BarHeight : 0);
}

void TViewerForm::ToggleToolBar() {
  FBar->setVisible(FBar->isHidden());
  Relayout();
  PlaceFsBar();
  update();
}

void TViewerForm::FullScreenTickAt(const QPoint& c) {
  const QRect g = FFsBar->geometry();
  const bool near = FullScreenBarNear(c.x(), c.y(), width(), ToolBarShown() ? BarHeight : 0, FFsBar->isVisible(),
                                      {g.x(), g.y(), g.width(), g.height()});
  const TTick now = TickMs();
  if (near) {
    FFsSeen = now;
    if (FFsBar->isHidden()) {
      FFsBar->show();
      FFsBar->raise();
    }
  } else if (FFsBar->isVisible() && now > FFsSeen + 2000) {
    FFsBar->hide();
    update();
  }
}

// ---- buttons ----

void TViewerForm::ToggleMute() {
  FMuted = !FMuted;
  FMuteBtn->SetCaption(FMuted ? QStringLiteral("Sound on") : QStringLiteral("Mute"));
  FMuteBtn->SetGlyph(FMuted ? glyph::Mute : glyph::Volume);
  if (FEvents) FEvents->OnMute(FMuted);
}

void TViewerForm::AskRestart() {
  const QString text = QStringLiteral(
      "Restart the other PC now? Unsaved work there is lost. Tovik connects again once someone signs in on that PC "
      "(it works best when that PC keeps its ID and has unattended access on).");
  const QStringList answer = Ask(QStringLiteral("restart"), text, [&] {
    const auto r = QMessageBox::question(this, windowTitle(), text, QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
    return QStringList{r == QMessageBox::Yes ? QStringLiteral("yes") : QStringLiteral("no")};
  });
  if (answer.value(0) == QLatin1String("yes") && FEvents) FEvents->OnRestart();
}

void TViewerForm::PickFiles() {
  const QStringList files = Ask(QStringLiteral("files"), QStringLiteral("Send files to the other PC"), [&] {
    return QFileDialog::getOpenFileNames(this, QStringLiteral("Send files to the other PC"));
  });
  if (files.value(0) == QLatin1String("\x01released")) return;
  std::vector<std::string> paths;
  for (const QString& f : files)
    if (QFileInfo(f).isFile()) paths.push_back(f.toStdString());
  if (!paths.empty() && FEvents) FEvents->OnSendFiles(paths);
}

void TViewerForm::dragEnterEvent(QDragEnterEvent* e) {
  if (e->mimeData()->hasUrls()) e->acceptProposedAction();
}

std::vector<std::string> TViewerForm::DroppedFiles(const QMimeData& data) {
  std::vector<std::string> paths;
  for (const QUrl& u : data.urls())
    if (u.isLocalFile() && QFileInfo(u.toLocalFile()).isFile()) paths.push_back(u.toLocalFile().toStdString());
  return paths;
}

void TViewerForm::SendDropped(const QMimeData& data) {
  const std::vector<std::string> paths = DroppedFiles(data);
  if (!paths.empty() && FEvents) FEvents->OnSendFiles(paths);
}

void TViewerForm::dropEvent(QDropEvent* e) {
  SendDropped(*e->mimeData());
  e->acceptProposedAction();
}

void TViewerForm::ToggleRecord() {
  if (FRec) {
    StopRecording(true);
    return;
  }
  auto message = [this](const QString& kind, const QString& text) {
    Ask(kind, text, [&] {
      if (kind == QLatin1String("error")) QMessageBox::critical(this, windowTitle(), text);
      else QMessageBox::information(this, windowTitle(), text);
      return QStringList{};
    });
  };
  if (PicW() < 16 || PicH() < 16) {
    message(QStringLiteral("info"), QStringLiteral("There is no picture to record yet."));
    return;
  }
  const TVPoint size = RecordSize(PicW(), PicH());
  QString folder = FRecordFolder;
  if (folder.isEmpty())
    folder = QStandardPaths::writableLocation(QStandardPaths::MoviesLocation) + QStringLiteral("/Tovik");
  QDir().mkpath(folder);
  FRecFile = QDir(folder).filePath(QStringLiteral("Tovik ") +
                                   QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh.mm.ss")) +
                                   QStringLiteral(".mp4"));
  std::string error;
  if (!FEvents)
    error = "no session";
  else if (!MakeRecorder)
    error = "video recording is not available in this build";
  else
    FRec = MakeRecorder(FRecFile.toStdString(), size.X, size.Y, 15, error);
  if (!FRec) {
    message(QStringLiteral("error"), QStringLiteral("Recording could not start: ") +
                                         QString::fromStdString(error.empty() ? "no session" : error));
    return;
  }
  FRecFrame = QImage(size.X, size.Y, QImage::Format_RGB32);
  FRecBtn->SetCaption(QStringLiteral("Stop"));
  FRecBtn->SetGlyph(glyph::Stop);
  FRecClock.start();
  FRecTimer.start();
  RecordTick();
}

void TViewerForm::RecordTick() {
  if (!FRec) return;
  {
    QPainter p(&FRecFrame);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    p.drawImage(FRecFrame.rect(), PictureView());
  }
  const std::string error = FRec->AddFrame({FRecFrame.constBits(), FRecFrame.width(), FRecFrame.height(),
                                            static_cast<int>(FRecFrame.bytesPerLine())},
                                           FRecClock.elapsed());
  if (!error.empty()) {
    StopRecording(false);
    Ask(QStringLiteral("error"), QStringLiteral("Recording stopped: ") + QString::fromStdString(error), [&] {
      QMessageBox::critical(this, windowTitle(), QStringLiteral("Recording stopped: ") + QString::fromStdString(error));
      return QStringList{};
    });
  }
}

void TViewerForm::StopRecording(bool report) {
  if (!FRec) return;
  FRecTimer.stop();
  // Only a file that was completed is reported as saved.
  const std::string error = FRec->Finish();
  FRecFile = QString::fromStdString(FRec->Path());
  FRec.reset();
  FRecBtn->SetCaption(QStringLiteral("Record"));
  FRecBtn->SetGlyph(glyph::Record);
  if (!report) return;
  if (!error.empty()) {
    const QString text = QStringLiteral("Recording stopped: ") + QString::fromStdString(error);
    Ask(QStringLiteral("error"), text, [&] {
      QMessageBox::critical(this, windowTitle(), text);
      return QStringList{};
    });
    return;
  }
  const QString text = QStringLiteral("Recording saved:\r\n") + FRecFile;
  Ask(QStringLiteral("info"), text, [&] {
    QMessageBox::information(this, windowTitle(), text);
    return QStringList{};
  });
}

void TViewerForm::RequestClose() {
  if (FEvents) FEvents->OnUserClose();
}

void TViewerForm::closeEvent(QCloseEvent* e) {
  e->accept();
  RequestClose();
}

}  // namespace tovik
