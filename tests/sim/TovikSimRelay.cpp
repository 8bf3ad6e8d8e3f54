#include "sim/TovikSimRelay.h"

#include "net/TovikWire.h"

#include <sstream>

namespace tovik::sim {

namespace {
std::vector<std::string> Split(const std::string& s) {
  std::vector<std::string> f;
  std::istringstream in(s);
  std::string w;
  while (in >> w) f.push_back(w);
  return f;
}
}  // namespace

TSimRelay::TSimRelay(TSimHost& AHost, std::uint16_t AUdpPort, std::vector<std::uint16_t> ATcpPorts)
    : FHost(AHost), FUdpPort(AUdpPort), FKey(TEcdsaKey::CreateNew()) {
  FHost.BindUdp(FUdpPort, [this](const TRxPacket& p) { HandleDatagram({p.IP, p.Port}, nullptr, p.Data); });
  for (std::uint16_t port : ATcpPorts) {
    FHost.ListenTcp(port, [this](std::shared_ptr<TSimTcpConn> conn) {
      FConns.push_back(conn);
      auto deframer = std::make_shared<TFrameDecoder>();
      std::weak_ptr<TSimTcpConn> weak = conn;
      conn->OnData = [this, deframer, weak](TByteView data) {
        auto c = weak.lock();
        if (!c) return;
        deframer->Feed(data);
        if (!deframer->Drain([&](TBytes&& d) { HandleDatagram(c->Remote(), c, d); })) c->Close();
      };
    });
  }
}

std::string TSimRelay::Key(const TEndpoint& AFrom, const std::shared_ptr<TSimTcpConn>& ATcp) const {
  return (ATcp ? "tcp:" : "udp:") + AFrom.IP + ":" + std::to_string(AFrom.Port);
}

TSimRelay::TSession* TSimRelay::ByID(const std::string& AID) {
  for (auto& [k, s] : FSessions)
    if (s->ID == AID && s->Channel) return s.get();
  return nullptr;
}

std::vector<TSimRelay::TSession*> TSimRelay::Sessions() {
  std::vector<TSession*> out;
  for (auto& [k, s] : FSessions) out.push_back(s.get());
  return out;
}

void TSimRelay::ForgetSessions() {
  for (auto& [k, s] : FSessions) s->Channel.reset();
}

void TSimRelay::SendTo(const TEndpoint& AFrom, const std::shared_ptr<TSimTcpConn>& ATcp, TByteView AData) {
  if (ATcp) {
    ATcp->Write(Framed(AData));
    return;
  }
  FHost.SendUdp(FUdpPort, AFrom.IP, AFrom.Port, AData);
}

void TSimRelay::Send(TSession& S, TByteView AData) { SendTo(S.From, S.Tcp, AData); }

void TSimRelay::SendLine(const std::string& AID, const std::string& ALine) {
  TSession* s = ByID(AID);
  if (!s) return;
  SendLineTo(*s, ALine);
}

void TSimRelay::SendLineTo(TSession& S, std::string ALine) {
  if (!S.Channel) return;
  if (Rewrite && !Rewrite(S.ID, ALine)) return;
  Send(S, S.Channel->Seal(BytesOf(ALine)));
}

void TSimRelay::HandleDatagram(const TEndpoint& AFrom, const std::shared_ptr<TSimTcpConn>& ATcp, const TBytes& AData) {
  if (Silent || AData.empty()) return;
  const std::string key = Key(AFrom, ATcp);
  switch (AData[0]) {
    case 0x10: {
      if (AData.size() != 82 || AData[1] != 1) return;
      const TByteView clientPub = TByteView(AData).subspan(2, 64);
      const TByteView clientRandom = TByteView(AData).subspan(66, 16);
      TEcdhKey eph;
      const TBytes sig = FKey.Sign(RelayTranscript(clientPub, clientRandom, eph.Public(), FKey.Public()));
      const TRelayKeys keys = DeriveRelayKeys(eph.SharedSecret(clientPub), clientRandom);
      auto s = std::make_unique<TSession>();
      s->From = AFrom;
      s->Tcp = ATcp;
      s->Channel = std::make_unique<TSecureChannel>(0x12, keys.S2C, keys.C2S, 2, 1);
      if (auto it = FSessions.find(key); it != FSessions.end()) {
        s->ID = it->second->ID;
        FOld.push_back(std::move(it->second));
      }
      FSessions[key] = std::move(s);
      TBytes reply{0x11, 0x01};
      Append(reply, eph.Public());
      Append(reply, FKey.Public());
      Append(reply, sig);
      ++HandshakeReplies;
      SendTo(AFrom, ATcp, reply);
      return;
    }
    case 0x12: {
      auto it = FSessions.find(key);
      TBytes plain;
      if (it == FSessions.end() || !it->second->Channel) {
        SendTo(AFrom, ATcp, TBytes{0x13});
        return;
      }
      if (!it->second->Channel->Open(AData, plain)) return;
      HandleLine(*it->second, StringOf(plain));
      return;
    }
    case 0x14: {
      auto it = FSessions.find(key);
      if (it == FSessions.end() || !Relaying) return;
      TSession* partner = ByID(it->second->Partner);
      if (partner) Send(*partner, AData);
      return;
    }
    default:
      return;
  }
}

void TSimRelay::Introduce(TSession& A, TSession& B) {
  // The line to A describes B.
  std::string mark = Relaying ? (B.Tcp ? "T" : "U") : "";
  std::string line = "PEER " + B.From.IP + " " + std::to_string(B.From.Port) + " " + B.LanIP + " " +
                     std::to_string(B.LanPort) + " " + B.PeerKey + " " + B.ID + " -";
  if (!mark.empty()) line += " " + mark;
  A.Partner = B.ID;
  SendLineTo(A, line);
}

void TSimRelay::HandleLine(TSession& S, const std::string& ALine) {
  Received.push_back(S.ID + " " + ALine);
  S.Lines.push_back(ALine);
  const auto f = Split(ALine);
  if (f.empty()) return;
  if (f[0] == "HELLO" && f.size() >= 7) {
    S.LanIP = f[2];
    S.LanPort = static_cast<std::uint16_t>(std::stoi(f[3]));
    S.PeerKey = f[4];
    if (S.ID == "0") {
      S.ID = f[1] != "0" ? f[1] : std::to_string(FNextID++);
      SendLine(S.ID, IDSeconds.empty() ? "ID " + S.ID : "ID " + S.ID + " " + IDSeconds);
    }
  } else if (f[0] == "CONNECT" && f.size() >= 5) {
    S.PeerKey = f[4];
    if (f[1] == S.ID) return SendLine(S.ID, "ERR SELF");
    TSession* other = ByID(f[1]);
    if (!other) return SendLine(S.ID, "ERR UNKNOWN_ID");
    Introduce(S, *other);
    Introduce(*other, S);
  } else if (f[0] == "REVEAL" && f.size() >= 3) {
    if (TSession* other = ByID(S.Partner); other && f[1] == other->ID) SendLine(other->ID, "REVEAL " + S.ID + " " + f[2]);
  } else if (f[0] == "PIN" && f.size() >= 3) {
    SendLine(S.ID, "PIN OK " + f[1]);
  } else if (f[0] == "BYE") {
    if (TSession* other = ByID(S.Partner)) SendLine(other->ID, "PARTNER GONE");
    S.Channel.reset();
    S.ID = "0";
  }
}

}  // namespace tovik::sim
