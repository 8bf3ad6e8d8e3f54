// Screen capturer: source selection with back-off, pointer drawing, the two capture paths.
#include "media/TovikCapture.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "base/TovikOwnWindows.h"

namespace tovik {

namespace {

std::mutex GAreaLock;
TRect GArea;
TPoint GPrimaryOrigin;

constexpr TTick kDupRetryAfterFailMs = 5000;
constexpr TTick kDupRetryAfterLossMs = 500;

std::string Format(const char* AFmt, const std::string& ASource, int a, int b, int c = -1) {
  char buf[160];
  if (c < 0)
    std::snprintf(buf, sizeof buf, AFmt, ASource.c_str(), a, b);
  else
    std::snprintf(buf, sizeof buf, AFmt, ASource.c_str(), a, b, c);
  return buf;
}

}  // namespace

TRect CaptureArea() {
  std::lock_guard<std::mutex> lock(GAreaLock);
  return GArea;
}

void SetCaptureArea(const TRect& ARect) {
  std::lock_guard<std::mutex> lock(GAreaLock);
  GArea = ARect.Empty() ? TRect{} : ARect;
}

TPoint CaptureOrigin() {
  std::lock_guard<std::mutex> lock(GAreaLock);
  if (GArea.Empty()) return GPrimaryOrigin;
  return {GArea.Left, GArea.Top};
}

bool IsNormalDesktop() { return true; }

TRect PrimaryMonitor(const std::vector<TMonitorInfo>& AMonitors) {
  for (const auto& m : AMonitors)
    if (m.Primary) return m.Rect;
  return AMonitors.empty() ? TRect{} : AMonitors.front().Rect;
}

TRect DrawPointer(TBitmap32& ABitmap, const TPointerImage& APointer, TPoint AOrigin) {
  if (APointer.Width <= 0 || APointer.Height <= 0 ||
      APointer.Pixels.size() < static_cast<std::size_t>(APointer.Width) * static_cast<std::size_t>(APointer.Height))
    return {};
  const TRect at{APointer.X - AOrigin.X - APointer.HotX, APointer.Y - AOrigin.Y - APointer.HotY, APointer.Width,
                 APointer.Height};
  const TRect clip = Intersect(at, {0, 0, ABitmap.Width(), ABitmap.Height()});
  for (int y = clip.Top; y < clip.Bottom(); ++y) {
    const std::uint32_t* src = APointer.Pixels.data() + static_cast<std::size_t>(y - at.Top) * APointer.Width;
    std::uint8_t* dst = ABitmap.Row(y);
    for (int x = clip.Left; x < clip.Right(); ++x) {
      const std::uint32_t p = src[x - at.Left];
      const std::uint32_t a = p >> 24;
      if (a == 0 && (p & 0xFFFFFF) == 0) continue;
      std::uint8_t* d = dst + static_cast<std::size_t>(x) * 4;
      const std::uint32_t inv = 255 - a;
      // Premultiplied source over destination: d = s + d * (1 - a).
      for (int ch = 0; ch < 3; ++ch) {
        const std::uint32_t s = (p >> (8 * ch)) & 0xFF;
        const std::uint32_t v = s + (d[ch] * inv + 127) / 255;
        d[ch] = static_cast<std::uint8_t>(std::min<std::uint32_t>(v, 255));
      }
    }
  }
  return clip;
}

TScreenCapturer::TScreenCapturer(std::shared_ptr<IScreenBackend> ABackend) : FBackend(std::move(ABackend)) {
  SetCaptureArea({});
}

TScreenCapturer::~TScreenCapturer() = default;

std::vector<TMonitorInfo> TScreenCapturer::Monitors() {
  return FBackend ? FBackend->Monitors() : std::vector<TMonitorInfo>{};
}

void TScreenCapturer::DropPicture() {
  FDup.reset();
  FPlain.reset();
  FDupNextTry = 0;
  FCurFromDup = false;
  FPointerRect = {};
}

void TScreenCapturer::SetArea(const TRect& ARect) {
  FArea = ARect.Empty() ? TRect{} : ARect;
  SetCaptureArea(FArea);
  DropPicture();
  FCur.SetSize(0, 0);
  FGrabRect = {};
}

bool TScreenCapturer::Grab() {
  if (!IsNormalDesktop() && !FAllowSecureDesktop) {
    FDiag = "skip: secure desktop";
    return false;
  }
  TRect area = FArea;
  if (area.Empty() && FBackend) {
    const TRect primary = PrimaryMonitor(FBackend->Monitors());
    area = primary;
    std::lock_guard<std::mutex> lock(GAreaLock);
    GPrimaryOrigin = {primary.Left, primary.Top};
  }
  if (area.Width < 2 || area.Height < 2) {
    FDiag = "skip: bad size";
    return false;
  }
  if (FCur.Width() != area.Width || FCur.Height() != area.Height || !(area == FGrabRect)) {
    FCur.SetSize(area.Width, area.Height);
    FPrev.SetSize(area.Width, area.Height);
    FEncoder.Restart();
    DropPicture();
    FGrabRect = area;
  }

  const TTick now = TickMs();
  if (!FDup && now >= FDupNextTry && FBackend) {
    try {
      FDup = FBackend->CreateDup(area);
    } catch (...) {
      FDup.reset();
    }
    if (!FDup) FDupNextTry = now + kDupRetryAfterFailMs;
  }

  const TRect oldPointer = FPointerRect;
  // What we drew into the last picture (pointer, blanked windows of ours) must be read again.
  std::vector<TRect> refresh = FBlankRects;
  if (!oldPointer.Empty()) refresh.push_back(oldPointer);
  const std::span<const TRect> refreshSpan(refresh);
  TGrabChanges changes;
  bool got = false;
  if (FDup) {
    const TGrabStatus st = FDup->CopyTo(FCur, FCurFromDup && FUseDamage, refreshSpan, changes);
    if (st == TGrabStatus::gsLost) {
      FDup.reset();
      FDupNextTry = now + kDupRetryAfterLossMs;
    }
    got = st == TGrabStatus::gsOk;
  }
  if (got) {
    FSource = "gpu";
    FCurFromDup = true;
  } else {
    FSource = "gdi";
    FCurFromDup = false;
    changes = {};
    if (!FPlain && FBackend) FPlain = FBackend->CreatePlain(area);
    if (FPlain) {
      const TGrabStatus st = FPlain->CopyTo(FCur, false, {}, changes);
      got = st == TGrabStatus::gsOk;
      if (st == TGrabStatus::gsLost) FPlain.reset();
    }
    changes.All = true;
  }
  if (!got) {
    FCurFromDup = false;
    FPointerRect = {};
    FEncoder.MarkAllDirty();
    FDiag = "skip: BitBlt failed";
    return false;
  }

  // X11 cannot leave a window out of a capture, so our own viewer and stop bar are blanked here: a PC
  // that is itself viewing another then shows a plain area instead of an endless mirror.
  const std::vector<TRect> oldBlank = std::move(FBlankRects);
  FBlankRects.clear();
  const std::vector<TOwnWindowRect> own = OwnWindowRects();
  if (!own.empty()) {
    BlankOwnWindows(FCur.Row(0), FCur.Width(), FCur.Height(), static_cast<int>(FCur.Stride()), area.Left, area.Top,
                    own, kOwnWindowBlankPixel);
    for (const TOwnWindowRect& o : own) {
      const TRect r = Intersect(TRect{o.Left - area.Left, o.Top - area.Top, o.Width, o.Height},
                                TRect{0, 0, area.Width, area.Height});
      if (!r.Empty()) FBlankRects.push_back(r);
    }
  }

  FPointerRect = {};
  TPointerImage pointer;
  try {
    if (FBackend && FBackend->GetPointer(pointer)) FPointerRect = DrawPointer(FCur, pointer, {area.Left, area.Top});
  } catch (...) {
    FPointerRect = {};
  }

  FEncoder.FTrackDamage = FUseDamage;
  if (changes.All || !FUseDamage) {
    FEncoder.MarkAllDirty();
  } else {
    for (const TRect& r : changes.Rects) FEncoder.MarkDirty(r, area.Width, area.Height);
    FEncoder.MarkDirty(oldPointer, area.Width, area.Height);
    FEncoder.MarkDirty(FPointerRect, area.Width, area.Height);
    for (const TRect& r : oldBlank) FEncoder.MarkDirty(r, area.Width, area.Height);
    for (const TRect& r : FBlankRects) FEncoder.MarkDirty(r, area.Width, area.Height);
  }
  return true;
}

std::unique_ptr<IChangeWatch> TScreenCapturer::WatchChanges(std::function<void()> AOnChange) {
  return FBackend ? FBackend->WatchChanges(std::move(AOnChange)) : nullptr;
}

TBytes TScreenCapturer::CaptureUpdate(bool AFull) {
  FUnfinished = false;
  if (!Grab()) return {};
  FUnfinished = false;
  TTileEncoder::TResult res = FEncoder.Encode(FCur, FPrev, AFull);
  FUnfinished = res.Unfinished;
  if (res.Tiles > 0)
    FDiag = Format("%s, sent %d tiles (W=%d H=%d)", FSource, res.Tiles, FCur.Width(), FCur.Height());
  else
    FDiag = Format("%s, no change (W=%d H=%d)", FSource, FCur.Width(), FCur.Height());
  return std::move(res.Data);
}

bool TScreenCapturer::CaptureVideo(bool AFull, const std::uint8_t*& ABits, std::ptrdiff_t& AStride, int& AW,
                                   int& AH) {
  if (!IsNormalDesktop()) return false;
  if (!Grab()) return false;
  const int w = FCur.Width(), h = FCur.Height();
  bool changed = AFull || FEncoder.FForceAll;
  for (int y = 0; y < h && !changed; ++y)
    changed = std::memcmp(FCur.Row(y), FPrev.Row(y), static_cast<std::size_t>(w) * 4) != 0;
  if (!changed) {
    FDiag = Format("%s, video, no change (W=%d H=%d)", FSource, w, h);
    return false;
  }
  for (int y = 0; y < h; ++y) std::memcpy(FPrev.Row(y), FCur.Row(y), static_cast<std::size_t>(w) * 4);
  FEncoder.MarkSent();
  FDiag = Format("%s, video frame (W=%d H=%d)", FSource, w, h);
  ABits = FCur.Row(0);
  AStride = FCur.Stride();
  AW = w;
  AH = h;
  return true;
}

}  // namespace tovik
