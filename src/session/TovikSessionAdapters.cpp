#include "session/TovikSessionAdapters.h"

namespace tovik {

namespace {

class TCapturerScreen final : public IHostScreen {
 public:
  explicit TCapturerScreen(std::shared_ptr<IScreenBackend> ABackend) : FCap(std::move(ABackend)) {}
  TBytes CaptureUpdate(bool AFull) override { return FCap.CaptureUpdate(AFull); }
  bool CaptureVideo(bool AFull, const std::uint8_t*& ABits, std::ptrdiff_t& AStride, int& AW, int& AH) override {
    return FCap.CaptureVideo(AFull, ABits, AStride, AW, AH);
  }
  void SetArea(const TRect& ARect) override { FCap.SetArea(ARect); }
  void SetCompact(bool AOn) override { FCap.FEncoder.FCompact = AOn; }
  std::string Diag() const override { return FCap.FDiag; }
  bool MoreWaiting() const override { return FCap.FEncoder.FMore; }
  bool DeferDeflate(bool AOn) override {
    FCap.FEncoder.FDeferDeflate = AOn;
    return true;
  }
  bool LastUnfinished() const override { return FCap.FUnfinished; }
  std::unique_ptr<IChangeWatch> WatchChanges(std::function<void()> AOnChange) override {
    return FCap.WatchChanges(std::move(AOnChange));
  }
  bool IsNormalDesktop() const override { return tovik::IsNormalDesktop(); }
  TPoint Origin() const override { return CaptureOrigin(); }
  std::vector<TScreenRect> Screens() const override {
    std::vector<TScreenRect> out;
    for (const auto& m : const_cast<TScreenCapturer&>(FCap).Monitors()) out.push_back({m.Rect, m.Primary});
    return out;
  }

 private:
  TScreenCapturer FCap;
};

class TInjectorInput final : public IHostInput {
 public:
  explicit TInjectorInput(std::unique_ptr<IInputInjector> AInj) : FInj(std::move(AInj)) {}
  void InjectInput(const TInputEvent& AEvent) override { FInj->InjectInput(AEvent); }
  void Flush() override { FInj->Flush(); }
  bool IsOwnWindowAt(TPoint APicturePoint) override { return FInj->IsOwnWindowAt(APicturePoint.X, APicturePoint.Y); }
  bool OwnWindowHasFocus() override { return FInj->OwnWindowHasFocus(); }

 private:
  std::unique_ptr<IInputInjector> FInj;
};

}  // namespace

std::unique_ptr<IHostScreen> MakeCapturerScreen(std::shared_ptr<IScreenBackend> ABackend) {
  if (!ABackend) return nullptr;
  return std::make_unique<TCapturerScreen>(std::move(ABackend));
}

std::unique_ptr<IHostInput> MakeHostInput(std::unique_ptr<IInputInjector> AInjector) {
  if (!AInjector) return nullptr;
  return std::make_unique<TInjectorInput>(std::move(AInjector));
}

}  // namespace tovik
