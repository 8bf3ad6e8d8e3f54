#include "sim/TovikSim.h"

#include "net/TovikWire.h"

#include <algorithm>
#include <arpa/inet.h>

namespace tovik::sim {

const char* NatKindName(TNatKind AKind) {
  switch (AKind) {
    case TNatKind::FullCone: return "FullCone";
    case TNatKind::AddressRestricted: return "AddressRestricted";
    case TNatKind::PortRestricted: return "PortRestricted";
    case TNatKind::Symmetric: return "Symmetric";
  }
  return "?";
}

// ---- NAT box ----------------------------------------------------------------------------------------

std::uint16_t TSimNat::MapOut(const TEndpoint& AInside, const TEndpoint& ARemote) {
  // Cone NATs keep one mapping per inside endpoint; a symmetric NAT one per (inside, remote).
  const TEndpoint key = FKind == TNatKind::Symmetric ? ARemote : TEndpoint{};
  auto it = FOut.find({AInside, key});
  std::uint16_t port;
  if (it == FOut.end()) {
    port = FNextPort++;
    FOut[{AInside, key}] = port;
    FIn[port].Inside = AInside;
  } else {
    port = it->second;
  }
  TMapping& m = FIn[port];
  m.SeenIPs.insert(ARemote.IP);
  m.Seen.insert(ARemote);
  return port;
}

bool TSimNat::MapIn(const TEndpoint& ARemote, std::uint16_t APublicPort, TEndpoint& AInside) {
  auto it = FIn.find(APublicPort);
  if (it == FIn.end()) return false;
  const TMapping& m = it->second;
  switch (FKind) {
    case TNatKind::FullCone: break;
    case TNatKind::AddressRestricted:
      if (!m.SeenIPs.count(ARemote.IP)) return false;
      break;
    case TNatKind::PortRestricted:
    case TNatKind::Symmetric:
      if (!m.Seen.count(ARemote)) return false;
      break;
  }
  AInside = m.Inside;
  return true;
}

// ---- TCP --------------------------------------------------------------------------------------------

namespace {

struct TPipe {
  TSimNet* Net = nullptr;
  IRxSink* ClientSink = nullptr;  // null once the client link is gone
  std::string FromIP;
  std::uint16_t FromPort = 0;
  TEndpoint Source;               // client's public endpoint as the server sees it
  bool Connected = false;
  bool Done = false;
  std::string Error;
  bool ServerOpen = false;
  std::weak_ptr<TSimTcpConn> Server;
  TTick LastToServer = 0;
  TTick LastToClient = 0;
  TFrameDecoder Deframer;
  std::vector<TBytes> Pending;  // framed datagrams queued before the connection is up
  std::size_t PendingBytes = 0;

  void EndClient(const std::string& AError) {
    if (Done) return;
    Done = true;
    Connected = false;
    Error = AError;
  }
};

// Sends stream bytes in order, cut into up to three pieces, each arriving no earlier than the last.
void StreamTo(TSimNet& ANet, TTick& ALast, TByteView AData, const std::function<void(TBytes)>& AArrive) {
  std::size_t off = 0;
  while (off < AData.size()) {
    std::size_t left = AData.size() - off;
    std::size_t take = left <= 2 ? left : 1 + ANet.Random(static_cast<std::uint32_t>(left - 1));
    if (ANet.Random(2) == 0) take = left;
    TBytes piece(AData.begin() + static_cast<std::ptrdiff_t>(off),
                 AData.begin() + static_cast<std::ptrdiff_t>(off + take));
    off += take;
    ALast = std::max(ALast, ANet.Now() + ANet.Link.DelayMs);
    ANet.Schedule(ALast, [AArrive, piece = std::move(piece)]() mutable { AArrive(std::move(piece)); });
  }
}

class TServerConn final : public TSimTcpConn, public std::enable_shared_from_this<TServerConn> {
 public:
  explicit TServerConn(std::shared_ptr<TPipe> APipe) : FPipe(std::move(APipe)) {}
  void Write(TByteView AData) override {
    if (!FPipe->ServerOpen) return;
    auto pipe = FPipe;
    StreamTo(*pipe->Net, pipe->LastToClient, AData, [pipe](TBytes piece) {
      if (!pipe->ClientSink || pipe->Done) return;
      pipe->Deframer.Feed(piece);
      const bool good = pipe->Deframer.Drain(
          [&](TBytes&& d) { pipe->ClientSink->PushRx(TRxPacket{std::move(d), pipe->FromIP, pipe->FromPort}); });
      if (!good) {
        pipe->EndClient("bad data from the server");
        if (auto s = pipe->Server.lock()) {
          pipe->ServerOpen = false;
          if (s->OnClose) s->OnClose();
        }
      }
    });
  }
  void Close() override {
    if (!FPipe->ServerOpen) return;
    FPipe->ServerOpen = false;
    auto pipe = FPipe;
    pipe->Net->Schedule(std::max(pipe->LastToClient, pipe->Net->Now() + pipe->Net->Link.DelayMs),
                        [pipe] { pipe->EndClient("Connection closed gracefully."); });
  }
  TEndpoint Remote() const override { return FPipe->Source; }
  bool Open() const override { return FPipe->ServerOpen; }

 private:
  std::shared_ptr<TPipe> FPipe;
};

class TSimTcpLink final : public IRelayTcpLink {
 public:
  TSimTcpLink(TSimNet& ANet, TSimHost& AHost, IRxSink& ASink, const std::string& AIP, std::uint16_t APort,
              const std::string& AFromIP, std::uint16_t AFromPort)
      : FPort(APort), FPipe(std::make_shared<TPipe>()) {
    FPipe->Net = &ANet;
    FPipe->ClientSink = &ASink;
    FPipe->FromIP = AFromIP;
    FPipe->FromPort = AFromPort;
    FPipe->Source = ANet.TcpSource(AHost);
    auto pipe = FPipe;
    const TEndpoint to{AIP, APort};
    const TTick d = ANet.Link.DelayMs;
    ANet.Schedule(ANet.Now() + d, [pipe, to, d] {
      TSimNet& net = *pipe->Net;
      auto it = net.Listeners.find(to);
      if (it == net.Listeners.end() || !pipe->ClientSink) {
        net.Schedule(net.Now() + d, [pipe] { pipe->EndClient("Connection refused"); });
        return;
      }
      auto conn = std::make_shared<TServerConn>(pipe);
      pipe->Server = conn;
      pipe->ServerOpen = true;
      it->second.Accept(conn);
      net.Schedule(net.Now() + d, [pipe] {
        if (pipe->Done || !pipe->ClientSink) return;
        pipe->Connected = true;
        for (auto& f : pipe->Pending) SendFramed(pipe, f);
        pipe->Pending.clear();
        pipe->PendingBytes = 0;
      });
    });
  }

  ~TSimTcpLink() override {
    FPipe->ClientSink = nullptr;
    FPipe->Connected = false;
    auto pipe = FPipe;
    if (pipe->ServerOpen) {
      pipe->ServerOpen = false;
      pipe->Net->Schedule(std::max(pipe->LastToServer, pipe->Net->Now() + pipe->Net->Link.DelayMs), [pipe] {
        if (auto s = pipe->Server.lock())
          if (s->OnClose) s->OnClose();
      });
    }
  }

  void Send(TByteView AData, bool ADroppable) override {
    TBytes framed = Framed(AData);
    if (framed.empty() || FPipe->Done) return;
    if (!FPipe->Connected) {
      if (ADroppable && FPipe->PendingBytes + framed.size() > KTcpOutboxLimit) return;
      FPipe->PendingBytes += framed.size();
      FPipe->Pending.push_back(std::move(framed));
      return;
    }
    SendFramed(FPipe, framed);
  }
  bool Connected() const override { return FPipe->Connected; }
  bool Done() const override { return FPipe->Done; }
  std::string Error() const override { return FPipe->Error; }
  std::uint16_t Port() const override { return FPort; }

 private:
  static void SendFramed(const std::shared_ptr<TPipe>& APipe, TByteView AFramed) {
    auto pipe = APipe;
    StreamTo(*pipe->Net, pipe->LastToServer, AFramed, [pipe](TBytes piece) {
      if (!pipe->ServerOpen) return;
      if (auto s = pipe->Server.lock())
        if (s->OnData) s->OnData(piece);
    });
  }

  std::uint16_t FPort;
  std::shared_ptr<TPipe> FPipe;
};

class TSimUdpSocket final : public IUdpSocket {
 public:
  TSimUdpSocket(TSimNet& ANet, TSimHost& AHost, IRxSink& ASink) : FNet(ANet), FHost(AHost), FSink(ASink) {}
  ~TSimUdpSocket() override { Close(); }
  bool Open(std::string&) override {
    if (!FPort) FPort = FNet.BindEphemeral(FHost, FSink);
    return true;
  }
  std::uint16_t LocalPort() const override { return FPort; }
  bool SendTo(const std::string& AIP, std::uint16_t APort, TByteView AData) override {
    if (!FPort) return false;
    FNet.SendUdpFrom(FHost, FPort, AIP, APort, AData);
    return true;
  }
  void Close() override {
    if (FPort) FNet.Unbind(FHost, FPort);
    FPort = 0;
  }

 private:
  TSimNet& FNet;
  TSimHost& FHost;
  IRxSink& FSink;
  std::uint16_t FPort = 0;
};

class TSimBackend final : public INetBackend {
 public:
  TSimBackend(TSimNet& ANet, TSimHost& AHost) : FNet(ANet), FHost(AHost) {}
  std::unique_ptr<IUdpSocket> CreateUdp(IRxSink& ASink) override {
    return std::make_unique<TSimUdpSocket>(FNet, FHost, ASink);
  }
  std::unique_ptr<IRelayTcpLink> CreateTcp(IRxSink& ASink, const std::string& AHost, std::uint16_t APort,
                                           const std::string& AFromIP, std::uint16_t AFromPort) override {
    return std::make_unique<TSimTcpLink>(FNet, FHost, ASink, AHost, APort, AFromIP, AFromPort);
  }
  bool Resolve(const std::string& AHost, std::string& AIP, std::string& AError) override {
    if (FNet.Resolve(AHost, AIP)) return true;
    AError = "Host not found";
    return false;
  }
  std::string LocalIPv4() override { return FHost.IP(); }

 private:
  TSimNet& FNet;
  TSimHost& FHost;
};

}  // namespace

// ---- Host -------------------------------------------------------------------------------------------

void TSimHost::BindUdp(std::uint16_t APort, std::function<void(const TRxPacket&)> AHandler) {
  FNet->FBindings[{this, APort}] = TSimNet::TBinding{nullptr, std::move(AHandler)};
}

void TSimHost::SendUdp(std::uint16_t AFromPort, const std::string& AIP, std::uint16_t APort, TByteView AData) {
  FNet->SendUdpFrom(*this, AFromPort, AIP, APort, AData);
}

void TSimHost::ListenTcp(std::uint16_t APort, std::function<void(std::shared_ptr<TSimTcpConn>)> AAccept) {
  FNet->Listeners[{FIP, APort}] = TSimNet::TListener{this, std::move(AAccept)};
}

void TSimHost::StopListenTcp(std::uint16_t APort) { FNet->Listeners.erase({FIP, APort}); }

// ---- Network ----------------------------------------------------------------------------------------

TSimNet::TSimNet(std::uint32_t ASeed, TTick AStart) : FClock(AStart), FRng(ASeed) { FDriver.Add(*this); }

TSimNet::~TSimNet() = default;

TSimNat& TSimNet::AddNat(const std::string& APublicIP, TNatKind AKind) {
  FNats.push_back(std::make_unique<TSimNat>(APublicIP, AKind));
  return *FNats.back();
}

TSimHost& TSimNet::AddHost(const std::string& AIP, TSimNat* ANat) {
  auto h = std::make_unique<TSimHost>();
  h->FNet = this;
  h->FIP = AIP;
  h->FNat = ANat;
  h->FBackend = std::make_unique<TSimBackend>(*this, *h);
  FHosts.push_back(std::move(h));
  return *FHosts.back();
}

void TSimNet::HandleTimeout(TTick ANow) {
  while (!FEvents.empty() && FEvents.top().At <= ANow) {
    auto action = std::move(const_cast<TEvent&>(FEvents.top()).Action);
    FEvents.pop();
    action();
  }
}

void TSimNet::Schedule(TTick AAt, std::function<void()> AAction) {
  FEvents.push(TEvent{AAt, FSeq++, std::move(AAction)});
}

TTick TSimNet::DrawDelay() {
  TTick d = Link.DelayMs;
  if (Link.JitterMs) d += Random(static_cast<std::uint32_t>(Link.JitterMs + 1));
  if (Chance(Link.Reorder)) d += 3 * Link.DelayMs + 1;
  return std::max<TTick>(d, 1);
}

bool TSimNet::Chance(double AP) {
  if (AP <= 0) return false;
  return std::uniform_real_distribution<double>(0, 1)(FRng) < AP;
}

std::uint32_t TSimNet::Random(std::uint32_t AMax) {
  if (AMax <= 1) return 0;
  return std::uniform_int_distribution<std::uint32_t>(0, AMax - 1)(FRng);
}

bool TSimNet::Resolve(const std::string& AName, std::string& AIP) const {
  in_addr a{};
  if (::inet_pton(AF_INET, AName.c_str(), &a) == 1) {
    AIP = AName;
    return true;
  }
  auto it = FNames.find(AName);
  if (it == FNames.end()) return false;
  AIP = it->second;
  return true;
}

std::uint16_t TSimNet::BindEphemeral(TSimHost& AHost, IRxSink& ASink) {
  std::uint16_t& next = FNextEphemeral[&AHost];
  if (next == 0) next = 50000;
  while (FBindings.count({&AHost, next})) ++next;
  const std::uint16_t port = next++;
  FBindings[{&AHost, port}] = TBinding{&ASink, {}};
  return port;
}

void TSimNet::Unbind(TSimHost& AHost, std::uint16_t APort) { FBindings.erase({&AHost, APort}); }

TEndpoint TSimNet::TcpSource(TSimHost& AHost) {
  if (AHost.Nat()) return {AHost.Nat()->PublicIP(), FNextTcpPort++};
  return {AHost.IP(), FNextTcpPort++};
}

TSimHost* TSimNet::FindHost(const std::string& AIP, TSimNat* ARealm) {
  for (auto& h : FHosts)
    if (h->FIP == AIP && h->FNat == ARealm) return h.get();
  return nullptr;
}

void TSimNet::SendUdpFrom(TSimHost& AHost, std::uint16_t AFromPort, const std::string& AIP, std::uint16_t APort,
                          TByteView AData) {
  TEndpoint from{AHost.IP(), AFromPort};
  const TEndpoint to{AIP, APort};
  // Same private network: delivered at once (next millisecond), no NAT, no firewall, no faults.
  if (TSimHost* local = AHost.Nat() ? FindHost(AIP, AHost.Nat()) : nullptr; local && local != &AHost) {
    Schedule(Now() + 1, [this, local, from, APort, d = TBytes(AData.begin(), AData.end())]() mutable {
      DeliverLocal(*local, from, APort, std::move(d));
    });
    return;
  }
  if (AHost.UdpBlocked) {
    ++FDropped;
    return;
  }
  if (TSimNat* nat = AHost.Nat()) from = {nat->PublicIP(), nat->MapOut(from, to)};
  int copies = Chance(Link.Duplicate) ? 2 : 1;
  for (int i = 0; i < copies; ++i) {
    if (Chance(Link.Loss)) {
      ++FDropped;
      continue;
    }
    Schedule(Now() + DrawDelay(), [this, from, to, d = TBytes(AData.begin(), AData.end())]() mutable {
      ArriveUdp(from, to, std::move(d), nullptr);
    });
  }
}

void TSimNet::ArriveUdp(const TEndpoint& AFrom, const TEndpoint& ATo, TBytes AData, TSimNat*) {
  if (TSimHost* h = FindHost(ATo.IP, nullptr)) {
    if (h->UdpBlocked) {
      ++FDropped;
      return;
    }
    DeliverLocal(*h, AFrom, ATo.Port, std::move(AData));
    return;
  }
  for (auto& nat : FNats) {
    if (nat->PublicIP() != ATo.IP) continue;
    TEndpoint inside;
    TSimHost* h = nat->MapIn(AFrom, ATo.Port, inside) ? FindHost(inside.IP, nat.get()) : nullptr;
    if (!h || h->UdpBlocked) {
      ++FDropped;
      return;
    }
    DeliverLocal(*h, AFrom, inside.Port, std::move(AData));
    return;
  }
  ++FDropped;
}

void TSimNet::DeliverLocal(TSimHost& AHost, const TEndpoint& AFrom, std::uint16_t APort, TBytes AData) {
  auto it = FBindings.find({&AHost, APort});
  if (it == FBindings.end()) {
    ++FDropped;
    return;
  }
  ++FDelivered;
  TRxPacket p{std::move(AData), AFrom.IP, AFrom.Port};
  if (it->second.Sink) {
    it->second.Sink->PushRx(std::move(p));
  } else if (it->second.Handler) {
    auto handler = it->second.Handler;  // the handler may rebind the port
    handler(p);
  }
}

}  // namespace tovik::sim
