// Fakes of a session's surroundings, shared by the session tests: a fake screen that draws a changing
// picture, a recording injector, a consent prompt that answers as told, and a viewer window that
// decodes tile updates into its own picture.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "media/TovikCapture.h"
#include "base/TovikTimed.h"
#include "session/TovikSession.h"

namespace tovik::test {

// The host's screen: a BGRX picture the test paints.
struct TFakeScreenState {
  int W = 0, H = 0;
  std::vector<std::uint8_t> Px;  // W * H * 4
  void Resize(int w, int h) {
    W = w;
    H = h;
    Px.assign(static_cast<std::size_t>(w) * h * 4, 0);
  }
  // Fills a rectangle with a pattern that depends on the seed and the position.
  void Paint(int x0, int y0, int w, int h, std::uint32_t seed) {
    for (int y = y0; y < y0 + h && y < H; ++y)
      for (int x = x0; x < x0 + w && x < W; ++x) {
        std::uint8_t* p = &Px[(static_cast<std::size_t>(y) * W + x) * 4];
        std::uint32_t v = (static_cast<std::uint32_t>(x) * 2654435761u) ^ (static_cast<std::uint32_t>(y) * 40503u) ^ seed * 97u;
        p[0] = static_cast<std::uint8_t>(v);
        p[1] = static_cast<std::uint8_t>(v >> 8);
        p[2] = static_cast<std::uint8_t>(v >> 16);
        p[3] = 0;
      }
  }
};

class TFakeGrab : public IScreenGrab {
 public:
  explicit TFakeGrab(std::shared_ptr<TFakeScreenState> s) : S(std::move(s)) {}
  TGrabStatus CopyTo(TBitmap32& B, bool, std::span<const TRect>, TGrabChanges& C) override {
    if (B.Width() != S->W || B.Height() != S->H) return TGrabStatus::gsLost;
    for (int y = 0; y < S->H; ++y) std::memcpy(B.Row(y), &S->Px[static_cast<std::size_t>(y) * S->W * 4], static_cast<std::size_t>(S->W) * 4);
    C.All = true;
    return TGrabStatus::gsOk;
  }
  std::shared_ptr<TFakeScreenState> S;
};

class TFakeBackend : public IScreenBackend {
 public:
  explicit TFakeBackend(std::shared_ptr<TFakeScreenState> s) : S(std::move(s)) {}
  std::vector<TMonitorInfo> Monitors() override { return {TMonitorInfo{"fake", TRect{0, 0, S->W, S->H}, true}}; }
  std::unique_ptr<IScreenGrab> CreateDup(const TRect&) override { return nullptr; }
  std::unique_ptr<IScreenGrab> CreatePlain(const TRect&) override { return std::make_unique<TFakeGrab>(S); }
  bool GetPointer(TPointerImage&) override { return false; }
  std::shared_ptr<TFakeScreenState> S;
};

// The host program's own windows as the fake injector sees them: rectangles in picture coordinates,
// and whether one of them has the keyboard focus.
struct TFakeOwnWindows {
  std::vector<TRect> Rects;
  bool Focus = false;
  int Flushes = 0;  // batches the host ended
};

struct TRecordingInput : IHostInput {
  std::shared_ptr<std::vector<TInputEvent>> Events = std::make_shared<std::vector<TInputEvent>>();
  std::shared_ptr<TFakeOwnWindows> Own = std::make_shared<TFakeOwnWindows>();
  void InjectInput(const TInputEvent& e) override { Events->push_back(e); }
  void Flush() override { ++Own->Flushes; }
  bool IsOwnWindowAt(TPoint p) override {
    return std::any_of(Own->Rects.begin(), Own->Rects.end(), [p](const TRect& r) {
      return p.X >= r.Left && p.X < r.Right() && p.Y >= r.Top && p.Y < r.Bottom();
    });
  }
  bool OwnWindowHasFocus() override { return Own->Focus; }
};

// Answers as told: at once, or held until the test answers (a time-out answers caDeny).
struct TFakeConsent : IConsentPrompt {
  std::optional<TConsentAnswer> AutoAnswer;
  std::vector<TConsentRequest> Requests;
  std::function<void(TConsentAnswer)> Pending;
  void Ask(const TConsentRequest& r, std::function<void(TConsentAnswer)> a) override {
    Requests.push_back(r);
    if (AutoAnswer)
      a(*AutoAnswer);
    else
      Pending = std::move(a);
  }
  void Answer(TConsentAnswer a) {
    auto p = std::move(Pending);
    Pending = nullptr;
    if (p) p(a);
  }
};

// The helper's password prompt: answers as told at once, or holds the question until the test answers.
struct TFakePasswordPrompt : IPasswordPrompt {
  std::optional<std::optional<std::string>> AutoAnswer;  // set: answered at once with it
  std::vector<std::string> Asked;                         // the partners asked about
  std::function<void(std::optional<std::string>)> Pending;
  void Ask(const std::string& APartner, std::function<void(std::optional<std::string>)> AAnswer) override {
    Asked.push_back(APartner);
    if (AutoAnswer)
      AAnswer(*AutoAnswer);
    else
      Pending = std::move(AAnswer);
  }
};

struct TFakeViewerState {
  TBitmap32 Picture;
  TCompactDecoder Compact;  // the shared context of compact tile updates
  std::string Caption, Title, Line, Notice;
  int Updates = 0, BadUpdates = 0;
  int VideoPictures = 0;  // decoded video pictures shown
  IViewerEvents* Events = nullptr;
  bool Freed = false;
};

class TFakeViewer : public IViewerWindow {
 public:
  TFakeViewer(std::shared_ptr<TFakeViewerState> s, IViewerEvents& e) : S(std::move(s)) { S->Events = &e; }
  void SetCaption(const std::string& c) override { S->Caption = c; }
  std::string Caption() const override { return S->Caption; }
  void SetSessionInfo(const std::string& t, const std::string& l) override {
    S->Title = t;
    S->Line = l;
  }
  void SetNotice(const std::string& n) override { S->Notice = n; }
  void ShowUpdate(TByteView u) override {
    try {
      if (!u.empty() && u[0] == kCompactMagic)
        S->Compact.Apply(S->Picture, u);
      else
        ApplyScreenUpdate(S->Picture, u);
      ++S->Updates;
    } catch (...) {
      ++S->BadUpdates;
      throw;
    }
  }
  bool VideoTarget(int w, int h, std::uint8_t*& bits, std::ptrdiff_t& stride) override {
    if (S->Picture.Width() != w || S->Picture.Height() != h) S->Picture.SetSize(w, h);
    bits = S->Picture.Row(0);
    stride = S->Picture.Stride();
    return true;
  }
  void VideoDone() override { ++S->VideoPictures; }
  void SetScreens(int, int) override {}
  void SelectScreen(int) override {}
  void WarpToEdge(int, double) override {}
  void ThumbChanged(int) override {}
  void SetTransfer(const std::string&, std::int64_t, std::int64_t, int) override {}
  int CurrentScreen() const override { return 0; }
  void Show() override {}
  void FreeSafely() override {
    S->Events = nullptr;
    S->Freed = true;
    delete this;
  }
  std::shared_ptr<TFakeViewerState> S;
};

// True when the viewer's picture shows exactly the host's screen (blue, green, red of every pixel).
inline bool SamePicture(const TBitmap32& AViewer, const TFakeScreenState& AHost) {
  if (AViewer.Width() != AHost.W || AViewer.Height() != AHost.H) return false;
  for (int y = 0; y < AViewer.Height(); ++y) {
    const std::uint8_t* v = AViewer.Row(y);
    const std::uint8_t* h = &AHost.Px[static_cast<std::size_t>(y) * AHost.W * 4];
    for (int x = 0; x < AViewer.Width(); ++x)
      if (v[x * 4] != h[x * 4] || v[x * 4 + 1] != h[x * 4 + 1] || v[x * 4 + 2] != h[x * 4 + 2]) return false;
  }
  return true;
}

// How close the viewer's picture is to the host's screen (blue, green, red), in dB; 0 when the sizes
// differ, 99 when equal.
inline double PicturePsnr(const TBitmap32& AViewer, const TFakeScreenState& AHost) {
  if (AViewer.Width() != AHost.W || AViewer.Height() != AHost.H || AHost.W == 0) return 0;
  double se = 0;
  for (int y = 0; y < AViewer.Height(); ++y) {
    const std::uint8_t* v = AViewer.Row(y);
    const std::uint8_t* h = &AHost.Px[static_cast<std::size_t>(y) * AHost.W * 4];
    for (int x = 0; x < AViewer.Width() * 4; ++x) {
      if (x % 4 == 3) continue;
      const double d = double(v[x]) - double(h[x]);
      se += d * d;
    }
  }
  if (se == 0) return 99;
  return 10 * std::log10(255.0 * 255.0 * 3.0 * AHost.W * AHost.H / se);
}

inline bool HasLine(const std::vector<std::string>& ALog, const std::string& ALine) {
  for (auto& l : ALog)
    if (l == ALine) return true;
  return false;
}

// The earliest deadline of a host and a viewer session; either may be null.
inline TTick NextSessionDeadline(const TTovikSession* AHost, const TTovikSession* AViewer) {
  TTick next = kNoDeadline;
  for (const TTovikSession* s : {AHost, AViewer})
    if (s) next = std::min(next, s->NextDeadline());
  return next;
}

// Lets a host and a viewer session run what is due at ANow (the host first); either may be null.
inline void RunDueSessions(TTovikSession* AHost, TTovikSession* AViewer, TTick ANow) {
  for (TTovikSession* s : {AHost, AViewer})
    if (s && s->NextDeadline() <= ANow) s->HandleTimeout(ANow);
}

// One input event as the viewer window raises it.
inline TInputEvent WindowInput(std::uint8_t AKind, std::int16_t AX, std::int16_t AY, std::int32_t AData) {
  TInputEvent e;
  e.Kind = AKind;
  e.X = AX;
  e.Y = AY;
  e.Data = AData;
  return e;
}

}  // namespace tovik::test
