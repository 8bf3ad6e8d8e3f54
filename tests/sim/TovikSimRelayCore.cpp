#include "sim/TovikSimRelayCore.h"

#include "net/TovikWire.h"

namespace tovik::sim {

TSimRelayCore::TSimRelayCore(TSimNet& ANet, TSimHost& AHost, std::uint16_t AUdpPort,
                             std::vector<std::uint16_t> ATcpPorts, TRelayConfig AConfig)
    : FNet(ANet), FHost(AHost), FUdpPort(AUdpPort), FKey(TEcdsaKey::CreateNew()) {
  if (AConfig.Seed == 0) AConfig.Seed = 12345;
  AConfig.OnLog = [this](std::string_view s) { Logs.emplace_back(s); };
  FCore = std::make_unique<TRelayCore>(std::move(AConfig), FStore, FKey);

  FHost.BindUdp(FUdpPort, [this](const TRxPacket& p) {
    if (Silent) return;
    const TRelayEndpoint from{ParseIPv4(p.IP).value_or(0), p.Port, 0};
    if (!p.Data.empty() && p.Data[0] == kWireForward) {
      if (const TRelayEndpoint* to = FCore->ForwardTarget(from, p.Data, FNet.Now())) {
        FOut.Datagrams.push_back(TRelayDatagram{*to, p.Data});
        Flush();
        return;
      }
    }
    FCore->OnDatagram(from, p.Data, FNet.Now(), FOut);
    Flush();
  });
  for (std::uint16_t port : ATcpPorts) {
    FHost.ListenTcp(port, [this](std::shared_ptr<TSimTcpConn> conn) {
      const std::uint64_t id = FNextConn++;
      FConns[id] = conn;
      const TRelayEndpoint ep{ParseIPv4(conn->Remote().IP).value_or(0), conn->Remote().Port, id};
      auto decoder = std::make_shared<TFrameDecoder>();
      conn->OnData = [this, ep, decoder](TByteView data) {
        if (Silent) return;
        decoder->Feed(data);
        TBytes d;
        for (;;) {
          const auto r = decoder->Next(d);
          if (r == TFrameDecoder::TResult::frNeedMore) break;
          if (r == TFrameDecoder::TResult::frBad) {
            FCore->OnClosed(ep, FNet.Now(), FOut);
            if (auto it = FConns.find(ep.Conn); it != FConns.end()) it->second->Close();
            break;
          }
          FCore->OnDatagram(ep, d, FNet.Now(), FOut);
        }
        Flush();
      };
      conn->OnClose = [this, ep] {
        FCore->OnClosed(ep, FNet.Now(), FOut);
        FConns.erase(ep.Conn);
        Flush();
      };
    });
  }
  FTick.Start(FNet.Now());
  FNet.AddTimed(*this);
}

TSimRelayCore::~TSimRelayCore() { FNet.RemoveTimed(*this); }

void TSimRelayCore::HandleTimeout(TTick ANow) {
  if (!FTick.Fire(ANow)) return;
  FCore->Tick(ANow, FOut);
  Flush();
}

void TSimRelayCore::Flush() {
  for (const TRelayDatagram& d : FOut.Datagrams) {
    if (d.To.IsTcp()) {
      auto it = FConns.find(d.To.Conn);
      if (it != FConns.end()) it->second->Write(Framed(d.Data));
    } else {
      FHost.SendUdp(FUdpPort, FormatIPv4(d.To.IP), d.To.Port, d.Data);
    }
  }
  for (std::uint64_t c : FOut.CloseConns) {
    auto it = FConns.find(c);
    if (it == FConns.end()) continue;
    it->second->Close();
    FConns.erase(it);
  }
  FOut.Clear();
}

}  // namespace tovik::sim
