// A deterministic network simulator for the network client and the relay.
//
// Time is virtual: the simulator owns a TManualClock and a TVirtualTimeDriver (base/TovikTimed.h), and
// RunFor(ms) jumps from deadline to deadline: the next delivery of datagrams and stream bytes (the
// simulator itself is the driver's first timed object) or the next deadline of the timed objects that
// live in the simulation (clients, the relay core's tick), which run after the deliveries of the same
// moment. Links have delay, jitter, loss, duplication and reordering drawn from a seeded RNG, so a run
// is the same every time for the same seed.
//
// Topology: hosts live either on the "public" network or behind one NAT box. A NAT box has one public
// address and one of four behaviours (full cone, address-restricted, port-restricted, symmetric). A host
// may have UDP blocked outright (every datagram to or from outside its own network is dropped); TCP still
// works then.
//
// Everything runs on the test's thread; nothing here is thread-safe.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <queue>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "base/TovikClock.h"
#include "base/TovikTimed.h"
#include "tests/support/VirtualTimeDriver.h"
#include "net/TovikSocket.h"

namespace tovik::sim {

enum class TNatKind { FullCone, AddressRestricted, PortRestricted, Symmetric };

const char* NatKindName(TNatKind AKind);

struct TLinkParams {
  TTick DelayMs = 10;       // one-way base delay
  TTick JitterMs = 0;       // uniform extra delay 0..JitterMs
  double Loss = 0;          // probability that a datagram is lost
  double Duplicate = 0;     // probability that a datagram arrives twice
  double Reorder = 0;       // probability that a datagram is held back by 3x the base delay
};

struct TEndpoint {
  std::string IP;
  std::uint16_t Port = 0;
  auto operator<=>(const TEndpoint&) const = default;
};

class TSimNet;
class TSimHost;

class TSimNat {
 public:
  TSimNat(std::string APublicIP, TNatKind AKind) : FPublicIP(std::move(APublicIP)), FKind(AKind) {}
  const std::string& PublicIP() const { return FPublicIP; }
  TNatKind Kind() const { return FKind; }
  std::size_t MappingCount() const { return FOut.size(); }

 private:
  friend class TSimNet;
  struct TMapping {
    TEndpoint Inside;
    std::set<std::string> SeenIPs;  // remote addresses contacted through this mapping
    std::set<TEndpoint> Seen;       // remote endpoints contacted through this mapping
  };
  // Outbound: the public port for (inside, remote); creates the mapping and permission.
  std::uint16_t MapOut(const TEndpoint& AInside, const TEndpoint& ARemote);
  // Inbound: the inside endpoint for a datagram from ARemote to APublicPort, or none when filtered.
  bool MapIn(const TEndpoint& ARemote, std::uint16_t APublicPort, TEndpoint& AInside);

  std::string FPublicIP;
  TNatKind FKind;
  std::uint16_t FNextPort = 20000;
  std::map<std::tuple<TEndpoint, TEndpoint>, std::uint16_t> FOut;  // (inside, remote or {}) -> port
  std::map<std::uint16_t, TMapping> FIn;                          // public port -> mapping
};

// Server-side end of a simulated TCP connection (what a listener gets).
class TSimTcpConn {
 public:
  virtual ~TSimTcpConn() = default;
  virtual void Write(TByteView AData) = 0;
  virtual void Close() = 0;
  virtual TEndpoint Remote() const = 0;
  virtual bool Open() const = 0;
  std::function<void(TByteView)> OnData;  // stream bytes from the client, in order, in random pieces
  std::function<void()> OnClose;          // the client closed the connection
};

class TSimHost {
 public:
  const std::string& IP() const { return FIP; }
  TSimNat* Nat() const { return FNat; }
  bool UdpBlocked = false;
  // The backend for a client running on this host.
  INetBackend& Backend() { return *FBackend; }

  // Server-side UDP: handler for datagrams to APort.
  void BindUdp(std::uint16_t APort, std::function<void(const TRxPacket&)> AHandler);
  void SendUdp(std::uint16_t AFromPort, const std::string& AIP, std::uint16_t APort, TByteView AData);
  // Server-side TCP: handler for each accepted connection.
  void ListenTcp(std::uint16_t APort, std::function<void(std::shared_ptr<TSimTcpConn>)> AAccept);
  void StopListenTcp(std::uint16_t APort);

 private:
  friend class TSimNet;
  TSimNet* FNet = nullptr;
  std::string FIP;
  TSimNat* FNat = nullptr;
  std::unique_ptr<INetBackend> FBackend;
};

class TSimNet final : public ITimedObject {
 public:
  explicit TSimNet(std::uint32_t ASeed = 1, TTick AStart = 1'000'000);
  ~TSimNet() override;
  TSimNet(const TSimNet&) = delete;
  TSimNet& operator=(const TSimNet&) = delete;

  TSimNat& AddNat(const std::string& APublicIP, TNatKind AKind);
  TSimHost& AddHost(const std::string& AIP, TSimNat* ANat = nullptr);
  void AddName(const std::string& AName, const std::string& AIP) { FNames[AName] = AIP; }

  TLinkParams Link;  // applies to every datagram and stream piece

  // A timed object living in the simulation, run at its deadlines after the deliveries of the same
  // moment, in the order added. Not owned: remove it before it is destroyed.
  void AddTimed(ITimedObject& AObject) { FDriver.Add(AObject); }
  void RemoveTimed(ITimedObject& AObject) { FDriver.Remove(AObject); }

  // Moves virtual time by AMs milliseconds, from deadline to deadline.
  void RunFor(TTick AMs) { FDriver.RunFor(AMs); }
  // Moves time until APred holds (asked after each moment) or AMaxMs passed; returns whether APred held.
  bool RunUntil(const std::function<bool()>& APred, TTick AMaxMs) { return FDriver.RunUntil(APred, AMaxMs); }
  TTick Now() const { return FClock.Now(); }
  TManualClock& Clock() { return FClock; }
  // Rounds the driver ran so far (each at one tick), for tests that check that idle time is skipped.
  std::uint64_t Rounds() const { return FDriver.Rounds(); }

  // ITimedObject: the next scheduled delivery, and delivering everything due by ANow.
  TTick NextDeadline() const override { return FEvents.empty() ? kNoDeadline : FEvents.top().At; }
  void HandleTimeout(TTick ANow) override;

  std::uint64_t Delivered() const { return FDelivered; }
  std::uint64_t Dropped() const { return FDropped; }

  // Plumbing used by the host backends and connections.
  void SendUdpFrom(TSimHost& AHost, std::uint16_t AFromPort, const std::string& AIP, std::uint16_t APort,
                   TByteView AData);
  std::uint16_t BindEphemeral(TSimHost& AHost, IRxSink& ASink);
  void Unbind(TSimHost& AHost, std::uint16_t APort);
  void Schedule(TTick AAt, std::function<void()> AAction);
  TTick DrawDelay();
  bool Chance(double AP);
  std::uint32_t Random(std::uint32_t AMax);
  bool Resolve(const std::string& AName, std::string& AIP) const;

  struct TListener {
    TSimHost* Host;
    std::function<void(std::shared_ptr<TSimTcpConn>)> Accept;
  };
  std::map<TEndpoint, TListener> Listeners;
  // Public endpoint of a new outgoing TCP connection from AHost.
  TEndpoint TcpSource(TSimHost& AHost);

 private:
  friend class TSimHost;
  void ArriveUdp(const TEndpoint& AFrom, const TEndpoint& ATo, TBytes AData, TSimNat* ASrcRealm);
  void DeliverLocal(TSimHost& AHost, const TEndpoint& AFrom, std::uint16_t APort, TBytes AData);
  TSimHost* FindHost(const std::string& AIP, TSimNat* ARealm);

  TManualClock FClock;
  TVirtualTimeDriver FDriver{FClock};
  std::mt19937 FRng;
  std::vector<std::unique_ptr<TSimNat>> FNats;
  std::vector<std::unique_ptr<TSimHost>> FHosts;
  std::map<std::string, std::string> FNames;
  // (host, port) -> receiver: either a sink (client socket) or a handler (server side).
  struct TBinding {
    IRxSink* Sink = nullptr;
    std::function<void(const TRxPacket&)> Handler;
  };
  std::map<std::pair<TSimHost*, std::uint16_t>, TBinding> FBindings;
  std::map<TSimHost*, std::uint16_t> FNextEphemeral;
  std::uint16_t FNextTcpPort = 40000;
  struct TEvent {
    TTick At;
    std::uint64_t Seq;
    std::function<void()> Action;
    bool operator>(const TEvent& o) const { return std::tie(At, Seq) > std::tie(o.At, o.Seq); }
  };
  std::priority_queue<TEvent, std::vector<TEvent>, std::greater<TEvent>> FEvents;
  std::uint64_t FSeq = 0;
  std::uint64_t FDelivered = 0;
  std::uint64_t FDropped = 0;
};

}  // namespace tovik::sim
