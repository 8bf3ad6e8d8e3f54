// TRelayTcpLink: the TCP fallback link to the relay over a real TCP connection.
//
// The link runs its own thread: it connects (5000 ms time-out, Nagle off), then writes the outbox and
// reads framed datagrams, which it pushes to the owner's sink as if they came from the relay's UDP
// address. It never reconnects; the client notices Done and decides what comes next.
//
// Threads: Send/Connected/Done/Error/Port may be called from the owner's thread while the link thread
// runs. FLock guards the outbox only; the link thread never holds FLock while it pushes to the sink.
// Destruction asks the thread to stop and joins it (within about 10 ms, or the connection time-out).
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/TovikSocket.h"

namespace tovik {

class TRelayTcpLink final : public IRelayTcpLink {
 public:
  // Starts the thread at once. ASink must outlive the link.
  TRelayTcpLink(IRxSink& AOwner, std::string AHost, std::uint16_t APort, std::string AFromIP,
                std::uint16_t AFromPort);
  ~TRelayTcpLink() override;
  TRelayTcpLink(const TRelayTcpLink&) = delete;
  TRelayTcpLink& operator=(const TRelayTcpLink&) = delete;

  void Send(TByteView AData, bool ADroppable) override;
  bool Connected() const override { return FConnected.load(); }
  bool Done() const override { return FDone.load(); }
  std::string Error() const override;
  std::uint16_t Port() const override { return FPort; }

  // Bytes waiting in the outbox (for tests).
  std::size_t Queued() const;

 private:
  void Execute();
  void Run(int& AFd);

  IRxSink& FOwner;
  const std::string FHost;
  const std::uint16_t FPort;
  const std::string FFromIP;
  const std::uint16_t FFromPort;
  mutable std::mutex FLock;            // guards FOutbox, FQueued
  std::vector<TBytes> FOutbox;
  std::size_t FQueued = 0;
  std::atomic<bool> FConnected{false};
  std::atomic<bool> FDone{false};
  std::atomic<bool> FStop{false};
  mutable std::mutex FErrorLock;       // guards FError
  std::string FError;
  std::thread FThread;                 // started last
};

}  // namespace tovik
