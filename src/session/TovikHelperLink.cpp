#include "session/TovikHelperLink.h"

#include <exception>

namespace tovik {

THelperLink::THelperLink(INetBackend& ABackend, THelperLinkSetup ASetup) : FSetup(std::move(ASetup)) {
  FClient = std::make_unique<TTovikClient>(ABackend, FSetup.Host, FSetup.Port, FSetup.KeyHex);
  TTovikClient& c = *FClient;
  c.OnID = [this] { TryConnect(); };
  c.OnConnected = [this] {
    if (FDone || FConnected) return;  // a link never connects twice
    FConnected = true;
    FSessionStart = FSetup.WallNow ? FSetup.WallNow() : 0;
    FSession.reset();
    if (FSetup.MakeSession) FSession = FSetup.MakeSession(*FClient);
  };
  c.OnDisconnected = [this] {
    FSession.reset();
    if (FConnected && FSessionStart != 0 && OnSessionEnded)
      OnSessionEnded(FSetup.Target, FSessionStart, FSetup.WallNow ? FSetup.WallNow() : 0);
    FSessionStart = 0;
    Finish("");
  };
  c.OnFailed = [this](const std::string& AText) { Finish(AText); };
  c.OnLog = [this](const std::string& ALine) {
    if (OnLog) OnLog(*this, "Help " + FSetup.Target + ": " + ALine);
  };
}

THelperLink::~THelperLink() {
  *FAlive = false;
  FTick.Stop();
  FSession.reset();
  FClient->ClearEvents();
  FClient.reset();
}

void THelperLink::Go(TTick ANow) {
  FStarted = ANow;
  FTick.Start(ANow);
  if (FSetup.KeyHex.size() != 128) {
    Finish("The server's key is not known yet. Wait until Tovik shows a secure connection, then try again.");
    return;
  }
  try {
    FClient->Start(ANow);
  } catch (const std::exception& e) {
    Finish(std::string("Could not start: ") + e.what());
  }
}

void THelperLink::TryConnect() {
  if (FDone || FConnectSent) return;
  if (FClient->State() != rsRegistered || !FClient->RelaySecure() || FClient->MyID() == "0") return;
  FConnectSent = true;
  FClient->ConnectTo(FSetup.Target);
}

void THelperLink::HandleTimeout(TTick ANow) {
  if (!FTick.Fire(ANow)) return;
  TryConnect();
  if (!FConnected && !FDone && ANow - FStarted > kHelperLinkTimeoutMs)
    Finish("That PC did not answer. Check the ID and that it is online.");
}

void THelperLink::Finish(const std::string& AText) {
  if (FDone) return;
  FDone = true;
  FTick.Stop();
  if (!AText.empty() && OnFailed) OnFailed(*this, AText);
  if (!OnDone) return;
  auto done = [this, alive = std::weak_ptr<bool>(FAlive)] {
    if (alive.lock() && OnDone) OnDone(*this);
  };
  if (FSetup.Post)
    FSetup.Post(done);
  else
    done();
}

}  // namespace tovik
