// TRelayTcpLink: the TCP fallback link to the relay over a real TCP connection.
//
// The link runs its own thread: it connects (5000 ms time-out, Nagle off), then writes the outbox and
// reads framed datagrams, which it pushes to the owner's sink as if they came from the relay's UDP
// address. It never reconnects; the client notices Done and decides what comes next.
//
// Closing: destruction asks the thread to stop and joins it. A connected link first writes what is
// still in its outbox, in order (the client's last words: BYE to the partner, SESSION END, BYE to the
// relay), then half-closes and reads until the relay closes too, so that nothing written is lost to a
// reset; all of that within KTcpFlushMs (250 ms), after which the rest is dropped. A link that is
// still connecting stops within about 10 ms.
//
// Threads: Send/Connected/Done/Error/Port may be called from the owner's thread while the link thread
// runs. FLock guards the outbox only; the link thread never holds FLock while it pushes to the sink.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/TovikSocket.h"

namespace tovik {

// How long a closing link may spend writing what is left and waiting for the relay to close.
constexpr int KTcpFlushMs = 250;

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
  // Writes the whole frame; false when the link is stopping and its flush time is up.
  bool WriteAll(int AFd, TByteView AData);
  // After a stop: what is left in the outbox, then a graceful close.
  void Flush(int AFd);
  // Whether a stopping link has used up its flush time (which starts when the stop is first seen).
  bool FlushTimeUp();

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
  bool FFlushing = false;              // link thread only: the stop was seen, FFlushEnd is set
  std::chrono::steady_clock::time_point FFlushEnd;
  std::thread FThread;                 // started last
};

}  // namespace tovik
