// The desktop broker's server side, without I/O: one connection's requests turned into replies, and
// the check of who may connect.
//
// The agent (run mode "/agent") runs in the active session of seat0 with that session's X display. A
// user's interactive program on the same seat, whose own session is not the one shown (the display
// manager's greeter, a lock screen that switched to it, another user's session), connects to the
// agent's Unix socket and, after its session had consent, asks for tile updates of the shown display
// and injects input there.
//
// Threads: a TBrokerConnection belongs to the broker's serving thread; its desktop and log are called
// on that thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "base/TovikBytes.h"
#include "base/TovikInputEvent.h"
#include "media/TovikCapture.h"
#include "service/TovikBrokerWire.h"

namespace tovik {

using TBrokerLogFn = std::function<void(const std::string&)>;

// What the broker captures from and injects into: the display of the session the agent serves.
class IBrokerDesktop {
 public:
  virtual ~IBrokerDesktop() = default;
  // The display's monitors; a capture area must be empty or equal to one of them.
  virtual std::vector<TMonitorInfo> Monitors() = 0;
  // Called only when the area differs from the one in use (empty = the primary monitor).
  virtual void SetArea(const TRect& AArea) = 0;
  // A compressed screen update (the tile codec), or empty when nothing changed.
  virtual TBytes CaptureUpdate(bool AFull) = 0;
  virtual void InjectInput(const TInputEvent& AEvent) = 0;
  // The visible marker on the served display while a helped session is allowed on it.
  virtual void ShowHelpedMarker(bool AOn) { (void)AOn; }
};

// One client connection. The driver reads exactly Want() bytes, hands them to Take and writes what
// Take returns; when Want() is 0 the connection is over and the driver closes it. The header is
// checked (kind, exact length, limit) before a payload is read: a length over kBrokerMaxPayload closes
// the connection without a reply; an unknown kind or a wrong length gets a refusal and then closes,
// since the stream cannot be followed past a payload that is not read.
class TBrokerConnection {
 public:
  // ADesktop and ALog must outlive the connection.
  TBrokerConnection(IBrokerDesktop& ADesktop, TBrokerLogFn ALog);
  ~TBrokerConnection();
  TBrokerConnection(const TBrokerConnection&) = delete;
  TBrokerConnection& operator=(const TBrokerConnection&) = delete;

  std::size_t Want() const { return FWant; }
  // ABytes: exactly Want() bytes. Returns one whole reply, or nothing while a payload is still due.
  TBytes Take(TByteView ABytes);
  bool Allowed() const { return FAllowed; }
  // Ends the connection (the client went away): the allowance ends with it.
  void Close();

 private:
  TBytes Handle(std::uint8_t AKind, TByteView APayload);
  TBytes Refuse(const std::string& AReason);
  bool AreaAcceptable(const std::optional<TRect>& AArea, const char* AWhat, std::string& AReason);
  void SetAllowed(bool AOn);

  IBrokerDesktop& FDesktop;
  TBrokerLogFn FLog;
  std::size_t FWant = kBrokerHeaderBytes;
  TBrokerHeader FHeader;
  bool FInPayload = false;
  bool FAllowed = false;
  bool FAreaSet = false;
  TRect FArea;
};

// What the broker learnt about a connecting peer (the socket's credentials and, through a pidfd, the
// program it runs).
struct TBrokerPeer {
  int CredError = 0;    // errno of reading the credentials; 0 = read
  long Pid = 0;
  std::uint32_t Uid = 0;
  int ExeError = 0;     // errno of reading the program through the pidfd; 0 = read
  std::string Exe;      // the program's path
};

// Who may connect to one socket of the broker.
struct TBrokerPolicy {
  std::uint32_t SocketUid = 0;             // the user the socket is for
  std::vector<std::uint32_t> SeatUids;     // the owners of the sessions on seat0
  std::string Program;                     // the broker's own program file
};

// Empty when the peer may be served; otherwise the reason for the log line
// "Desktop broker rejected a client: " + reason.
std::string BrokerClientRejection(const TBrokerPeer& APeer, const TBrokerPolicy& APolicy);

}  // namespace tovik
