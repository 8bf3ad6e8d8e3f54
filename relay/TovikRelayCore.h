// TRelayCore: the relay's protocol logic without I/O.
//
// Datagrams (from a UDP address or a TCP connection) and the tick go in; datagrams to send and TCP
// connections to close come out in a TRelayOutput. The core opens no socket and reads no clock of
// its own: ticks are parameters, wall-clock stamps come from tovik::StampMs() (replaceable in tests).
// The same core runs behind the epoll server (TovikRelayServer) and inside test harnesses.
//
// Ownership: the core owns its sessions; the store and the signing key passed to the constructor
// must outlive it. Threading: one thread calls every method (the event loop or the test).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "TovikRelayRates.h"
#include "TovikRelayStore.h"
#include "base/TovikBytes.h"
#include "base/TovikClock.h"
#include "crypto/TovikCrypto.h"

namespace tovik {

// Where a datagram came from or goes to: a UDP address, or a TCP connection (Conn != 0) whose
// remote address is kept in IP and Port for display and for PEER lines.
//
// Local is the relay's own address the client's datagram was sent to. A relay bound to 0.0.0.0 on
// a host with several addresses must answer from that address, or the client drops the answer as
// coming from an unknown sender. It is not part of the endpoint's identity (== and the hash).
struct TRelayEndpoint {
  std::uint32_t IP = 0;     // IPv4, host order
  std::uint16_t Port = 0;
  std::uint64_t Conn = 0;   // 0: UDP; otherwise the server's TCP connection number
  std::uint32_t Local = 0;  // UDP: relay address the client sends to, host order; 0: unknown

  bool IsTcp() const { return Conn != 0; }
  bool operator==(const TRelayEndpoint& o) const {
    return Conn != 0 ? Conn == o.Conn : (o.Conn == 0 && IP == o.IP && Port == o.Port);
  }
  std::string Text() const;
};

struct TRelayEndpointHash {
  std::size_t operator()(const TRelayEndpoint& e) const noexcept {
    if (e.Conn) return std::hash<std::uint64_t>()(e.Conn ^ 0x9E3779B97F4A7C15ull);
    return std::hash<std::uint64_t>()((std::uint64_t(e.IP) << 16) | e.Port);
  }
};

struct TRelayDatagram {
  TRelayEndpoint To;
  TBytes Data;
};

struct TRelayOutput {
  std::vector<TRelayDatagram> Datagrams;
  std::vector<std::uint64_t> CloseConns;  // TCP connections the server should close
  void Clear() {
    Datagrams.clear();
    CloseConns.clear();
  }
};

struct TRelayConfig {
  bool Relaying = true;             // pass 0x14 between partners and offer it ("U"/"T" marks)
  bool CompanyMode = false;         // ask the helper for a session report after each session
  std::string BrandName;            // empty: none
  TBytes Logo;                      // logo file bytes (JPEG or PNG); empty: none
  std::vector<std::uint16_t> AnnouncePorts;  // TCP fallback ports announced with PORTS; empty: none

  std::uint32_t OneTimeIDSeconds = 600;
  TTick SilentMs = 75'000;          // a client without any genuine packet for this long is dropped
  TTick UnhelloedMs = 30'000;       // a session that never said HELLO is dropped sooner
  std::size_t MaxSessions = 250'000;
  std::size_t MaxSessionsPerIP = 5'000;
  // Handshakes are counted per source IP first, then per /24 range, then against the budget of all
  // sources: hellos that one address or one range may no longer make cost the others nothing.
  std::uint32_t HandshakesPerIPPer10s = 400;
  std::uint32_t HandshakesPerRangePerSecond = 750;  // per /24 source range
  std::uint32_t HandshakesPerSecond = 3'000;   // all sources together
  std::uint32_t WrongIDsPerMinute = 10;        // per source IP, then ERR RATE_LIMIT
  std::uint32_t BookLinesPerMinute = 240;      // per client
  std::int64_t MaxBooks = 1'000'000;
  std::uint32_t PairOpsPerMinute = 20;         // per source IP
  std::int64_t MaxPairOffers = 20'000;
  std::int64_t PairOfferMs = 600'000;
  std::uint32_t ReportsPerHour = 60;           // completed reports per client
  std::uint32_t FeedbackPerHour = 5;           // completed messages per source IP
  std::uint32_t LogoGetsPerMinute = 6;         // per client
  std::uint32_t PinsPerMinute = 10;            // PIN lines per client, then ERR PIN NOT_READY
  std::uint32_t SessionLinesPerMinute = 30;    // SESSION START/END lines per client; more are ignored
  std::size_t MaxAssembliesPerClient = 4;      // multi-part uploads in progress per client
  std::size_t MaxRateEntries = 200'000;        // source IPs and ranges tracked by the rate limits (hard cap)
  std::uint64_t Seed = 0;                      // ID generator seed; 0: random

  std::function<void(std::string_view)> OnLog;             // one log line, no line end
  std::function<void(const TStoredMessage&)> OnFeedback;   // stored feedback, for mail delivery
};

struct TRelayStats {
  std::size_t Sessions = 0;     // clients with a secure session
  std::size_t Registered = 0;   // clients with an ID
  std::size_t Pairs = 0;
  std::uint64_t Forwarded = 0;  // 0x14 packets passed on
  std::uint64_t Handshakes = 0;
  std::uint64_t Dropped = 0;    // datagrams dropped as malformed or not genuine
  std::size_t SourcesWithSessions = 0;  // source IPs counted against the per-IP session limit
  std::size_t RateEntries = 0;          // sources and ranges tracked by the rate limits
};

class TRelayCore {
 public:
  // ASigningKey must hold the private half. Raises ETovikCrypto only if the key is unusable.
  TRelayCore(TRelayConfig AConfig, IRelayStore& AStore, const TEcdsaKey& ASigningKey);
  ~TRelayCore();
  TRelayCore(const TRelayCore&) = delete;
  TRelayCore& operator=(const TRelayCore&) = delete;

  // One datagram from a UDP address or a TCP connection; replies are appended to AOut.
  void OnDatagram(const TRelayEndpoint& AFrom, TByteView AData, TTick ANow, TRelayOutput& AOut);

  // Fast path for kind 0x14: when AFrom's partner may receive relayed packets, returns its
  // endpoint (valid until the next call into the core) and counts the packet; the caller sends the
  // datagram unchanged. Returns nullptr when the packet must go through OnDatagram instead.
  const TRelayEndpoint* ForwardTarget(const TRelayEndpoint& AFrom, TByteView AData, TTick ANow);

  // A TCP connection ended (closed by the client, a framing error or the server).
  void OnClosed(const TRelayEndpoint& AEndpoint, TTick ANow, TRelayOutput& AOut);

  // Drops silent clients and expired state. Call about every 250 to 1000 ms.
  void Tick(TTick ANow, TRelayOutput& AOut);

  // The TCP fallback ports announced with PORTS to clients that say HELLO from now on.
  void SetAnnouncePorts(std::vector<std::uint16_t> APorts) { FConfig.AnnouncePorts = std::move(APorts); }

  TRelayStats Stats() const;
  const TBytes& SigningPublic() const { return FSigningPublic; }

  // For tests and tools: the ID the client at AEndpoint holds ("" when none or no session).
  std::string IDOf(const TRelayEndpoint& AEndpoint) const;

 private:
  struct TSession;
  struct TRate;
  struct TAssembly;
  struct TLease {
    TTick Expires = 0;
    bool Used = false;        // the helped PC had a session with it: replace after the session
    std::uint32_t IP = 0;     // source address it was handed to
  };

  void HandleHello(const TRelayEndpoint& from, TByteView data, TTick now, TRelayOutput& out);
  void HandleSealed(const TRelayEndpoint& from, TByteView data, TTick now, TRelayOutput& out);
  void HandleLine(TSession& s, std::string_view line, TTick now, TRelayOutput& out);

  void CmdHello(TSession& s, const std::vector<std::string_view>& f, TTick now, TRelayOutput& out);
  void CmdPin(TSession& s, const std::vector<std::string_view>& f, TTick now, TRelayOutput& out);
  void CmdUnpin(TSession& s, TTick now, TRelayOutput& out);
  void CmdConnect(TSession& s, const std::vector<std::string_view>& f, TTick now, TRelayOutput& out);
  void CmdReveal(TSession& s, const std::vector<std::string_view>& f, TRelayOutput& out);
  void CmdSession(TSession& s, const std::vector<std::string_view>& f, TTick now, TRelayOutput& out);
  void CmdBookPut(TSession& s, const std::vector<std::string_view>& f, TTick now, TRelayOutput& out);
  void CmdBookGet(TSession& s, const std::vector<std::string_view>& f, TTick now, TRelayOutput& out);
  void CmdBookPair(TSession& s, const std::vector<std::string_view>& f, TTick now, TRelayOutput& out);
  void CmdMessage(TSession& s, const std::vector<std::string_view>& f, bool feedback, TTick now,
                  TRelayOutput& out);
  void CmdLogoGet(TSession& s, TTick now, TRelayOutput& out);

  void Send(TSession& s, std::string_view line, TRelayOutput& out);
  void SendID(TSession& s, TTick now, TRelayOutput& out);
  void AssignID(TSession& s, const std::string& id, bool kept, TTick now);
  void ReleaseID(TSession& s);
  std::string NewOneTimeID(TTick now);
  bool IDTaken(const std::string& id, const TSession* except) const;
  void Unpair(TSession& s, bool tellPartner, TRelayOutput& out);
  void EndUsage(TSession& s, bool askReport, TRelayOutput& out);
  void DropSession(const TRelayEndpoint& ep, const char* why, TRelayOutput& out);
  TRate& RateOf(std::uint32_t ip, TTick now);
  TRate& RangeRateOf(std::uint32_t ip, TTick now);
  // One-time ID leases live in the store as well, so that a restart keeps them.
  void LoadLeases(TTick now);
  void SaveLease(const std::string& id, const TLease& lease, TTick now);
  void EraseLease(const std::string& id);
  void Log(const std::string& line);

  TRelayConfig FConfig;
  IRelayStore& FStore;
  const TEcdsaKey& FSigning;
  TBytes FSigningPublic;
  std::string FLogoHash;                 // "-" without a logo
  std::vector<std::string> FLogoParts;

  std::unordered_map<TRelayEndpoint, std::unique_ptr<TSession>, TRelayEndpointHash> FSessions;
  std::unordered_map<std::string, TSession*> FOnline;        // ID -> client holding it
  std::unordered_map<std::string, TLease> FLeases;           // one-time IDs still valid (and in the store)
  bool FLeasesLoaded = false;
  std::unique_ptr<TCappedTable<TRate>> FRates;  // per source IP and per /24 range
  std::unordered_map<std::uint32_t, std::size_t> FPerIP;     // sessions per source IP
  std::mt19937_64 FRandom;
  TTick FHandshakeWindow = 0;
  std::uint32_t FHandshakesInWindow = 0;
  TTick FLastSweep = 0;
  TTick FLastPurge = 0;
  TRelayStats FStats;
  TBytes FScratch;
};

// The decoded feedback text (kind, e-mail address, build, message on lines of their own) as the mail
// command gets it: the address line is emptied unless IsValidEmail accepts it, so a command that puts
// the address in a header never sees a line break or a list there. email receives the checked address.
std::string FeedbackTextForMail(std::string_view text, std::string* email = nullptr);

// Hash of a keep-ID secret as stored (the secret itself is never stored).
std::string KeptSecretHash(std::string_view ASecretHex);

}  // namespace tovik
