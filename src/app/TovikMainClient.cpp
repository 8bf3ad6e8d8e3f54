#include "app/TovikMainClient.h"

#include <stdexcept>

namespace tovik {

namespace {

// The client as the logic sees it. The ID's time left is read at the moment it is asked for (the logic
// shows it every second), not at the client's last run.
class THostSeam final : public IMainClient {
 public:
  explicit THostSeam(TTovikClient& AClient) : C(AClient) {}
  std::string MyID() const override { return C.MyID(); }
  TTovikState State() const override { return C.State(); }
  bool IDPinned() const override { return C.IDPinned(); }
  std::int64_t IDSecondsLeft() const override { return C.IDSecondsLeft(TickMs()); }
  bool RelaySecure() const override { return C.RelaySecure(); }
  bool RelayBlocked() const override { return C.RelayBlocked(); }
  std::string PartnerID() const override { return C.PartnerID(); }
  std::string PartnerName() const override { return C.PartnerName(); }
  std::string CheckNumber() const override { return C.CheckNumber(); }
  void ConnectTo(const std::string& AID) override { C.ConnectTo(AID); }
  void Disconnect() override { C.Disconnect(); }
  void PinID(const std::string& AID, const std::string& ASecret) override { C.PinID(AID, ASecret); }
  void UnpinID() override { C.UnpinID(); }
  void SendText(const std::string& AText) override { C.SendText(AText); }
  void SetUnattended(bool AOn) override { C.SetUnattended(AOn); }

 private:
  TTovikClient& C;
};

}  // namespace

TMainClientHost::TMainClientHost(std::unique_ptr<INetBackend> ABackend, const TRelayEndpoint& ARelay)
    : FBackend(std::move(ABackend)) {
  if (!FBackend) throw std::invalid_argument("TMainClientHost needs a network backend");
  FClient = std::make_unique<TTovikClient>(*FBackend, ARelay.Host, static_cast<std::uint16_t>(ARelay.Port),
                                           ARelay.Key);
  FSeam = std::make_unique<THostSeam>(*FClient);
}

TMainClientHost::~TMainClientHost() {
  Unwire();
  FSeam.reset();
  FClient.reset();  // ends a live peer link with BYE and says BYE to the relay
  FBackend.reset();
}

void TMainClientHost::Wire(TMainLogic& ALogic, THooks AHooks) {
  TTovikClient& c = *FClient;
  TMainLogic* logic = &ALogic;
  const auto after = [changed = std::move(AHooks.Changed)] {
    if (changed) changed();
  };
  c.SetUnattended(logic->Unattended());
  c.OnID = [logic, after] {
    logic->OnID();
    after();
  };
  c.OnConnected = [logic, after] {
    logic->OnConnected();
    after();
  };
  c.OnDisconnected = [logic, after] {
    logic->OnDisconnected();
    after();
  };
  c.OnFailed = [logic, after](const std::string& r) {
    logic->OnFailed(r);
    after();
  };
  c.OnMessage = [logic](const std::string& t) { logic->OnMessage(t); };
  c.OnLog = [log = std::move(AHooks.Log)](const std::string& t) {
    if (log) log(t);
  };
  c.OnRelayKeyPinned = [logic](const std::string& k) { logic->OnRelayKeyPinned(k); };
  c.OnRelayStatus = [logic, shown = std::move(AHooks.RelayStatus)](const std::string& t) {
    logic->OnRelayStatus(t);
    if (shown) shown();
  };
  c.OnPin = [logic](bool ok, const std::string& v) { logic->OnPin(ok, v); };
}

void TMainClientHost::Unwire() {
  if (!FClient) return;
  FClient->ClearEvents();
}

bool TMainClientHost::Start(TTick ANow, std::string& AError) {
  try {
    FClient->Start(ANow);
    return true;
  } catch (const std::exception& e) {
    AError = e.what();
    return false;
  }
}

}  // namespace tovik
