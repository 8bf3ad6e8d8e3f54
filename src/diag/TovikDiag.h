// The connection test: step by step, how this PC reaches the relay (name lookup, UDP, each TCP
// fallback port), what kind of NAT is in front of it (two STUN servers), the update web site and the
// client's state, written as plain text lines for a report.
//
// The steps run over IDiagNet (blocking calls with time-outs, made on the test's own thread); the
// Linux backend uses POSIX sockets, tests use fakes. Time comes from the clock handed in. A relay
// answer counts as the relay only when its key signed this very hello (TRelayHello), and only
// datagrams from the address that was asked are judged.
//
// RunDiag runs on a worker thread; everything it calls is on that thread. Nothing here touches Qt.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/TovikBytes.h"
#include "base/TovikClock.h"

namespace tovik {

class TRelayHello;

struct TDiagSetup {
  std::string Host;
  std::uint16_t UdpPort = 0;
  std::vector<std::uint16_t> TcpPorts;
  std::string KeyHex;     // the pinned relay key, hexadecimal (may be empty)
  std::string Build;
  std::string System;     // the operating system's name and version
  std::string UpdateUrl;  // may be empty
  std::string State;      // one line: the client's state
  std::string LastLink;   // the last peer link, empty for none
  // The two STUN servers (host:port); the built-in ones unless the settings name others.
  std::string Stun1 = "stun.l.google.com:19302";
  std::string Stun2 = "stun.cloudflare.com:3478";
};

// A received datagram and where it came from.
struct TDiagDatagram {
  TBytes Data;
  std::string FromIP;
  std::uint16_t FromPort = 0;
};

class IDiagUdp {
 public:
  virtual ~IDiagUdp() = default;
  virtual bool SendTo(const std::string& ip, std::uint16_t port, TByteView data, std::string& error) = 0;
  // The next datagram within timeoutMs (at most maxBytes), else nullopt.
  virtual std::optional<TDiagDatagram> Receive(std::int64_t timeoutMs, std::size_t maxBytes) = 0;
};

class IDiagTcp {
 public:
  virtual ~IDiagTcp() = default;
  virtual bool SendAll(TByteView data, std::string& error) = 0;
  // Exactly count bytes within timeoutMs; false with error otherwise.
  virtual bool ReadExactly(std::size_t count, std::int64_t timeoutMs, TBytes& out, std::string& error) = 0;
};

// The network as the test sees it. One thread at a time (the test's).
class IDiagNet {
 public:
  virtual ~IDiagNet() = default;
  virtual std::vector<std::string> LocalAddresses() = 0;
  virtual bool Resolve(const std::string& host, std::string& ip, std::string& error) = 0;
  virtual std::unique_ptr<IDiagUdp> OpenUdp(std::string& error) = 0;
  virtual std::unique_ptr<IDiagTcp> ConnectTcp(const std::string& ip, std::uint16_t port, std::int64_t timeoutMs,
                                               std::string& error) = 0;
  // A HEAD request to an http:// or https:// address; the status code, or false with error.
  virtual bool HttpHead(const std::string& url, std::int64_t timeoutMs, int& status, std::string& error) = 0;
  // The backend of the system the program was built for (POSIX sockets on Linux); defined by the
  // platform library and called only by the program's entry.
  static std::unique_ptr<IDiagNet> Create();
};

// --- STUN (RFC 5389, IPv4) --------------------------------------------------------------------------

// Binding request with that 12-byte transaction ID.
TBytes StunRequest(TByteView transactionID);
// "a.b.c.d:port" from a binding success response with that transaction ID: XOR-MAPPED-ADDRESS wins over
// MAPPED-ADDRESS; IPv6 values are ignored; nullopt when nothing usable is in it.
std::optional<std::string> ParseStunResponse(TByteView data, TByteView transactionID);
// "host:port" -> host and port (3478 when the port is not a number).
void SplitStunServer(std::string_view entry, std::string& host, std::uint16_t& port);
// The "Result: ..." line for the two servers' answers.
std::string NatVerdict(const std::optional<std::string>& a, const std::optional<std::string>& b);

// The line for a relay's answer to hello, received ms after the send. "OK ..." only when the answer
// is a reply signed over this hello's transcript; then compared with the pinned key (keyHex).
std::string JudgeRelayAnswer(const TRelayHello& hello, TByteView answer, std::int64_t ms, std::string_view keyHex);

// Runs every step, handing each line to AddLine (an empty text is an empty line). Stops between steps
// when Stopped() says so.
void RunDiag(const TDiagSetup& setup, IDiagNet& net, const std::function<TTick()>& now,
             const std::function<bool()>& stopped, const std::function<void(const std::string&)>& addLine,
             const std::string& localTimeText);

}  // namespace tovik
