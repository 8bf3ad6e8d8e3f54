#include "TovikRelayCore.h"

#include <algorithm>

#include "net/TovikWire.h"

namespace tovik {

namespace {

constexpr std::size_t kMaxLineBytes = 8192;
constexpr std::size_t kMaxBookParts = 32;   // a full saved-PC list needs up to 31
constexpr std::size_t kMaxMessageParts = 8;
constexpr std::size_t kMaxLogoParts = 64;
constexpr std::size_t kBookPartChars = 1000;     // clients cut at 900
constexpr std::size_t kMessagePartChars = 800;   // clients cut at 800
constexpr std::size_t kLogoPartChars = 900;
constexpr std::size_t kMaxPairBlobChars = 1024;
constexpr std::size_t kMaxAssemblyBytes = 256u << 20;  // all clients together
constexpr TTick kAssemblyMs = 120'000;
constexpr TTick kSweepMs = 1000;
constexpr TTick kPurgeMs = 60'000;
constexpr TTick kRateIdleMs = 3'600'000;
// Book stamps are milliseconds since 1970; one further ahead of this relay's clock would shut out
// every later version of the list.
constexpr std::int64_t kBookFutureMs = 86'400'000;

bool IsBase64Text(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s) {
    const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
                    c == '/' || c == '=';
    if (!ok) return false;
  }
  return true;
}

// Counts events in a fixed window: resets when the window is over, then says whether one more fits.
bool Fits(TTick& windowStart, std::uint32_t& count, TTick now, TTick span, std::uint32_t limit) {
  if (windowStart == 0 || now - windowStart >= span) {
    windowStart = now;
    count = 0;
  }
  return count < limit;
}

std::string Num(std::uint64_t v) { return std::to_string(v); }

}  // namespace

std::string TRelayEndpoint::Text() const {
  std::string t = FormatIPv4(IP) + ":" + std::to_string(Port);
  if (Conn) t += " (TCP #" + std::to_string(Conn) + ")";
  return t;
}

std::string KeptSecretHash(std::string_view ASecretHex) {
  const std::string norm = AsciiUpper(ASecretHex);
  return AsciiLower(BytesToHex(Sha256(Utf8Bytes("tovik kept id v1:" + norm))));
}

struct TRelayCore::TAssembly {
  char Kind = 0;  // 'B' book, 'R' report, 'F' feedback
  std::string Key;
  std::int64_t Stamp = 0;
  std::vector<std::string> Parts;
  std::size_t Have = 0;
  std::size_t Bytes = 0;
  TTick Started = 0;
};

struct TRelayCore::TSession {
  TRelayEndpoint Ep;
  std::unique_ptr<TSecureChannel> Channel;
  std::unique_ptr<TSecureChannel> Pending;  // a newer handshake, adopted on its first genuine packet
  TTick LastRx = 0;
  bool Helloed = false;
  std::string ID;
  bool Kept = false;
  std::string LanIP = "0.0.0.0";
  std::uint16_t UdpPort = 0;
  std::string PeerCommit;  // commitment to the PC's current peer key (hex), from HELLO or CONNECT
  bool Revealed = false;   // passed its peer key on to the partner of the present introduction
  bool Unattended = false;
  TSession* Partner = nullptr;
  // Usage record of the current session as announced with SESSION START.
  bool InSession = false;
  bool Viewer = false;
  std::string SessPartner;
  std::int64_t SessStart = 0;
  std::uint64_t ForwardedAtStart = 0;
  std::uint64_t Forwarded = 0;
  std::vector<TAssembly> Assemblies;
  TTick BookWindow = 0, ReportWindow = 0, LogoWindow = 0, PinWindow = 0, SessionWindow = 0;
  std::uint32_t BookLines = 0, Reports = 0, LogoGets = 0, Pins = 0, SessionLines = 0;
};

struct TRelayCore::TRate {
  TTick WrongWindow = 0, HsWindow = 0, PairWindow = 0, FbWindow = 0;
  std::uint32_t Wrong = 0, Hs = 0, Pair = 0, Fb = 0;
};

TRelayCore::TRelayCore(TRelayConfig AConfig, IRelayStore& AStore, const TEcdsaKey& ASigningKey)
    : FConfig(std::move(AConfig)),
      FStore(AStore),
      FSigning(ASigningKey),
      FSigningPublic(ASigningKey.Public()),
      FRates(std::make_unique<TCappedTable<TRate>>(FConfig.MaxRateEntries)) {
  std::uint64_t seed = FConfig.Seed;
  if (seed == 0) {
    const TBytes r = RandomBytes(8);
    for (auto b : r) seed = (seed << 8) | b;
  }
  FRandom.seed(seed);
  FLogoHash = "-";
  if (!FConfig.Logo.empty()) {
    const std::string b64 = Base64Encode(FConfig.Logo);
    const std::size_t parts = (b64.size() + kLogoPartChars - 1) / kLogoPartChars;
    if (parts > kMaxLogoParts) {
      Log("The logo is too large to announce (" + Num(FConfig.Logo.size()) + " bytes); no logo is offered");
    } else {
      FLogoHash = BytesToHex(Sha256(FConfig.Logo)).substr(0, 16);
      for (std::size_t i = 0; i < parts; ++i) FLogoParts.push_back(b64.substr(i * kLogoPartChars, kLogoPartChars));
    }
  }
}

TRelayCore::~TRelayCore() = default;

void TRelayCore::Log(const std::string& line) {
  if (FConfig.OnLog) FConfig.OnLog(line);
}

TRelayStats TRelayCore::Stats() const {
  TRelayStats s = FStats;
  s.Sessions = FSessions.size();
  s.Registered = FOnline.size();
  s.SourcesWithSessions = FPerIP.size();
  s.RateEntries = FRates->Size();
  s.Pairs = 0;
  for (const auto& [ep, ses] : FSessions)
    if (ses->Partner) ++s.Pairs;
  s.Pairs /= 2;
  return s;
}

std::string TRelayCore::IDOf(const TRelayEndpoint& AEndpoint) const {
  auto it = FSessions.find(AEndpoint);
  return it == FSessions.end() ? std::string() : it->second->ID;
}

TRelayCore::TRate& TRelayCore::RateOf(std::uint32_t ip, TTick now) { return FRates->Touch(ip, now); }

// Ranges share the table with single addresses under keys no address can have.
TRelayCore::TRate& TRelayCore::RangeRateOf(std::uint32_t ip, TTick now) {
  return FRates->Touch((std::uint64_t{1} << 32) | (ip & 0xFFFFFF00u), now);
}

// ---------------------------------------------------------------------------------------------
// Datagrams

void TRelayCore::LoadLeases(TTick now) {
  if (FLeasesLoaded) return;
  FLeasesLoaded = true;
  const std::int64_t stamp = StampMs();
  for (const TStoredLease& l : FStore.Leases(stamp)) {
    if (!IsPartnerID(l.ID)) continue;
    FLeases[l.ID] = TLease{now + TTick(l.ExpiresMs - stamp), l.Used, l.IP};
  }
  if (!FLeases.empty()) Log("Kept " + Num(FLeases.size()) + " one-time IDs from before the restart");
}

void TRelayCore::SaveLease(const std::string& id, const TLease& lease, TTick now) {
  const TTick left = lease.Expires > now ? lease.Expires - now : 0;
  if (!FStore.PutLease(TStoredLease{id, lease.IP, StampMs() + static_cast<std::int64_t>(left), lease.Used}))
    Log("Could not store the lease of the one-time ID " + id);
}

void TRelayCore::EraseLease(const std::string& id) {
  if (FLeases.erase(id) && !FStore.DeleteLease(id)) Log("Could not remove the lease of the one-time ID " + id);
}

void TRelayCore::OnDatagram(const TRelayEndpoint& AFrom, TByteView AData, TTick ANow, TRelayOutput& AOut) {
  if (AData.empty()) return;
  LoadLeases(ANow);
  switch (AData[0]) {
    case kWireClientHello:
      HandleHello(AFrom, AData, ANow, AOut);
      return;
    case kWireSealed:
      HandleSealed(AFrom, AData, ANow, AOut);
      return;
    case kWireForward: {
      if (const TRelayEndpoint* to = ForwardTarget(AFrom, AData, ANow)) {
        AOut.Datagrams.push_back({*to, TBytes(AData.begin(), AData.end())});
        return;
      }
      if (FSessions.find(AFrom) == FSessions.end()) {
        AOut.Datagrams.push_back({AFrom, TBytes{kWireRenew}});
        return;
      }
      ++FStats.Dropped;  // no partner, or relaying is off
      return;
    }
    default:
      ++FStats.Dropped;
      return;
  }
}

const TRelayEndpoint* TRelayCore::ForwardTarget(const TRelayEndpoint& AFrom, TByteView AData, TTick ANow) {
  if (!FConfig.Relaying || AData.size() < 2 || AData[0] != kWireForward) return nullptr;
  auto it = FSessions.find(AFrom);
  if (it == FSessions.end() || !it->second->Partner) return nullptr;
  TSession& s = *it->second;
  s.LastRx = ANow;
  ++s.Forwarded;
  ++FStats.Forwarded;
  return &s.Partner->Ep;
}

void TRelayCore::HandleHello(const TRelayEndpoint& from, TByteView data, TTick now, TRelayOutput& out) {
  if (data.size() != kClientHelloSize || data[1] != kWireVersion) {
    ++FStats.Dropped;
    return;
  }
  // Every handshake costs two EC operations and a signature: bound them per source, per range and in
  // total, in that order, and count one only where all three let it through.
  TRate& rate = RateOf(from.IP, now);
  if (!Fits(rate.HsWindow, rate.Hs, now, 10'000, FConfig.HandshakesPerIPPer10s)) return;
  TRate& range = RangeRateOf(from.IP, now);
  if (!Fits(range.HsWindow, range.Hs, now, 1000, FConfig.HandshakesPerRangePerSecond)) return;
  if (!Fits(FHandshakeWindow, FHandshakesInWindow, now, 1000, FConfig.HandshakesPerSecond)) return;

  auto it = FSessions.find(from);
  if (it == FSessions.end()) {
    if (FSessions.size() >= FConfig.MaxSessions) return;
    // find, not []: a hello that fails later must not leave an entry behind.
    if (auto per = FPerIP.find(from.IP); per != FPerIP.end() && per->second >= FConfig.MaxSessionsPerIP) return;
  }
  ++FHandshakesInWindow;
  ++rate.Hs;
  ++range.Hs;

  const TByteView clientKey = data.subspan(2, 64);
  const TByteView clientRandom = data.subspan(66, kClientRandomSize);
  std::unique_ptr<TSecureChannel> channel;
  TBytes reply;
  try {
    TEcdhKey eph;
    TBytes secret = eph.SharedSecret(clientKey);
    const TBytes transcript = RelayTranscript(clientKey, clientRandom, eph.Public(), FSigningPublic);
    const TBytes signature = FSigning.Sign(transcript);
    TRelayKeys keys = DeriveRelayKeys(secret, clientRandom);
    WipeBytes(secret);
    channel = std::make_unique<TSecureChannel>(kWireSealed, keys.S2C, keys.C2S, 2, 1);
    reply.reserve(kHandshakeReplySize);
    reply.push_back(kWireHandshake);
    reply.push_back(kWireVersion);
    Append(reply, eph.Public());
    Append(reply, FSigningPublic);
    Append(reply, signature);
  } catch (const ETovikCrypto&) {
    ++FStats.Dropped;  // not a point on the curve, or the platform failed: no answer
    return;
  }
  ++FStats.Handshakes;
  if (it == FSessions.end()) {
    auto s = std::make_unique<TSession>();
    s->Ep = from;
    s->Channel = std::move(channel);
    s->LastRx = now;
    ++FPerIP[from.IP];
    FSessions.emplace(from, std::move(s));
  } else {
    // Keep the client's state (ID, partner) across a renewed handshake, but switch to the new keys
    // only once the client proves it holds them: a forged hello cannot cut a working session.
    it->second->Pending = std::move(channel);
    it->second->LastRx = now;
  }
  out.Datagrams.push_back({from, std::move(reply)});
}

void TRelayCore::HandleSealed(const TRelayEndpoint& from, TByteView data, TTick now, TRelayOutput& out) {
  auto it = FSessions.find(from);
  if (it == FSessions.end()) {
    out.Datagrams.push_back({from, TBytes{kWireRenew}});
    return;
  }
  TSession& s = *it->second;
  bool ok = false;
  if (s.Pending && s.Pending->Open(data, FScratch)) {
    s.Channel = std::move(s.Pending);
    ok = true;
  } else if (s.Channel && s.Channel->Open(data, FScratch)) {
    ok = true;
  }
  if (!ok) {
    ++FStats.Dropped;
    return;
  }
  s.LastRx = now;
  // A genuine packet tells which of the relay's addresses the client talks to now.
  s.Ep.Local = from.Local;
  if (FScratch.size() > kMaxLineBytes) return;
  const std::string line(FScratch.begin(), FScratch.end());
  if (!IsValidUtf8(line)) return;
  HandleLine(s, line, now, out);
}

void TRelayCore::Send(TSession& s, std::string_view line, TRelayOutput& out) {
  if (!s.Channel) return;
  TRelayDatagram d{s.Ep, {}};
  s.Channel->Seal(TByteView(reinterpret_cast<const std::uint8_t*>(line.data()), line.size()), d.Data);
  out.Datagrams.push_back(std::move(d));
}

// ---------------------------------------------------------------------------------------------
// Lines

void TRelayCore::HandleLine(TSession& s, std::string_view line, TTick now, TRelayOutput& out) {
  const auto f = SplitLine(line);
  if (f.empty()) return;
  const std::string_view cmd = f[0];
  if (cmd == "HELLO") return CmdHello(s, f, now, out);
  if (cmd == "PIN") return CmdPin(s, f, now, out);
  if (cmd == "UNPIN") return CmdUnpin(s, now, out);
  if (cmd == "CONNECT") return CmdConnect(s, f, now, out);
  if (cmd == "REVEAL") return CmdReveal(s, f, out);
  if (cmd == "SESSION") return CmdSession(s, f, now, out);
  if (cmd == "BOOKPUT") return CmdBookPut(s, f, now, out);
  if (cmd == "BOOKGET") return CmdBookGet(s, f, now, out);
  if (cmd == "BOOKPAIR") return CmdBookPair(s, f, now, out);
  if (cmd == "REPORT") return CmdMessage(s, f, false, now, out);
  if (cmd == "FEEDBACK") return CmdMessage(s, f, true, now, out);
  if (cmd == "LOGOGET") return CmdLogoGet(s, now, out);
  if (cmd == "BYE") {
    const TRelayEndpoint ep = s.Ep;  // s dies in DropSession
    DropSession(ep, nullptr, out);
    return;
  }
  // Unknown words are ignored: newer clients may send lines this relay does not know.
}

bool TRelayCore::IDTaken(const std::string& id, const TSession* except) const {
  auto on = FOnline.find(id);
  if (on != FOnline.end() && on->second != except) return true;
  return false;
}

std::string TRelayCore::NewOneTimeID(TTick now) {
  std::uniform_int_distribution<std::uint32_t> dist(100'000'000u, 999'999'999u);
  for (int attempt = 0; attempt < 64; ++attempt) {
    const std::string id = Num(dist(FRandom));
    if (FOnline.count(id)) continue;
    auto lease = FLeases.find(id);
    if (lease != FLeases.end() && lease->second.Expires > now) continue;
    if (FStore.KeptHash(id)) continue;
    return id;
  }
  return {};
}

void TRelayCore::AssignID(TSession& s, const std::string& id, bool kept, TTick now) {
  if (!s.ID.empty()) ReleaseID(s);
  s.ID = id;
  s.Kept = kept;
  FOnline[id] = &s;
  if (kept) {
    EraseLease(id);
  } else {
    auto& lease = FLeases[id];
    if (lease.Expires <= now) {
      lease = TLease{now + TTick(FConfig.OneTimeIDSeconds) * 1000, false, s.Ep.IP};
      SaveLease(id, lease, now);
    }
  }
}

void TRelayCore::ReleaseID(TSession& s) {
  if (s.ID.empty()) return;
  auto on = FOnline.find(s.ID);
  if (on != FOnline.end() && on->second == &s) FOnline.erase(on);
  s.ID.clear();
  s.Kept = false;
}

void TRelayCore::SendID(TSession& s, TTick now, TRelayOutput& out) {
  if (s.ID.empty()) return;
  if (s.Kept) return Send(s, "ID " + s.ID + " pinned", out);
  TTick left = 0;
  auto lease = FLeases.find(s.ID);
  if (lease != FLeases.end() && lease->second.Expires > now) left = (lease->second.Expires - now) / 1000;
  Send(s, "ID " + s.ID + " " + Num(left), out);
}

void TRelayCore::CmdHello(TSession& s, const std::vector<std::string_view>& f, TTick now, TRelayOutput& out) {
  if (f.size() < 7) return Send(s, "ERR HELLO_BAD", out);
  const std::string_view id = f[1];
  const auto lan = ParseIPv4(f[2]);
  const auto port = ParseDecimal(f[3], 65535);
  const std::string_view key = f[4];  // the commitment to the PC's peer key
  if (!(id == "0" || IsPartnerID(id)) || !lan || !port || key.size() != 2 * kPeerCommitSize || !IsHexText(key) ||
      (f[6] != "0" && f[6] != "1"))
    return Send(s, "ERR HELLO_BAD", out);

  s.LanIP = std::string(f[2]);
  s.UdpPort = static_cast<std::uint16_t>(*port);
  s.PeerCommit = AsciiUpper(key);
  s.Unattended = f[6] == "1";
  const bool first = !s.Helloed;
  s.Helloed = true;

  if (s.ID.empty()) {
    // A client coming back (new handshake, new address) keeps a one-time ID that is still valid,
    // is not in use and was handed out to the same source address. Kept IDs need PIN again.
    const std::string claim(id);
    auto lease = FLeases.find(claim);
    if (claim != "0" && !IDTaken(claim, &s) && lease != FLeases.end() && lease->second.Expires > now &&
        lease->second.IP == s.Ep.IP && !FStore.KeptHash(claim)) {
      AssignID(s, claim, false, now);
    } else {
      const std::string fresh = NewOneTimeID(now);
      if (fresh.empty()) return Send(s, "ERR BUSY", out);
      AssignID(s, fresh, false, now);
    }
  } else if (!s.Kept) {
    auto lease = FLeases.find(s.ID);
    const bool expired = lease == FLeases.end() || lease->second.Expires <= now;
    const bool spent = lease != FLeases.end() && lease->second.Used;
    if ((expired || spent) && !s.InSession) {
      const std::string fresh = NewOneTimeID(now);
      if (!fresh.empty()) {
        if (lease != FLeases.end()) EraseLease(std::string(lease->first));
        AssignID(s, fresh, false, now);
      }
    }
  }
  SendID(s, now, out);
  if (first) {
    if (!FConfig.AnnouncePorts.empty()) {
      std::string list;
      for (auto p : FConfig.AnnouncePorts) list += (list.empty() ? "" : ",") + Num(p);
      Send(s, "PORTS TCP " + list, out);
    }
    if (!FConfig.BrandName.empty() || !FLogoParts.empty()) {
      const std::string name = FConfig.BrandName.empty() ? "-" : Base64Encode(BytesOf(FConfig.BrandName));
      Send(s, "BRAND " + FLogoHash + " " + Num(FLogoParts.size()) + " " + name, out);
    }
  }
}

void TRelayCore::CmdPin(TSession& s, const std::vector<std::string_view>& f, TTick now, TRelayOutput& out) {
  if (!s.Helloed || s.ID.empty()) return Send(s, "ERR PIN NOT_READY", out);
  // Each PIN reads the store and may write it. Over the rate the client keeps its request and sends
  // it again after its next ID line.
  if (!Fits(s.PinWindow, s.Pins, now, 60'000, FConfig.PinsPerMinute)) return Send(s, "ERR PIN NOT_READY", out);
  ++s.Pins;
  if (f.size() < 3 || !IsPartnerID(f[1]) || f[2].size() != 64 || !IsHexText(f[2]))
    return Send(s, "ERR PIN BAD", out);
  const std::string id(f[1]);
  const std::string hash = KeptSecretHash(f[2]);
  const auto stored = FStore.KeptHash(id);
  if (stored && *stored != hash) return Send(s, "ERR PIN TAKEN", out);
  if (!stored) {
    // A new kept ID: the client's own current ID, or one that nobody holds or may come back to.
    if (id != s.ID) {
      auto lease = FLeases.find(id);
      if (IDTaken(id, &s) || (lease != FLeases.end() && lease->second.Expires > now))
        return Send(s, "ERR PIN TAKEN", out);
    }
    // One kept ID per secret: the store lets go of the one this secret kept before.
    if (!FStore.PutKept(id, hash, StampMs())) {
      Log("Could not store the kept ID " + id);
      return Send(s, "ERR PIN STORE", out);
    }
    Log("ID " + id + " is now kept for " + s.Ep.Text());
  }
  // The same PC may still have an older session (other address) holding the ID: it gives way.
  auto on = FOnline.find(id);
  if (on != FOnline.end() && on->second != &s) ReleaseID(*on->second);
  if (s.ID != id) AssignID(s, id, true, now);
  s.Kept = true;
  EraseLease(id);
  Send(s, "PIN OK " + id, out);
  SendID(s, now, out);
}

void TRelayCore::CmdUnpin(TSession& s, TTick now, TRelayOutput& out) {
  if (!s.Kept || s.ID.empty()) return;
  if (!FStore.DeleteKept(s.ID)) Log("Could not remove the kept ID " + s.ID);
  s.Kept = false;
  FLeases[s.ID] = TLease{now + TTick(FConfig.OneTimeIDSeconds) * 1000, false, s.Ep.IP};
  SaveLease(s.ID, FLeases[s.ID], now);
  SendID(s, now, out);
}

void TRelayCore::Unpair(TSession& s, bool tellPartner, TRelayOutput& out) {
  TSession* p = s.Partner;
  if (!p) return;
  s.Partner = nullptr;
  if (p->Partner == &s) {
    p->Partner = nullptr;
    if (tellPartner) Send(*p, "PARTNER GONE", out);
  }
}

void TRelayCore::CmdConnect(TSession& s, const std::vector<std::string_view>& f, TTick now, TRelayOutput& out) {
  if (!s.Helloed || s.ID.empty()) return Send(s, "ERR NOT_READY", out);
  TRate& rate = RateOf(s.Ep.IP, now);
  if (!Fits(rate.WrongWindow, rate.Wrong, now, 60'000, FConfig.WrongIDsPerMinute))
    return Send(s, "ERR RATE_LIMIT", out);
  if (f.size() < 5) return Send(s, "ERR CONNECT_BAD", out);
  const auto lan = ParseIPv4(f[2]);
  const auto port = ParseDecimal(f[3], 65535);
  if (!lan || !port || f[4].size() != 2 * kPeerCommitSize || !IsHexText(f[4])) return Send(s, "ERR CONNECT_BAD", out);
  const std::string id(f[1]);
  if (id == s.ID) return Send(s, "ERR SELF", out);
  auto on = IsPartnerID(id) ? FOnline.find(id) : FOnline.end();
  if (on == FOnline.end() || on->second->PeerCommit.empty()) {
    ++rate.Wrong;
    return Send(s, "ERR UNKNOWN_ID", out);
  }
  TSession& t = *on->second;
  s.LanIP = std::string(f[2]);
  s.UdpPort = static_cast<std::uint16_t>(*port);
  s.PeerCommit = AsciiUpper(f[4]);

  if (s.Partner != &t) {
    Unpair(s, true, out);
    Unpair(t, true, out);
    s.Partner = &t;
    t.Partner = &s;
  }
  s.Revealed = t.Revealed = false;
  auto peerLine = [&](const TSession& other) {
    // On TCP the observed port is the TCP connection's; the PC's UDP port is the best guess there.
    const std::uint16_t pubPort = other.Ep.IsTcp() ? other.UdpPort : other.Ep.Port;
    const char* mark = !FConfig.Relaying ? "-" : (other.Ep.IsTcp() ? "T" : "U");
    return "PEER " + FormatIPv4(other.Ep.IP) + " " + Num(pubPort) + " " + other.LanIP + " " + Num(other.UdpPort) +
           " " + other.PeerCommit + " " + other.ID + " - " + mark;
  };
  Send(s, peerLine(t), out);
  Send(t, peerLine(s), out);
  Log("Introduced " + s.ID + " (" + s.Ep.Text() + ") to " + t.ID + " (" + t.Ep.Text() + ")");
}

void TRelayCore::CmdReveal(TSession& s, const std::vector<std::string_view>& f, TRelayOutput& out) {
  // A PC's peer key, for the partner it was just introduced to: passed on once per introduction, and
  // only when it is the key the PC committed to (what the partner got in PEER).
  TSession* p = s.Partner;
  if (!p || p->Partner != &s || s.Revealed) return;
  if (f.size() < 3 || f[1] != p->ID || f[2].size() != 2 * kPublicKeySize || !IsHexText(f[2]))
    return Send(s, "ERR REVEAL_BAD", out);
  const std::string key = AsciiUpper(f[2]);
  if (BytesToHex(PeerCommitment(HexToBytes(key))) != s.PeerCommit) return Send(s, "ERR REVEAL_BAD", out);
  s.Revealed = true;
  Send(*p, "REVEAL " + s.ID + " " + key, out);
}

void TRelayCore::EndUsage(TSession& s, bool askReport, TRelayOutput& out) {
  if (!s.InSession) return;
  s.InSession = false;
  if (!s.Viewer) return;  // the helper's side keeps the record
  TUsageRecord r;
  r.ViewerID = s.ID.empty() ? "0" : s.ID;
  r.HostID = s.SessPartner;
  r.StartMs = s.SessStart;
  r.EndMs = std::max(StampMs(), s.SessStart);
  r.Transport = s.Forwarded > s.ForwardedAtStart ? "relay" : "direct";
  const std::int64_t row = FStore.AddUsage(r);
  if (row == 0) Log("Could not store the usage record of " + r.ViewerID + " with " + r.HostID);
  if (askReport && FConfig.CompanyMode && row > 0) {
    const std::int64_t start = r.StartMs / 1000, end = r.EndMs / 1000;
    Send(s, "REPORTASK " + Num(std::uint64_t(row)) + " " + Num(std::uint64_t(start)) + " " +
                Num(std::uint64_t(end)) + " " + Num(std::uint64_t(end - start)) + " " + r.HostID,
         out);
  }
}

void TRelayCore::CmdSession(TSession& s, const std::vector<std::string_view>& f, TTick now, TRelayOutput& out) {
  // Each START or END may write a usage record: bounded per client.
  if (!Fits(s.SessionWindow, s.SessionLines, now, 60'000, FConfig.SessionLinesPerMinute)) return;
  ++s.SessionLines;
  if (f.size() >= 4 && f[1] == "START" && IsPartnerID(f[2]) && (f[3] == "V" || f[3] == "H")) {
    // Records only for a pair this relay introduced: nobody books sessions with arbitrary IDs.
    if (!s.Partner || s.Partner->ID != f[2]) return;
    EndUsage(s, false, out);
    s.InSession = true;
    s.Viewer = f[3] == "V";
    s.SessPartner = std::string(f[2]);
    s.SessStart = StampMs();
    s.ForwardedAtStart = s.Forwarded;
    // A one-time ID works for one session: the helped PC gets a new one once this one ends.
    if (!s.Viewer && !s.Kept && !s.ID.empty()) {
      auto lease = FLeases.find(s.ID);
      if (lease != FLeases.end() && !lease->second.Used) {
        lease->second.Used = true;
        SaveLease(lease->first, lease->second, now);
      }
    }
  } else if (f.size() >= 2 && f[1] == "END") {
    EndUsage(s, true, out);
  }
}

// ---------------------------------------------------------------------------------------------
// Multi-part uploads

void TRelayCore::CmdBookPut(TSession& s, const std::vector<std::string_view>& f, TTick now, TRelayOutput& out) {
  if (!Fits(s.BookWindow, s.BookLines, now, 60'000, FConfig.BookLinesPerMinute)) return Send(s, "ERR BOOK_RATE", out);
  ++s.BookLines;
  if (f.size() < 6) return Send(s, "ERR BOOK_BAD", out);
  const auto stamp = ParseDecimal(f[2], INT64_MAX);
  const auto index = ParseDecimal(f[3], 1000);
  const auto count = ParseDecimal(f[4], 1000);
  if (f[1].size() < 16 || f[1].size() > 128 || !IsHexText(f[1]) || !stamp || *stamp == 0 || !index || !count)
    return Send(s, "ERR BOOK_BAD", out);
  if (*count < 1 || *count > kMaxBookParts || *index >= *count || f[5].size() > kBookPartChars ||
      !IsBase64Text(f[5]))
    return Send(s, "ERR BOOK_BAD", out);
  const std::string bookID = AsciiLower(f[1]);
  const std::int64_t st = static_cast<std::int64_t>(*stamp);
  const std::string stText(f[2]);
  if (st > StampMs() + kBookFutureMs) return Send(s, "ERR BOOK_BAD", out);

  const auto stored = FStore.GetBook(bookID);
  if (stored && stored->Stamp == st) {
    // A resend of the stored list is confirmed again; another list with the same stamp (a second PC
    // that made its version at the same millisecond) is not the stored one and must not be told so.
    if (stored->Parts.size() == *count && stored->Parts[*index] == f[5]) {
      Send(s, "BOOKPART OK " + stText + " " + Num(*index), out);
      return Send(s, "BOOKPUT OK " + stText, out);
    }
    return Send(s, "ERR BOOK_OLDER", out);
  }
  if (stored && stored->Stamp > st) return Send(s, "ERR BOOK_OLDER", out);

  auto a = std::find_if(s.Assemblies.begin(), s.Assemblies.end(),
                        [&](const TAssembly& x) { return x.Kind == 'B' && x.Key == bookID; });
  if (a != s.Assemblies.end() && (a->Stamp != st || a->Parts.size() != *count)) {
    s.Assemblies.erase(a);
    a = s.Assemblies.end();
  }
  if (a == s.Assemblies.end()) {
    if (s.Assemblies.size() >= FConfig.MaxAssembliesPerClient) s.Assemblies.erase(s.Assemblies.begin());
    s.Assemblies.push_back(TAssembly{'B', bookID, st, std::vector<std::string>(*count), 0, 0, now});
    a = s.Assemblies.end() - 1;
  }
  std::string& slot = a->Parts[*index];
  if (slot.empty()) {
    slot = std::string(f[5]);
    ++a->Have;
  }
  Send(s, "BOOKPART OK " + stText + " " + Num(*index), out);
  if (a->Have < a->Parts.size()) return;

  TStoredBook book{st, std::move(a->Parts)};
  s.Assemblies.erase(a);
  if (!stored && FStore.BookCount() >= FConfig.MaxBooks) return Send(s, "ERR BOOK_FULL", out);
  if (!FStore.PutBook(bookID, book, StampMs())) {
    Log("Could not store a saved-PC list");
    return Send(s, "ERR BOOK_FULL", out);
  }
  Send(s, "BOOKPUT OK " + stText, out);
}

void TRelayCore::CmdBookGet(TSession& s, const std::vector<std::string_view>& f, TTick now, TRelayOutput& out) {
  if (!Fits(s.BookWindow, s.BookLines, now, 60'000, FConfig.BookLinesPerMinute)) return Send(s, "ERR BOOK_RATE", out);
  ++s.BookLines;
  if (f.size() < 2 || f[1].size() < 16 || f[1].size() > 128 || !IsHexText(f[1])) return Send(s, "ERR BOOK_BAD", out);
  const auto book = FStore.GetBook(AsciiLower(f[1]));
  if (!book || book->Parts.empty()) return Send(s, "BOOK 0 0 0 -", out);
  const std::string head = "BOOK " + Num(std::uint64_t(book->Stamp)) + " ";
  for (std::size_t i = 0; i < book->Parts.size(); ++i)
    Send(s, head + Num(i) + " " + Num(book->Parts.size()) + " " + book->Parts[i], out);
}

void TRelayCore::CmdBookPair(TSession& s, const std::vector<std::string_view>& f, TTick now, TRelayOutput& out) {
  TRate& rate = RateOf(s.Ep.IP, now);
  if (!Fits(rate.PairWindow, rate.Pair, now, 60'000, FConfig.PairOpsPerMinute))
    return Send(s, "ERR BOOKPAIR_RATE", out);
  ++rate.Pair;
  if (f.size() < 3 || f[2].size() < 16 || f[2].size() > 64 || !IsHexText(f[2]))
    return Send(s, "ERR BOOKPAIR_BAD", out);
  const std::string pairText(f[2]);
  const std::string pairID = AsciiUpper(f[2]);
  const std::int64_t stamp = StampMs();
  if (f[1] == "PUT") {
    if (f.size() < 4 || f[3].size() > kMaxPairBlobChars || !IsBase64Text(f[3]))
      return Send(s, "ERR BOOKPAIR_BAD", out);
    if (FStore.PairOfferCount(stamp) >= FConfig.MaxPairOffers) return Send(s, "ERR BOOKPAIR_FULL", out);
    if (!FStore.PutPairOffer(pairID, std::string(f[3]), stamp + FConfig.PairOfferMs)) {
      Log("Could not store a pairing offer");
      return Send(s, "ERR BOOKPAIR_FULL", out);
    }
    return Send(s, "BOOKPAIR OK " + pairText, out);
  }
  if (f[1] == "GET") {
    const auto blob = FStore.TakePairOffer(pairID, stamp);
    if (!blob) return Send(s, "BOOKPAIR NONE " + pairText, out);
    return Send(s, "BOOKPAIR DATA " + pairText + " " + *blob, out);
  }
  Send(s, "ERR BOOKPAIR_BAD", out);
}

void TRelayCore::CmdMessage(TSession& s, const std::vector<std::string_view>& f, bool feedback, TTick now,
                            TRelayOutput& out) {
  const std::string word = feedback ? "FEEDBACK" : "REPORT";
  const std::string err = "ERR " + word + "_";
  if (!feedback && (!s.Helloed || s.ID.empty())) return Send(s, err + "NOT_READY", out);
  if (f.size() < 5 || f[1].size() != 8 || !IsHexText(f[1])) return Send(s, err + "BAD", out);
  const auto index = ParseDecimal(f[2], 1000);
  const auto count = ParseDecimal(f[3], 1000);
  if (!index || !count || *count < 1 || *index >= *count || !IsBase64Text(f[4])) return Send(s, err + "BAD", out);
  if (*count > kMaxMessageParts || f[4].size() > kMessagePartChars) return Send(s, err + "SIZE", out);
  const std::string msgID = AsciiLower(f[1]);
  const char kind = feedback ? 'F' : 'R';

  auto a = std::find_if(s.Assemblies.begin(), s.Assemblies.end(),
                        [&](const TAssembly& x) { return x.Kind == kind && x.Key == msgID; });
  if (a != s.Assemblies.end() && a->Parts.size() != *count) {
    s.Assemblies.erase(a);
    a = s.Assemblies.end();
  }
  if (a == s.Assemblies.end()) {
    // Rates count messages, not lines, so resends of the parts of one message cost nothing extra.
    if (feedback) {
      TRate& rate = RateOf(s.Ep.IP, now);
      if (!Fits(rate.FbWindow, rate.Fb, now, 3'600'000, FConfig.FeedbackPerHour)) return Send(s, err + "RATE", out);
    } else if (!Fits(s.ReportWindow, s.Reports, now, 3'600'000, FConfig.ReportsPerHour)) {
      return Send(s, err + "RATE", out);
    }
    if (s.Assemblies.size() >= FConfig.MaxAssembliesPerClient) s.Assemblies.erase(s.Assemblies.begin());
    s.Assemblies.push_back(TAssembly{kind, msgID, 0, std::vector<std::string>(*count), 0, 0, now});
    a = s.Assemblies.end() - 1;
  }
  std::string& slot = a->Parts[*index];
  if (slot.empty()) {
    slot = std::string(f[4]);
    ++a->Have;
  }
  if (a->Have < a->Parts.size()) return;

  TStoredMessage m;
  m.MsgID = msgID;
  // Feedback is kept without anything that names the sending PC (its form says so).
  m.Sender = feedback || s.ID.empty() ? "0" : s.ID;
  m.Stamp = StampMs();
  for (auto& p : a->Parts) m.Payload += p;
  s.Assemblies.erase(a);
  if (!Base64Decode(m.Payload)) return Send(s, err + "BAD", out);
  if (feedback) {
    ++RateOf(s.Ep.IP, now).Fb;
    const TStoredAdd added = FStore.AddFeedback(m);
    if (!added) {
      Log("Could not store a feedback message");
      return Send(s, err + "STORE", out);
    }
    // A resend after a lost answer is confirmed again but mailed only once.
    Log("Feedback " + msgID + (added.Fresh ? " stored" : " already stored"));
    if (added.Fresh && FConfig.OnFeedback) FConfig.OnFeedback(m);
  } else {
    ++s.Reports;
    if (!FStore.AddReport(m)) {
      Log("Could not store a session report");
      return Send(s, err + "NOT_READY", out);  // the client keeps it and tries again later
    }
    Log("Session report " + msgID + " from " + m.Sender + " stored");
  }
  Send(s, word + " OK " + std::string(f[1]), out);
}

std::string FeedbackTextForMail(std::string_view text, std::string* email) {
  if (email) email->clear();
  const std::size_t first = text.find('\n');
  if (first == std::string_view::npos) return std::string(text);
  const std::size_t second = text.find('\n', first + 1);
  const std::string_view address =
      text.substr(first + 1, second == std::string_view::npos ? std::string_view::npos : second - first - 1);
  if (IsValidEmail(address)) {
    if (email) *email = std::string(address);
    return std::string(text);
  }
  std::string out(text.substr(0, first + 1));
  if (second != std::string_view::npos) out.append(text.substr(second));
  return out;
}

void TRelayCore::CmdLogoGet(TSession& s, TTick now, TRelayOutput& out) {
  if (FLogoParts.empty()) return;
  if (!Fits(s.LogoWindow, s.LogoGets, now, 60'000, FConfig.LogoGetsPerMinute)) return;
  ++s.LogoGets;
  const std::string count = Num(FLogoParts.size());
  for (std::size_t i = 0; i < FLogoParts.size(); ++i)
    Send(s, "LOGO " + FLogoHash + " " + Num(i) + " " + count + " " + FLogoParts[i], out);
}

// ---------------------------------------------------------------------------------------------
// Life cycle

void TRelayCore::DropSession(const TRelayEndpoint& ep, const char* why, TRelayOutput& out) {
  auto it = FSessions.find(ep);
  if (it == FSessions.end()) return;
  TSession& s = *it->second;
  Unpair(s, true, out);
  EndUsage(s, false, out);
  ReleaseID(s);
  auto per = FPerIP.find(ep.IP);
  if (per != FPerIP.end() && --per->second == 0) FPerIP.erase(per);
  if (why && ep.IsTcp()) out.CloseConns.push_back(ep.Conn);
  FSessions.erase(it);
}

void TRelayCore::OnClosed(const TRelayEndpoint& AEndpoint, TTick ANow, TRelayOutput& AOut) {
  DropSession(AEndpoint, nullptr, AOut);
}

void TRelayCore::Tick(TTick ANow, TRelayOutput& AOut) {
  LoadLeases(ANow);
  if (ANow - FLastSweep < kSweepMs && FLastSweep != 0) return;
  FLastSweep = ANow;

  std::vector<TRelayEndpoint> silent;
  std::size_t assemblyBytes = 0;
  for (auto& [ep, sp] : FSessions) {
    TSession& s = *sp;
    const TTick limit = s.Helloed ? FConfig.SilentMs : FConfig.UnhelloedMs;
    if (ANow - s.LastRx > limit) {
      silent.push_back(ep);
      continue;
    }
    std::erase_if(s.Assemblies, [&](const TAssembly& a) { return ANow - a.Started > kAssemblyMs; });
    for (const auto& a : s.Assemblies)
      for (const auto& p : a.Parts) assemblyBytes += p.size();
    // A one-time ID that ran out is replaced at once (not during a session, which keeps it).
    if (!s.ID.empty() && !s.Kept && !s.InSession) {
      auto lease = FLeases.find(s.ID);
      if (lease == FLeases.end() || lease->second.Expires <= ANow) {
        const std::string fresh = NewOneTimeID(ANow);
        if (!fresh.empty()) {
          if (lease != FLeases.end()) EraseLease(std::string(lease->first));
          AssignID(s, fresh, false, ANow);
          SendID(s, ANow, AOut);
        }
      }
    }
  }
  for (const auto& ep : silent) DropSession(ep, "silent", AOut);
  // Parts collected but never completed are bounded in total: over the bound, drop them all.
  if (assemblyBytes > kMaxAssemblyBytes) {
    Log("Too many unfinished uploads; dropping them");
    for (auto& [ep, sp] : FSessions) sp->Assemblies.clear();
  }
  std::erase_if(FLeases, [&](const auto& e) { return e.second.Expires <= ANow && !FOnline.count(e.first); });
  if (ANow - FLastPurge >= kPurgeMs || FLastPurge == 0) {
    FLastPurge = ANow;
    FRates->ForgetIdle(ANow, kRateIdleMs);
    FStore.PurgeExpired(StampMs());
  }
}

}  // namespace tovik
