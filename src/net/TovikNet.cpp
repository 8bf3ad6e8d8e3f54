// TTovikClient: construction, receive path, the relay link (handshake, keep-alive, TCP fallback) and the
// relay's text commands. The peer link is in TovikNetPeer.cpp.
#include "net/TovikNet.h"

#include <algorithm>
#include <charconv>
#include <cstdarg>
#include <cstdio>

namespace tovik {

std::string TcpPortsText = "8443,443,80";
bool TcpPortsChanged = false;
std::string LastLinkInfo;

namespace {

constexpr TTick KResolveRetryMs = 10'000;
constexpr TTick KHandshakeEveryMs = 2'000;
constexpr TTick KHelloEveryMs = 20'000;
constexpr TTick KRelaySilenceMs = 65'000;
constexpr TTick KPeerSilenceMs = 35'000;
constexpr TTick KTcpRetryMs = 30'000;
constexpr int KUdpTriesBeforeTcp = 3;
constexpr int KTcpTriesPerLink = 3;
// A one-time ID cannot be valid for longer than this; larger numbers from the relay are clamped.
constexpr std::uint64_t KMaxIDSeconds = 10ull * 365 * 24 * 3600;

std::string Format(const char* AFmt, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* AFmt, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, AFmt);
  const int n = std::vsnprintf(buf, sizeof buf, AFmt, ap);
  va_end(ap);
  if (n < 0) return {};
  return std::string(buf, static_cast<std::size_t>(std::min<int>(n, sizeof buf - 1)));
}

bool StartsWith(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }

}  // namespace

// ---- Free functions ---------------------------------------------------------------------------------


// ---- Construction -----------------------------------------------------------------------------------

TTovikClient::TTovikClient(INetBackend& ABackend, std::string ARelayHost, std::uint16_t ARelayPort,
                           std::string_view ARelayKeyHex)
    : FBackend(ABackend), FRelayHost(std::move(ARelayHost)), FRelayPort(ARelayPort) {
  TBytes key = HexToBytes(Trim(ARelayKeyHex));
  if (key.size() == kPublicKeySize) FRelayKey = std::move(key);
  FTcpPorts = ParsePortList(TcpPortsText);
  FTcpPort = FTcpPorts.empty() ? 0 : FTcpPorts.front();
  FPartnerRelay = '-';
  FUDP = FBackend.CreateUdp(*this);
}

TTovikClient::~TTovikClient() {
  if (FState == rsConnected) Disconnect();
  if (FRelay) SendServer("BYE");
  StopTcp();  // the link writes what is still in its outbox (the BYE) before it closes
  if (FUDP) FUDP->Close();
}

void TTovikClient::Start(TTick ANow) {
  SetNow(ANow);
  std::string error;
  if (!FUDP->Open(error)) {
    Log("Cannot open the UDP socket: " + error);
  } else if (const IUdpSocket::TRecvBuffer b = FUDP->RecvBuffer(); b.Asked > 0) {
    Log(Format("UDP receive buffer: %d KiB granted of %d KiB asked%s", b.Granted / 1024, b.Asked / 1024,
               b.Forced ? " (forced past the system limit)" : b.Granted < b.Asked ? " (system limit net.core.rmem_max)" : ""));
  }
  FLocalIP = FBackend.LocalIPv4();
  NewPeerKey();
  ResolveRelay();
  if (!FRelayIP.empty())
    Log(Format("Socket open on %s:%d, server %s (%s:%d)", FLocalIP.c_str(), LocalPort(), FRelayHost.c_str(),
               FRelayIP.c_str(), FRelayPort));
  if (FRelayKey.empty()) Log("No server key in Tovik.ini yet; the first key the server shows will be pinned.");
  FStarted = true;
  FMainTick.Start(FNow);
  MainTick(FNow);
}

TTick TTovikClient::NextDeadline() const {
  if (!FStarted) return kNoDeadline;
  return EarliestDeadline({FMainTick.Due(), FPunchTick.Due(), FPingTick.Due(),
                           FRxWaiting.load() ? FNow : kNoDeadline});
}

void TTovikClient::HandleTimeout(TTick ANow) {
  SetNow(ANow);
  if (!FStarted) return;
  // A tick that an earlier one (re)starts here begins its interval now and is not due yet.
  if (FRxWaiting.load()) RxTick(FNow);
  if (FPunchTick.Fire(FNow)) PunchTick(FNow);
  if (FPingTick.Fire(FNow)) PingTick(FNow);
  if (FMainTick.Fire(FNow)) MainTick(FNow);
}

std::uint16_t TTovikClient::LocalPort() const { return FUDP ? FUDP->LocalPort() : 0; }

std::string TTovikClient::Transport() const {
  if (FTcp) return "TCP " + std::to_string(FTcpPort);
  return "UDP " + std::to_string(FRelayPort);
}

std::int64_t TTovikClient::IDSecondsLeft(TTick ANow) const {
  if (FIDExpires == 0) return 0;
  if (ANow >= FIDExpires) return 0;
  return static_cast<std::int64_t>((FIDExpires - ANow) / 1000);
}

void TTovikClient::Log(const std::string& AText) {
  if (OnLog) OnLog(AText);
}

void TTovikClient::SetRelayStatus(const std::string& AText) {
  if (AText == FRelayStatus) return;
  FRelayStatus = AText;
  if (OnRelayStatus) OnRelayStatus(AText);
}

// ---- Receive path -----------------------------------------------------------------------------------

bool TTovikClient::QueueRxLocked(TRxPacket&& APacket) {
  if (APacket.Data.empty()) return false;
  if (FRxQueue.size() >= KRxQueueMaxPackets || FRxQueuedBytes + APacket.Data.size() > KRxQueueMaxBytes)
    return false;
  FRxQueuedBytes += APacket.Data.size();
  FRxQueue.push_back(std::move(APacket));
  return true;
}

void TTovikClient::PushRx(TRxPacket&& APacket) {
  PushRxBatch(std::span<TRxPacket>(&APacket, 1));
}

void TTovikClient::PushRxBatch(std::span<TRxPacket> APackets) {
  std::function<void()> wake;
  {
    std::lock_guard<std::mutex> g(FRxLock);
    bool queued = false;
    for (TRxPacket& p : APackets) queued = QueueRxLocked(std::move(p)) || queued;
    if (queued && !FRxWaiting.exchange(true)) wake = FRxWake;
  }
  if (wake) wake();
}

std::pair<std::size_t, std::size_t> TTovikClient::RxQueued() {
  std::lock_guard<std::mutex> g(FRxLock);
  return {FRxQueue.size(), FRxQueuedBytes};
}

void TTovikClient::ClearEvents() {
  OnID = nullptr;
  OnConnected = nullptr;
  OnDisconnected = nullptr;
  OnFailed = nullptr;
  OnMessage = nullptr;
  OnLog = nullptr;
  OnData = nullptr;
  OnRelayKeyPinned = nullptr;
  OnRelayStatus = nullptr;
  OnPin = nullptr;
  OnBook = nullptr;
  OnReply = nullptr;
  OnBrand = nullptr;
}

void TTovikClient::SetRxWake(std::function<void()> AWake) {
  std::lock_guard<std::mutex> g(FRxLock);
  FRxWake = std::move(AWake);
}

void TTovikClient::RxTick(TTick ANow) {
  SetNow(ANow);
  std::vector<TRxPacket> batch;
  {
    std::lock_guard<std::mutex> g(FRxLock);
    const std::size_t n = std::min(FRxQueue.size(), KRxTickMaxPackets);
    batch.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
      FRxQueuedBytes -= FRxQueue.front().Data.size();
      batch.push_back(std::move(FRxQueue.front()));
      FRxQueue.pop_front();
    }
    FRxWaiting = !FRxQueue.empty();
  }
  for (const TRxPacket& p : batch) Dispatch(p);
}

bool TTovikClient::IsRelay(const std::string& AIP, std::uint16_t APort) const {
  return !FRelayIP.empty() && AIP == FRelayIP && APort == FRelayPort;
}

void TTovikClient::DispatchPacket(const TRxPacket& APacket, TTick ANow) {
  SetNow(ANow);
  Dispatch(APacket);
}

void TTovikClient::Dispatch(const TRxPacket& APacket) {
  const TBytes& d = APacket.Data;
  if (d.empty()) return;
  if (IsRelay(APacket.IP, APacket.Port)) {
    if (d[0] == kWireForward) {
      if (d.size() > 1) HandlePeerPacket(TByteView(d).subspan(1), TTovikAddr{});
      return;
    }
    HandleRelayPacket(APacket);
    return;
  }
  if (d[0] == kPeerPacketType) HandlePeerPacket(d, TTovikAddr{APacket.IP, APacket.Port});
}

void TTovikClient::HandleRelayPacket(const TRxPacket& APacket) {
  const TBytes& d = APacket.Data;
  switch (d[0]) {
    case kWireHandshake:
      HandleHandshakeReply(d);
      break;
    case kWireSealed: {
      if (!FRelay) return;
      TBytes plain;
      if (!FRelay->Open(d, plain)) return;
      FLastRelayRx = FNow;
      const std::string_view text(reinterpret_cast<const char*>(plain.data()), plain.size());
      if (!IsValidUtf8(text)) return;
      ServerLine(TrimView(text));
      break;
    }
    case kWireRenew:
      // Not authenticated: anyone can send it. The present channel stays until a new handshake
      // (signed by the pinned key) replaces it, so a forged renew costs one handshake, not the session.
      if (FRelay && (!FRelayHello || FNow - FLastHandshake >= KHandshakeEveryMs)) {
        Log("The server asked for a new secure session");
        SendHandshake();
      }
      break;
    default:
      break;
  }
}

// ---- Sending ----------------------------------------------------------------------------------------

void TTovikClient::SendRaw(const std::string& AIP, std::uint16_t APort, TByteView AData) {
  if (!AData.empty()) SendRawBatch(AIP, APort, std::span<const TByteView>(&AData, 1));
}

void TTovikClient::SendRawBatch(const std::string& AIP, std::uint16_t APort, std::span<const TByteView> AData) {
  if (AData.empty()) return;
  if (FTcp && IsRelay(AIP, APort)) {
    std::lock_guard<std::mutex> g(FSendLock);
    if (FTcp) {
      for (TByteView d : AData)
        if (!d.empty()) FTcp->Send(d, d[0] == kWireForward);
      return;
    }
  }
  if (AIP.empty() || !FUDP) return;
  std::lock_guard<std::mutex> g(FSendLock);
  FUDP->SendBatch(AIP, APort, AData);
}

void TTovikClient::SendServer(std::string_view AText) {
  if (!FRelay || FRelayIP.empty()) return;
  const TBytes packet = FRelay->Seal(TByteView(reinterpret_cast<const std::uint8_t*>(AText.data()), AText.size()));
  SendRaw(FRelayIP, FRelayPort, packet);
}

bool TTovikClient::SendBookCommand(std::string_view AText) {
  if (!FRelay) return false;
  SendServer(AText);
  return true;
}

// ---- Relay link -------------------------------------------------------------------------------------

void TTovikClient::ResolveRelay() {
  if (!FRelayIP.empty()) return;
  FLastResolve = FNow;
  std::string ip, error;
  if (!FBackend.Resolve(FRelayHost, ip, error)) {
    Log("Cannot find server " + FRelayHost + ": " + error);
    SetRelayStatus("Server not found");
    return;
  }
  FRelayIP = ip;
}

void TTovikClient::MainTick(TTick ANow) {
  SetNow(ANow);
  if (FRelayBlocked) return;
  const TTick now = FNow;
  if (FRelayIP.empty() && (FLastResolve == 0 || now - FLastResolve >= KResolveRetryMs)) ResolveRelay();
  if (FRelayIP.empty()) return;

  if (FTcp && FTcp->Done()) {
    Log(Format("TCP %d to the server ended: %s", FTcp->Port(), FTcp->Error().c_str()));
    StopTcp();
    FUdpTries = 0;
    if (FRelay)
      DropRelay("Lost the TCP connection to the server, reconnecting...");
    else
      NextTcpPort();
  }

  if (FState == rsConnected && now - FLastPeerRx > KPeerSilenceMs)
    PeerLost("The other PC stopped answering; the session has ended.");

  if (FRelay) {
    if (now - FLastRelayRx > KRelaySilenceMs)
      DropRelay("Lost contact with the server, reconnecting...");
    else if (FRelayHello && now - FLastHandshake >= KHandshakeEveryMs)
      SendHandshake();  // a renewal whose reply has not come yet
    else if (now - FLastHello >= KHelloEveryMs)
      SendHello();
    return;
  }

  if (FLastHandshake != 0 && now - FLastHandshake < KHandshakeEveryMs) return;
  if (!FTcp) {
    if (FTcpPorts.empty()) {
      ++FUdpTries;
      SendHandshake();
    } else if (FTcpNext) {
      StartTcp();
    } else if (FUdpTries < KUdpTriesBeforeTcp) {
      ++FUdpTries;
      SendHandshake();
    } else if (FTcpTried == 0 || now - FTcpTried >= KTcpRetryMs) {
      StartTcp();
    } else {
      ++FUdpTries;
      SendHandshake();
    }
  } else if (FTcp->Connected()) {
    if (FTcpTries < KTcpTriesPerLink) {
      ++FTcpTries;
      SendHandshake();
    } else {
      Log(Format("TCP %d answers, but not as a Tovik server", FTcpPort));
      StopTcp();
      FUdpTries = 0;
      NextTcpPort();
    }
  }
}

void TTovikClient::SendHandshake() {
  FRelayHello.reset();
  FRelayHello = std::make_unique<TRelayHello>();
  SendRaw(FRelayIP, FRelayPort, FRelayHello->Bytes());
  FLastHandshake = FNow;
}

void TTovikClient::HandleHandshakeReply(TByteView AData) {
  // With a relay channel, a reply is taken only for a renewal in progress (FRelayHello set).
  // The signature first: anyone can send a reply with some key in it, and only a reply that the key
  // shown really signed over this handshake may count against the pinned key.
  if (!FRelayHello) return;
  auto reply = FRelayHello->Check(AData);
  if (!reply) return;  // stays pending; the main tick repeats the handshake
  const TBytes relayKey = std::move(reply->RelayKey);
  TBytes secret = std::move(reply->Secret);

  if (!FRelayKey.empty() && !SameBytes(relayKey, FRelayKey)) {
    WipeBytes(secret);
    FRelayBlocked = true;
    FRelayHello.reset();
    FRelay.reset();
    Log("SECURITY: the server identified itself with key " + KeyFingerprint(relayKey) + ", but Tovik.ini expects " +
        KeyFingerprint(FRelayKey) + ". Not connecting. " +
        "If the server was reinstalled, put its new key in Tovik.ini.");
    SetRelayStatus("Server key mismatch");
    return;
  }

  const bool pinnedNow = FRelayKey.empty();
  if (pinnedNow) FRelayKey.assign(relayKey.begin(), relayKey.end());
  {
    const TRelayKeys keys = FRelayHello->Keys(secret);
    WipeBytes(secret);
    FRelay = std::make_unique<TSecureChannel>(kRelayPacketType, keys.C2S, keys.S2C, 1, 2);
  }
  FRelayHello.reset();
  FLastRelayRx = FNow;
  FUdpTries = 0;
  FTcpTries = 0;
  const std::string fp = KeyFingerprint(FRelayKey);
  Log("Secure connection to the server (AES-256-GCM) over " + Transport() + ", server key " + fp);
  if (pinnedNow) {
    Log("Server key pinned. Compare " + fp + " with the key shown on the server.");
    if (OnRelayKeyPinned) OnRelayKeyPinned(BytesToHex(FRelayKey));
  }
  SetRelayStatus("Secure connection to server");
  SendHello();
}

void TTovikClient::DropRelay(const std::string& AReason) {
  FRelay.reset();
  FLastHandshake = 0;
  Log(AReason);
  SetRelayStatus("Reconnecting to server...");
}

void TTovikClient::SendHello() {
  FLastHello = FNow;
  if (!FPeerKey) return;
  SendServer(Format("HELLO %s %s %d %s %s %d", FMyID.c_str(), FLocalIP.c_str(), LocalPort(),
                    BytesToHex(PeerCommitment(FPeerKey->Public())).c_str(), FRelayIP.c_str(), FUnattended ? 1 : 0));
}

// ---- TCP fallback -----------------------------------------------------------------------------------

void TTovikClient::StartTcp() {
  if (FTcp || FTcpPorts.empty() || FRelayIP.empty()) return;
  if (FTcpIndex >= FTcpPorts.size()) FTcpIndex = 0;
  FTcpPort = FTcpPorts[FTcpIndex];
  FTcpNext = false;
  FTcpTried = FNow;
  FTcpTries = 0;
  Log(Format("No answer from the server on UDP %d; trying TCP %d instead", FRelayPort, FTcpPort));
  SetRelayStatus(Format("Trying the server on TCP port %d...", FTcpPort));
  auto link = FBackend.CreateTcp(*this, FRelayIP, FTcpPort, FRelayIP, FRelayPort);
  std::lock_guard<std::mutex> g(FSendLock);
  FTcp = std::move(link);
}

void TTovikClient::NextTcpPort() {
  if (FTcpIndex + 1 < FTcpPorts.size()) {
    ++FTcpIndex;
    FTcpNext = true;
  } else {
    FTcpIndex = 0;
    FTcpNext = false;
  }
}

void TTovikClient::StopTcp() {
  std::unique_ptr<IRelayTcpLink> old;
  {
    std::lock_guard<std::mutex> g(FSendLock);
    old = std::move(FTcp);
  }
  old.reset();  // joins the link's thread, outside the send lock
}

// ---- Relay commands ---------------------------------------------------------------------------------

void TTovikClient::HandleServerLine(std::string_view ALine, TTick ANow) {
  SetNow(ANow);
  ServerLine(ALine);
}

void TTovikClient::ServerLine(std::string_view ALine) {
  ALine = TrimView(ALine);
  if (ALine.empty()) return;
  const std::vector<std::string_view> f = SplitLine(ALine);
  const std::string_view cmd = f[0];
  const std::string_view second = f.size() > 1 ? f[1] : std::string_view();
  const std::string line(ALine);

  if (cmd == "FEEDBACK" || cmd == "REPORTASK" || cmd == "REPORT" ||
      (cmd == "ERR" && (StartsWith(second, "FEEDBACK") || StartsWith(second, "REPORT_")))) {
    if (OnReply) OnReply(line);
  } else if (cmd == "BRAND" || cmd == "LOGO") {
    if (OnBrand) OnBrand(line);
  } else if (cmd == "BOOK" || cmd == "BOOKPART" || cmd == "BOOKPUT" || cmd == "BOOKPAIR" ||
             (cmd == "ERR" && StartsWith(second, "BOOK"))) {
    if (OnBook) OnBook(line);
  } else if (cmd == "PORTS") {
    if (f.size() < 3) return;
    const std::vector<std::uint16_t> ports = ParsePortList(f[2]);
    const std::string text = PortListText(ports);
    if (text == PortListText(FTcpPorts)) return;
    FTcpPorts = ports;
    FTcpIndex = 0;
    TcpPortsText = text;
    TcpPortsChanged = true;
    Log("The server's TCP fallback ports: " + text);
  } else if (cmd == "PARTNER") {
    if (second != "GONE") return;
    if (FState == rsConnected) {
      if (FNow - FLastPeerRx > 5000) PeerLost("The other PC went offline; the session has ended.");
    } else if (FState == rsPunching) {
      FailConnect("The other PC went offline.");
    }
  } else if (cmd == "ID") {
    if (f.size() >= 2) HandleIDLine(f);
  } else if (cmd == "PIN") {
    if (f.size() < 3 || second != "OK" || !IsDecimal(f[2]) || f[2].size() > 9) return;
    FPinID = std::string(f[2]);
    FIDPinned = true;
    FIDExpires = 0;
    Log("ID " + FormatID(FPinID) + " is pinned; it stays valid until you unpin it");
    if (OnPin) OnPin(true, FPinID);
  } else if (cmd == "PEER") {
    HandlePeerIntro(f);
  } else if (cmd == "REVEAL") {
    HandlePeerReveal(f);
  } else if (cmd == "ERR") {
    HandleErrLine(ALine, f);
  }
}

void TTovikClient::HandleIDLine(const std::vector<std::string_view>& AFields) {
  const std::string_view id = AFields[1];
  // IDs are decimal digits ("0" for none); anything else is not an ID line we can use.
  if (!IsDecimal(id) || id.size() > 9) return;
  FIDPinned = AFields.size() >= 3 && AFields[2] == "pinned";
  if (AFields.size() < 3 || FIDPinned) {
    FIDExpires = 0;
  } else {
    std::uint64_t seconds = 0;
    const std::string_view s = AFields[2];
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), seconds);
    if (ec == std::errc::result_out_of_range) seconds = KMaxIDSeconds;
    else if (ec != std::errc() || p != s.data() + s.size()) seconds = 0;
    seconds = std::min(seconds, KMaxIDSeconds);
    FIDExpires = FNow + seconds * 1000;
  }
  if (id != FMyID) {
    FMyID = std::string(id);
    if (FState == rsOffline) FState = rsRegistered;
    Log("My ID is " + FormatID(FMyID));
    if (OnID) OnID();
  }
  if (!FPinSecret.empty() && !FIDPinned) SendPin();
}

void TTovikClient::SendPin() {
  const std::string& id = FPinID.empty() ? FMyID : FPinID;
  if (id == "0" || FMyID == "0" || FPinSecret.empty()) return;
  SendServer("PIN " + id + " " + FPinSecret);
}

void TTovikClient::PinID(std::string_view AID, std::string_view ASecretHex) {
  FPinID = Trim(AID);
  FPinSecret = Trim(ASecretHex);
  SendPin();
}

void TTovikClient::UnpinID() {
  if (FIDPinned || !FPinSecret.empty()) SendServer("UNPIN");
  FPinID.clear();
  FPinSecret.clear();
  FIDPinned = false;
}

void TTovikClient::HandleErrLine(std::string_view ALine, const std::vector<std::string_view>& AFields) {
  const char* fail = nullptr;
  if (ALine == "ERR UNKNOWN_ID") fail = "That ID is not online.";
  else if (ALine == "ERR RATE_LIMIT") fail = "Too many wrong IDs. Wait a minute and try again.";
  else if (ALine == "ERR SELF") fail = "That is your own ID.";
  if (fail) {
    // These answer CONNECT; a live session is not ended by a stray one.
    if (FState == rsConnected) {
      Log("Server error: " + EscapeForLog(ALine));
      return;
    }
    FailConnect(fail);
    return;
  }
  if (AFields.size() >= 2 && AFields[1] == "PIN") {
    const std::string_view code = AFields.size() >= 3 ? AFields[2] : std::string_view();
    if (code == "NOT_READY") return;
    const std::string message = code == "TAKEN"
                                    ? "That ID is kept by another PC; this PC keeps its own ID instead."
                                    : "The server did not accept the request to keep this ID.";
    FPinID.clear();
    FPinSecret.clear();
    FIDPinned = false;
    Log(message + " (" + EscapeForLog(ALine) + ")");
    if (OnPin) OnPin(false, message);
    return;
  }
  Log("Server error: " + EscapeForLog(ALine));
}

}  // namespace tovik
