// TRelayServer: runs a TRelayCore on real sockets with one epoll loop: one UDP socket (batched
// with recvmmsg/sendmmsg) and up to four TCP listeners with non-blocking connections that carry
// the same datagrams with a 2-byte big-endian length in front of each.
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
  std::size_t DroppableOutBytes = 2u << 20;   // above this, relayed packets to a connection are dropped
  std::size_t MaxOutBytes = 8u << 20;         // above this, the connection is closed
  TTick ConnIdleMs = 90'000;                  // a connection without any data for this long is closed
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

 private:
  struct TImpl;
  std::unique_ptr<TImpl> FImpl;
  std::atomic<bool> FStop{false};
  std::uint16_t FUdpPort = 0;
  std::vector<std::uint16_t> FBoundTcp;
};

}  // namespace tovik
