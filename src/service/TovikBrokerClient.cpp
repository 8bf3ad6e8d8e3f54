#include "service/TovikBrokerClient.h"

#include <cstdio>

#include "service/TovikBrokerWire.h"

namespace tovik {

TBrokerClient::TBrokerClient(std::unique_ptr<IBrokerTransport> ATransport, TLogFn ALog, TBrokerTimeouts ATimeouts)
    : FTransport(std::move(ATransport)), FLog(std::move(ALog)), FTimeouts(ATimeouts) {}

TBrokerClient::~TBrokerClient() {
  std::lock_guard<std::mutex> lock(FLock);
  if (FTransport) FTransport->Close();
}

void TBrokerClient::DropLocked() {
  if (FTransport) FTransport->Close();
  FInUse = false;
  // A broker that broke off or hung is not asked again at once: each attempt could cost its caller an
  // exchange time-out.
  FRetryAt = TickMs() + kBrokerRetryMs;
}

bool TBrokerClient::ExchangeLocked(const TBytes& ARequest, TBytes* AReply) {
  if (!FTransport) return false;
  int err = 0;
  if (!FTransport->Connected()) {
    const TTick now = TickMs();
    if (now < FRetryAt) return false;
    if (!FTransport->Connect(FTimeouts.ConnectMs, err)) {
      FRetryAt = now + kBrokerRetryMs;
      if (FLog) {
        char line[400];
        std::snprintf(line, sizeof line, "No available broker socket %s (error %d)", FTransport->Name().c_str(), err);
        FLog(line);
      }
      FTransport->Close();
      return false;
    }
  }
  std::uint8_t head[kBrokerHeaderBytes];
  if (!FTransport->Send(ARequest, FTimeouts.ExchangeMs, err) ||
      !FTransport->Receive(head, sizeof head, FTimeouts.ExchangeMs, err)) {
    if (FLog) FLog("Broker request failed (error " + std::to_string(err) + ")");
    DropLocked();
    return false;
  }
  const TBrokerHeader reply = DecodeBrokerHeader(head);
  if (reply.Length > kBrokerMaxPayload) {
    if (FLog) FLog("Broker reply of " + std::to_string(reply.Length) + " bytes over the limit");
    DropLocked();
    return false;
  }
  TBytes payload(reply.Length);
  if (reply.Length > 0 && !FTransport->Receive(payload.data(), payload.size(), FTimeouts.ExchangeMs, err)) {
    if (FLog) FLog("Broker reply cut short (error " + std::to_string(err) + ")");
    DropLocked();
    return false;
  }
  if (AReply) *AReply = std::move(payload);
  return reply.Kind == bsDone;
}

bool TBrokerClient::ActivateLocked() {
  if (FWanted && !FInUse) FInUse = ExchangeLocked(EncodeAllowRequest(true), nullptr);
  return FInUse;
}

void TBrokerClient::UseBroker(bool AOn) {
  std::lock_guard<std::mutex> lock(FLock);
  if (AOn) {
    ++FUseCount;
    FWanted = true;
    FInUse = ExchangeLocked(EncodeAllowRequest(true), nullptr);
    return;
  }
  if (FUseCount > 0) --FUseCount;
  if (FUseCount > 0) return;
  FWanted = false;
  if (FTransport && FTransport->Connected()) ExchangeLocked(EncodeAllowRequest(false), nullptr);
  // Closed on purpose: a later session may connect again at once.
  if (FTransport) FTransport->Close();
  FInUse = false;
}

bool TBrokerClient::InUse() {
  std::lock_guard<std::mutex> lock(FLock);
  return FInUse;
}

bool TBrokerClient::Wanted() {
  std::lock_guard<std::mutex> lock(FLock);
  return FWanted;
}

bool TBrokerClient::BrokerAvailable() {
  std::lock_guard<std::mutex> lock(FLock);
  if (FInUse) return true;
  const bool ok = ExchangeLocked(EncodePingRequest(), nullptr);
  if (!FInUse && FTransport) FTransport->Close();
  return ok;
}

std::optional<TBytes> TBrokerClient::Capture(bool AFull, const TRect& AArea) {
  std::lock_guard<std::mutex> lock(FLock);
  if (!ActivateLocked()) return std::nullopt;
  TBytes reply;
  if (!ExchangeLocked(EncodeCaptureRequest(AFull, AArea), &reply)) {
    DropLocked();
    return std::nullopt;
  }
  return reply;
}

bool TBrokerClient::Input(const TInputEvent& AEvent, const TRect& AArea) {
  std::lock_guard<std::mutex> lock(FLock);
  if (!ActivateLocked()) return false;
  if (ExchangeLocked(EncodeInputRequest(AEvent, AArea), nullptr)) return true;
  DropLocked();
  return false;
}

void TLineRateLimit::operator()(const std::string& ALine) {
  std::lock_guard<std::mutex> lock(FLock);
  const TTick now = TickMs();
  if (FLast && now - *FLast < FGap) return;
  FLast = now;
  if (FOut) FOut(ALine);
}

bool TShownDesktopProbe::operator()() {
  if (!FLogind) return true;
  const TTick now = TickMs();
  if (FAskedAt && now - *FAskedAt < kShownDesktopCacheMs) return FShown;
  FAskedAt = now;
  if (!FOwn) FOwn = FLogind->OwnSession();
  FShown = IsOwnSessionShown(FLogind->ReadSeat(), *FOwn);
  return FShown;
}

namespace {

class TBrokerScreen final : public IHostScreen {
 public:
  TBrokerScreen(std::unique_ptr<IHostScreen> AInner, std::shared_ptr<TBrokerClient> AClient,
                std::function<bool()> ANormal)
      : FInner(std::move(AInner)), FClient(std::move(AClient)), FNormal(std::move(ANormal)) {}

  TBytes CaptureUpdate(bool AFull) override {
    FInnerUpdate = IsNormalDesktop() && FInner;
    if (FInnerUpdate) return FInner->CaptureUpdate(AFull);
    if (IsNormalDesktop()) return TBytes{};
    // The shown display is another X display: its primary monitor, whatever this one's choice is.
    std::optional<TBytes> update = FClient->Capture(AFull, {});
    FDiag = update ? "broker" : "broker unavailable";
    return update ? std::move(*update) : TBytes{};
  }
  bool CaptureVideo(bool AFull, const std::uint8_t*& ABits, std::ptrdiff_t& AStride, int& AW, int& AH) override {
    if (!IsNormalDesktop() || !FInner) return false;
    return FInner->CaptureVideo(AFull, ABits, AStride, AW, AH);
  }
  void SetArea(const TRect& ARect) override {
    if (FInner) FInner->SetArea(ARect);
  }
  void SetCompact(bool AOn) override {
    if (FInner) FInner->SetCompact(AOn);
  }
  bool MoreWaiting() const override { return FInner && IsNormalDesktop() && FInner->MoreWaiting(); }
  // This display's updates may be left unfinished; the broker's come finished.
  bool DeferDeflate(bool AOn) override { return FInner && FInner->DeferDeflate(AOn); }
  bool LastUnfinished() const override { return FInnerUpdate && FInner->LastUnfinished(); }
  // This display's drawing only: off it the host looks for changes on its tick (the report says
  // nothing about the shown desktop).
  std::unique_ptr<IChangeWatch> WatchChanges(std::function<void()> AOnChange) override {
    return FInner ? FInner->WatchChanges(std::move(AOnChange)) : nullptr;
  }
  std::string Diag() const override { return !FDiag.empty() || !FInner ? FDiag : FInner->Diag(); }
  bool IsNormalDesktop() const override {
    const bool normal = !FNormal || FNormal();
    if (normal) FDiag.clear();
    return normal;
  }
  TPoint Origin() const override { return FInner ? FInner->Origin() : TPoint{}; }
  std::vector<TScreenRect> Screens() const override { return FInner ? FInner->Screens() : std::vector<TScreenRect>{}; }

 private:
  std::unique_ptr<IHostScreen> FInner;
  bool FInnerUpdate = false;  // the last CaptureUpdate came from FInner
  std::shared_ptr<TBrokerClient> FClient;
  std::function<bool()> FNormal;
  mutable std::string FDiag;
};

class TBrokerInput final : public IHostInput {
 public:
  TBrokerInput(std::unique_ptr<IHostInput> AInner, std::shared_ptr<TBrokerClient> AClient, std::function<bool()> ANormal)
      : FInner(std::move(AInner)), FClient(std::move(AClient)), FNormal(std::move(ANormal)) {}

  void InjectInput(const TInputEvent& AEvent) override {
    const bool normal = Normal();
    if (!normal || FClient->Wanted()) {
      if (FClient->Input(AEvent, {})) return;
      // Off the normal desktop the event is dropped: this program's own display is not the one shown,
      // and keys typed into it unseen would act in the user's hidden session.
      if (!normal) return;
    }
    if (FInner) FInner->InjectInput(AEvent);
  }
  void Flush() override {
    if (FInner) FInner->Flush();
  }
  bool IsOwnWindowAt(TPoint APoint) override { return Normal() && FInner && FInner->IsOwnWindowAt(APoint); }
  bool OwnWindowHasFocus() override { return Normal() && (!FInner || FInner->OwnWindowHasFocus()); }

 private:
  bool Normal() const { return !FNormal || FNormal(); }
  std::unique_ptr<IHostInput> FInner;
  std::shared_ptr<TBrokerClient> FClient;
  std::function<bool()> FNormal;
};

}  // namespace

std::unique_ptr<IHostScreen> MakeBrokerScreen(std::unique_ptr<IHostScreen> AInner,
                                              std::shared_ptr<TBrokerClient> AClient,
                                              std::function<bool()> AIsNormalDesktop) {
  return std::make_unique<TBrokerScreen>(std::move(AInner), std::move(AClient), std::move(AIsNormalDesktop));
}

std::unique_ptr<IHostInput> MakeBrokerInput(std::unique_ptr<IHostInput> AInner, std::shared_ptr<TBrokerClient> AClient,
                                            std::function<bool()> AIsNormalDesktop) {
  return std::make_unique<TBrokerInput>(std::move(AInner), std::move(AClient), std::move(AIsNormalDesktop));
}

}  // namespace tovik
