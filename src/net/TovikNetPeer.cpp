// TTovikClient: the peer link (introduction, hole punching, relaying, liveness, session packets).
#include <algorithm>
#include <cstdio>
#include <ctime>

#include "crypto/TovikPassword.h"
#include "net/TovikNet.h"

namespace tovik {

namespace {

constexpr int KPunchRounds = 50;         // 10 s at 200 ms
constexpr int KRelayPunchRound = 15;     // punching also goes through the relay from here on
constexpr TTick KMakeWaySilenceMs = 12'000;
constexpr TTick KGoneSilenceMs = 5'000;
constexpr std::size_t KMaxPartnerName = 256;

std::uint16_t ReadPort(std::string_view s) { return static_cast<std::uint16_t>(ParseDecimal(s, 65535).value_or(0)); }

std::string_view FirstWord(std::string_view s) { return s.substr(0, s.find(' ')); }

TByteView TextBytes(std::string_view s) {
  return TByteView(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
}

}  // namespace

std::string TTovikClient::PeerAddress() const { return FPeer.IP + ":" + std::to_string(FPeer.Port); }

void TTovikClient::NewPeerKey() {
  FPeerKey = std::make_unique<TEcdhKey>();
  if (FRelay) SendHello();
}

std::string TTovikClient::LinkInfoPrefix() const {
  const std::time_t t = static_cast<std::time_t>(StampMs() / 1000);
  std::tm tm{};
  localtime_r(&t, &tm);
  char date[32];
  std::strftime(date, sizeof date, "%Y-%m-%d %H:%M", &tm);
  return std::string(date) + ": with " + FormatID(FPartnerID);
}

void TTovikClient::StopPeerTimers() {
  FPunchTick.Stop();
  FPingTick.Stop();
}

// ---- Control ----------------------------------------------------------------------------------------

void TTovikClient::ConnectTo(std::string_view AID) {
  if (FState == rsPunching || FState == rsConnected) return;
  if (!FRelay || !FPeerKey) {
    const std::string message = "Not connected to the server yet.";
    Log(message);
    if (OnFailed) OnFailed(message);
    return;
  }
  const std::string id = Trim(AID);
  // The ID goes into a blank-separated command line; only digits may travel there.
  if (!IsDecimal(id) || id.size() > 9) {
    const std::string message = "That is not a valid ID.";
    Log(message);
    if (OnFailed) OnFailed(message);
    return;
  }
  FInitiator = true;
  Log("Asking server for " + FormatID(id));
  char buf[512];
  std::snprintf(buf, sizeof buf, "CONNECT %s %s %d %s", id.c_str(), FLocalIP.c_str(), LocalPort(),
                BytesToHex(PeerCommitment(FPeerKey->Public())).c_str());
  SendServer(buf);
}

void TTovikClient::SendText(std::string_view AText) {
  if (FState != rsConnected) return;
  SendPeerText(FPeer, "MSG " + std::string(AText));
}

bool TTovikClient::SendData(TByteView AData) { return SealAndSend(std::span<const TByteView>(&AData, 1)) == 1; }

std::size_t TTovikClient::SendDataBatch(std::span<const TBytes> AData) { return SealAndSend(AData); }

template <class TPackets>
std::size_t TTovikClient::SealAndSend(const TPackets& AData) {
  if (FState != rsConnected || !FPeerChannel) return 0;
  if (FPeerViaRelay && FRelayIP.empty()) return 0;
  const bool forward = FPeer.IP.empty();
  const std::size_t head = forward ? 1 : 0;
  auto sendable = [](TByteView d) { return !d.empty() && d[0] >= 0x80; };
  std::size_t total = 0;
  for (TByteView d : AData)
    if (sendable(d)) total += head + d.size() + kSealOverhead;
  // All sealed packets sit one after the other in one reused buffer, so that the batch costs no
  // allocation once the buffer has grown to the usual batch.
  FSealBuf.resize(total);
  FSealViews.clear();
  std::uint8_t* at = FSealBuf.data();
  for (TByteView d : AData) {
    if (!sendable(d)) continue;
    if (forward) *at = kWireForward;
    FPeerChannel->SealTo(d, at + head);
    const std::size_t n = head + d.size() + kSealOverhead;
    FSealViews.emplace_back(at, n);
    at += n;
  }
  // Forwarded with no relay address: nowhere to send them, as with a lost packet (SendPeerRaw).
  if (forward) {
    if (!FRelayIP.empty()) SendRawBatch(FRelayIP, FRelayPort, FSealViews);
  } else {
    SendRawBatch(FPeer.IP, FPeer.Port, FSealViews);
  }
  return FSealViews.size();
}

void TTovikClient::Disconnect() {
  if (FState != rsConnected) return;
  EndPeerSession(true);
  Log("Disconnected");
  if (OnDisconnected) OnDisconnected();
}

// ---- Introduction and punching ----------------------------------------------------------------------

void TTovikClient::HandlePeerIntro(const std::vector<std::string_view>& AFields) {
  if (AFields.size() < 7 || !FPeerKey) return;  // no peer key before Start
  // The partner ID goes into log lines, LastLinkInfo and SESSION START: a line without a proper one is
  // malformed and dropped before it can touch a live session.
  if (!IsPartnerID(AFields[6])) return;
  if (FState == rsConnected && FNow - FLastPeerRx > KMakeWaySilenceMs) {
    StopPeerTimers();
    FPeerChannel.reset();
    FPartnerCommit.clear();
    FCheckNumber.clear();
    FKeyBinding.clear();
    FInitiator = false;
    FState = rsRegistered;
    SendServer("SESSION END");
    Log("The previous partner stopped answering; it makes way for the new one");
    if (OnDisconnected) OnDisconnected();
    // The old link's key is known to its partner and the relay: a new link needs a new one, whose
    // commitment the new partner does not hold yet. This introduction is spent; the next one works.
    NewPeerKey();
    return;
  }
  if (FState == rsPunching || FState == rsConnected) return;

  FPartnerName.clear();
  if (AFields.size() >= 8 && AFields[7] != "-") {
    const std::string name = Utf8Truncate(AFields[7], KMaxPartnerName);
    if (IsValidUtf8(name)) FPartnerName = name;
  }

  // Field 5 is the partner's commitment; its key comes later (REVEAL), after ours has gone out.
  const TBytes commit = HexToBytes(AFields[5]);
  if (commit.size() != kPeerCommitSize) {
    FailConnect("The partner sent an invalid key: it is not a key commitment");
    return;
  }
  FPartnerCommit = commit;
  FPartnerID = std::string(AFields[6]);
  const TTovikAddr pub{std::string(AFields[1]), ReadPort(AFields[2])};
  const TTovikAddr lan{std::string(AFields[3]), ReadPort(AFields[4])};
  FCandidates.clear();
  FCandidates.push_back(pub);
  if (lan.IP != pub.IP || lan.Port != pub.Port) FCandidates.push_back(lan);

  FPartnerRelay = '-';
  if (AFields.size() >= 9 && (AFields[8] == "T" || AFields[8] == "U")) FPartnerRelay = AFields[8][0];

  FPeerViaRelay = false;
  FRelayPunch = FPartnerRelay != '-' && (FPartnerRelay == 'T' || FTcp != nullptr);
  if (FRelayPunch) {
    FCandidates.clear();
    Log("Partner " + FormatID(FPartnerID) + "; one of us is on the TCP fallback, so the session goes through the server");
  } else {
    Log("Partner " + FormatID(FPartnerID) + " is at " + pub.IP + ":" + std::to_string(pub.Port) + " (LAN " + lan.IP +
        ":" + std::to_string(lan.Port) + "), punching...");
  }

  FState = rsPunching;
  FPunchTries = 0;
  // We hold the partner's commitment now, so our key may go out. From here on this key belongs to this
  // attempt only: every end of it makes a new one.
  SendServer("REVEAL " + FPartnerID + " " + BytesToHex(FPeerKey->Public()));
  PunchTick(FNow);  // counts the first round; PUNCH goes out once the partner's key is here
  if (FState == rsPunching) FPunchTick.Start(FNow);
}

void TTovikClient::HandlePeerReveal(const std::vector<std::string_view>& AFields) {
  // One reveal per attempt, from the partner introduced; repeats and strays change nothing.
  if (FState != rsPunching || FPeerChannel || FPartnerCommit.empty()) return;
  if (AFields.size() < 3 || AFields[1] != FPartnerID) return;
  const TBytes theirs = HexToBytes(AFields[2]);
  if (theirs.size() != kPublicKeySize || PeerCommitment(theirs) != FPartnerCommit) {
    Log("SECURITY: the key that arrived for " + FormatID(FPartnerID) +
        " is not the one that PC announced. Not connecting.");
    FailConnect(
        "The other PC's key was changed on the way; someone between the PCs may be tampering with the "
        "connection. Not connecting.");
    return;
  }
  try {
    TBytes secret = FPeerKey->SharedSecret(theirs);
    const TPeerKeys keys = DerivePeerKeys(secret, FPeerKey->Public(), theirs);
    WipeBytes(secret);
    FPeerChannel = std::make_unique<TSecureChannel>(kPeerPacketType, keys.SendKey, keys.RecvKey, keys.SendLabel,
                                                    keys.RecvLabel);
    FCheckNumber = tovik::CheckNumber(FPeerKey->Public(), theirs);
    FKeyBinding = PeerKeyBinding(FPeerKey->Public(), theirs);
  } catch (const ETovikCrypto& e) {
    FailConnect(std::string("The partner sent an invalid key: ") + e.what());
    return;
  }
  SendPunches();
}

void TTovikClient::SendPunches() {
  if (!FPeerChannel) return;
  const std::string punch = "PUNCH " + FMyID;
  for (const TTovikAddr& c : FCandidates) SendPeerText(c, punch);
  if (FRelayPunch) SendPeerText(TTovikAddr{}, punch);
}

void TTovikClient::PunchTick(TTick ANow) {
  SetNow(ANow);
  if (FState != rsPunching) {
    FPunchTick.Stop();
    return;
  }
  ++FPunchTries;
  if (FPunchTries <= KPunchRounds) {
    if (FPunchTries >= KRelayPunchRound && FPartnerRelay != '-') FRelayPunch = true;
    SendPunches();
    return;
  }
  if (!FPeerChannel) {
    LastLinkInfo = LinkInfoPrefix() + " FAILED after 10 s (the other PC's key did not arrive)";
    FailConnect("The other PC's key did not arrive through the server.");
    return;
  }
  std::string offers = "no (older server)";
  if (FPartnerRelay != '-') offers = std::string("yes, other PC on ") + (FPartnerRelay == 'T' ? "TCP" : "UDP");
  LastLinkInfo = LinkInfoPrefix() + " FAILED after 10 s (tried " + std::to_string(FCandidates.size()) +
                 " direct address(es)" + (FRelayPunch ? " and the server" : "") + "; server offers relaying: " +
                 offers + ")";
  if (FPartnerRelay == '-')
    FailConnect("Could not reach the other PC directly. One of the networks blocks it.");
  else
    FailConnect(
        "Could not reach the other PC, directly or through the server. Help > Test the connection shows where "
        "it stops.");
}

void TTovikClient::PeerLinkUp(const TTovikAddr& AAddr) {
  if (FState != rsPunching) return;
  FPunchTick.Stop();
  FPeer = AAddr;
  FPeerMoveLogged = false;
  FPeerViaRelay = AAddr.IP.empty();
  FState = rsConnected;
  FLastPeerRx = FNow;
  FPingTick.Start(FNow);
  if (FPeerViaRelay) {
    LastLinkInfo = LinkInfoPrefix() + " through the server (no direct path found)";
    Log("Encrypted link to the other PC through the server (no direct path; the server passes the packets on but "
        "cannot read them, AES-256-GCM). Check number " +
        FCheckNumber);
  } else {
    LastLinkInfo = LinkInfoPrefix() + " directly to " + PeerAddress();
    Log("Direct encrypted link to " + PeerAddress() + " (AES-256-GCM). Check number " + FCheckNumber);
  }
  SendServer("SESSION START " + FPartnerID + (FInitiator ? " V" : " H"));
  if (OnConnected) OnConnected();
}

void TTovikClient::PingTick(TTick ANow) {
  SetNow(ANow);
  if (FState != rsConnected) return;
  SendPeerText(FPeer, "PING");
}

// ---- Ending a link ----------------------------------------------------------------------------------

void TTovikClient::EndPeerSession(bool ASendBye) {
  const TTovikState old = FState;
  if (ASendBye && old == rsConnected) SendPeerText(FPeer, "BYE");
  StopPeerTimers();
  FState = FMyID != "0" ? rsRegistered : rsOffline;
  FPeerChannel.reset();
  FPartnerCommit.clear();
  FCheckNumber.clear();
  FKeyBinding.clear();
  FInitiator = false;
  FPeerViaRelay = false;
  FRelayPunch = false;
  if (old == rsConnected) SendServer("SESSION END");
  NewPeerKey();
}

void TTovikClient::FailConnect(const std::string& AMessage) {
  EndPeerSession(false);
  Log(AMessage);
  if (OnFailed) OnFailed(AMessage);
}

void TTovikClient::PeerLost(const std::string& AMessage) {
  if (FState != rsConnected) return;
  EndPeerSession(false);
  Log(AMessage);
  if (OnDisconnected) OnDisconnected();
}

// ---- Peer packets -----------------------------------------------------------------------------------

void TTovikClient::HandlePeerPacket(TByteView APacket, const TTovikAddr& AFrom) {
  if ((FState != rsPunching && FState != rsConnected) || !FPeerChannel) return;
  // Once connected, packets come from the partner's address, or from another address the relay gave
  // for it: both PCs may bring the link up on different candidates (its public and its LAN address
  // can both work), and each must still hear the other.
  const bool moved = FState == rsConnected && !(AFrom == FPeer);
  if (moved && std::find(FCandidates.begin(), FCandidates.end(), AFrom) == FCandidates.end()) return;
  // The plaintext goes to the reused buffer; a handler that brings another packet in meanwhile finds
  // it taken (empty) and uses its own.
  TBytes plain = std::move(FOpenBuf);
  struct TGiveBack {
    TBytes& Buf;
    TBytes& Home;
    ~TGiveBack() {
      if (Home.capacity() < Buf.capacity()) Home = std::move(Buf);
    }
  } giveBack{plain, FOpenBuf};
  if (!FPeerChannel->Open(APacket, plain) || plain.empty()) return;
  if (moved) {
    // A genuine, new packet (the channel refuses replays): answer where the partner sends from.
    FPeer = AFrom;
    if (!FPeerMoveLogged) Log("The other PC answers from " + PeerAddress() + "; the link follows it there");
    FPeerMoveLogged = true;
  }
  if (FState == rsConnected) FLastPeerRx = FNow;
  if (plain[0] >= 0x80) {
    if (FState == rsConnected && OnData) OnData(plain);
    return;
  }
  const std::string_view raw(reinterpret_cast<const char*>(plain.data()), plain.size());
  if (!IsValidUtf8(raw)) return;
  const std::string_view line = TrimView(raw);
  const std::string_view word = FirstWord(line);
  if (word == "PUNCH") {
    SendPeerText(AFrom, "PUNCHACK");
    PeerLinkUp(AFrom);
  } else if (word == "PUNCHACK") {
    PeerLinkUp(AFrom);
  } else if (FState == rsConnected) {
    if (word == "MSG") {
      if (OnMessage) OnMessage(std::string(line.size() > 4 ? line.substr(4) : std::string_view()));
    } else if (word == "BYE") {
      EndPeerSession(false);
      Log("Partner disconnected");
      if (OnDisconnected) OnDisconnected();
    }
  }
}

void TTovikClient::SendPeerText(const TTovikAddr& AAddr, std::string_view AText) {
  if (!FPeerChannel) return;
  SendPeerRaw(AAddr, FPeerChannel->Seal(TextBytes(AText)));
}

void TTovikClient::SendPeerRaw(const TTovikAddr& AAddr, TByteView APacket) {
  if (!AAddr.IP.empty()) {
    SendRaw(AAddr.IP, AAddr.Port, APacket);
    return;
  }
  if (FRelayIP.empty()) return;
  TBytes framed;
  framed.reserve(APacket.size() + 1);
  framed.push_back(kWireForward);
  Append(framed, APacket);
  SendRaw(FRelayIP, FRelayPort, framed);
}

}  // namespace tovik
