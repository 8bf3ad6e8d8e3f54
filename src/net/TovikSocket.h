// Sockets of the network client, behind small interfaces.
//
// The client (TTovikClient) never opens a socket itself: it asks an INetBackend for one UDP socket and,
// when UDP to the relay does not get through, for TCP fallback links. The program uses the POSIX backend
// (platform/linux/TovikSocket_posix.cpp, through INetBackend::Create()); tests use the network simulator
// in tests/sim.
//
// Threads: received datagrams are handed to an IRxSink, which may be called from any thread (the UDP
// listener thread, a TCP link thread, or the simulator's thread). Everything else is called on the
// client's thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <utility>

#include "base/TovikBytes.h"

namespace tovik {

// One received datagram with its sender.
struct TRxPacket {
  TBytes Data;
  std::string IP;      // sender's IPv4 address as dotted text
  std::uint16_t Port = 0;
};

// Where received datagrams go. Push may be called from any thread and must not block for long.
class IRxSink {
 public:
  virtual ~IRxSink() = default;
  virtual void PushRx(TRxPacket&& APacket) = 0;
  // Several datagrams received together, in order; the sink may take them from the span (moved-from
  // entries are left behind). Same rules as PushRx; by default one PushRx each.
  virtual void PushRxBatch(std::span<TRxPacket> APackets) {
    for (TRxPacket& p : APackets) PushRx(std::move(p));
  }
};

// One IPv4 UDP socket bound to 0.0.0.0 and a port the system picks. Received datagrams go to the sink
// given at creation, on whatever thread the backend receives them.
class IUdpSocket {
 public:
  virtual ~IUdpSocket() = default;
  // Binds and starts receiving. False and a message in AError when that fails.
  virtual bool Open(std::string& AError) = 0;
  // The bound local port (0 before Open).
  virtual std::uint16_t LocalPort() const = 0;
  // Sends one datagram; false when the system refused it (the datagram is lost, as with any UDP send).
  virtual bool SendTo(const std::string& AIP, std::uint16_t APort, TByteView AData) = 0;
  // Sends several datagrams to one address, in order: how many of them the system took. A datagram
  // it refuses is lost and the rest still go; by default one SendTo each.
  virtual std::size_t SendBatch(const std::string& AIP, std::uint16_t APort, std::span<const TByteView> AData) {
    std::size_t sent = 0;
    for (TByteView d : AData) sent += SendTo(AIP, APort, d) ? 1 : 0;
    return sent;
  }
  // Stops receiving and closes. No PushRx happens after Close returns.
  virtual void Close() = 0;
  // Receive buffer asked for and granted (bytes of data, as the system reports it after Open; 0 when
  // unknown), and whether it was forced past the system's limit for unprivileged processes.
  struct TRecvBuffer {
    int Asked = 0;
    int Granted = 0;
    bool Forced = false;
  };
  virtual TRecvBuffer RecvBuffer() const { return {}; }
};

// The TCP fallback link to the relay: carries the same datagrams as UDP, each framed with a 16-bit
// big-endian length (AppendFramed/TFrameDecoder of net/TovikWire.h). Received datagrams go to the sink marked as coming from the relay's UDP address.
// Send, Connected, Done, Error and Port are called on the client's thread.
class IRelayTcpLink {
 public:
  virtual ~IRelayTcpLink() = default;
  // Queues one datagram; empty ones and ones over 65535 bytes are ignored. A droppable datagram is
  // discarded when the outbox would grow over KTcpOutboxLimit bytes.
  virtual void Send(TByteView AData, bool ADroppable) = 0;
  virtual bool Connected() const = 0;
  virtual bool Done() const = 0;
  virtual std::string Error() const = 0;
  virtual std::uint16_t Port() const = 0;
};

constexpr std::size_t KTcpOutboxLimit = 2 * 1024 * 1024;

// Creates the client's sockets and resolves names. The backend must outlive every object it creates.
class INetBackend {
 public:
  virtual ~INetBackend() = default;
  virtual std::unique_ptr<IUdpSocket> CreateUdp(IRxSink& ASink) = 0;
  // Starts connecting at once; received datagrams are pushed as (AFromIP, AFromPort).
  virtual std::unique_ptr<IRelayTcpLink> CreateTcp(IRxSink& ASink, const std::string& AHost,
                                                   std::uint16_t APort, const std::string& AFromIP,
                                                   std::uint16_t AFromPort) = 0;
  // Resolves a host name to one IPv4 address as dotted text. False and a message when that fails.
  virtual bool Resolve(const std::string& AHost, std::string& AIP, std::string& AError) = 0;
  // This PC's LAN address: the first local IPv4 address that is not 127.0.0.1, else "0.0.0.0".
  virtual std::string LocalIPv4() = 0;

  // The operating system's sockets (POSIX on Linux: a UDP socket with a listener thread, the TCP
  // fallback link with its own thread, getaddrinfo, getifaddrs). Defined by the platform library;
  // only composition roots call it.
  static std::unique_ptr<INetBackend> Create();
};

}  // namespace tovik
