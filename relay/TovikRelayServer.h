// TRelayServer: runs a TRelayCore on real sockets with one epoll loop: one UDP socket (batched
// with recvmmsg/sendmmsg) and up to four TCP listeners with non-blocking connections that carry
// the same datagrams with a 2-byte big-endian length in front of each.
//
// Time comes from TickMs() (a TManualClock in tests).
//
// Ownership: the core must outlive the server; the server owns every socket (closed in its
// destructor). Threading: Open, Run and RunOnce on one thread; RequestStop from any thread or a
// signal handler.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "TovikRelayCore.h"

namespace tovik {

struct TRelayServerOptions {
  std::string Listen = "0.0.0.0";
  std::uint16_t UdpPort = 47800;              // 0: any free port (tests)
  std::vector<std::uint16_t> TcpPorts;        // each 0 means any free port (tests)
  std::size_t MaxConnections = 50'000;
  std::size_t MaxConnectionsPerIP = 64;       // more from one address are closed at once
  std::size_t DroppableOutBytes = 2u << 20;   // above this, relayed packets to a connection are dropped
  std::size_t MaxOutBytes = 8u << 20;         // above this, the connection is closed
  std::size_t MaxQueuedBytes = 256u << 20;    // TCP output waiting for all connections together
  TTick ConnIdleMs = 90'000;                  // a connection without any data for this long is closed
  // When accept runs out of descriptors (or memory), new connections wait this long before the
  // next try, twice as long after each failure in a row, at most AcceptPauseMaxMs.
  TTick AcceptPauseMs = 100;
  TTick AcceptPauseMaxMs = 2000;
};

// What becomes of a datagram of ABytes (its length field included) for a TCP connection with
// AConnQueued bytes already waiting, while all connections together have ATotalQueued waiting.
// Relayed packets (ADroppable) are dropped when either the connection's or the total budget would be
// passed; other datagrams close a connection over its own budget, or one that already has a backlog
// when the total budget is spent (a connection without a backlog may still send: its bytes usually
// leave at once).
enum class TQueueVerdict { qvQueue, qvDrop, qvClose };
TQueueVerdict QueueVerdict(const TRelayServerOptions& AOptions, std::size_t AConnQueued, std::size_t ATotalQueued,
                           std::size_t ABytes, bool ADroppable);

struct TRelayServerStats {
  std::size_t Connections = 0;
  std::size_t QueuedBytes = 0;           // TCP output waiting, all connections
  std::uint64_t RefusedPerIP = 0;        // connections closed at once for the per-address limit
  std::uint64_t AcceptFailures = 0;      // accept calls that failed for lack of descriptors or memory
  bool AcceptPaused = false;             // new connections wait for the pause to end
};

class TRelayServer {
 public:
  TRelayServer(TRelayServerOptions AOptions, TRelayCore& ACore, std::function<void(std::string_view)> ALog);
  ~TRelayServer();
  TRelayServer(const TRelayServer&) = delete;
  TRelayServer& operator=(const TRelayServer&) = delete;

  // Binds the UDP socket (failure is fatal: false and AError) and the TCP listeners (a port that
  // cannot be bound is logged and skipped).
  bool Open(std::string& AError);
  std::uint16_t UdpPort() const { return FUdpPort; }
  const std::vector<std::uint16_t>& TcpPorts() const { return FBoundTcp; }

  // Serves until RequestStop.
  void Run();
  // One round: waits up to ATimeoutMs for events, handles them, runs the core's tick when due.
  void RunOnce(int ATimeoutMs);
  void RequestStop() { FStop.store(true); }
  std::size_t Connections() const;
  TRelayServerStats Stats() const;

 private:
  struct TImpl;
  std::unique_ptr<TImpl> FImpl;
  std::atomic<bool> FStop{false};
  std::uint16_t FUdpPort = 0;
  std::vector<std::uint16_t> FBoundTcp;
};

}  // namespace tovik
