// TMainClientHost: the main window's network client and what comes with it, without Qt: the network
// backend (made by TPlatformServices::NetBackend, so a test hands in a fake one), the client on it, the
// seam that the window's logic sees (IMainClient) and the wiring of the client's events to that logic.
//
// The host does not run the client: the client is an ITimedObject, and the window hands it to its one
// driver (TQtTimedDriver) once it has started.
//
// Threads: GUI thread only.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "app/TovikMainLogic.h"
#include "app/TovikSettings.h"
#include "base/TovikClock.h"
#include "net/TovikNet.h"
#include "net/TovikSocket.h"

namespace tovik {

class TMainClientHost {
 public:
  // What the window does besides the logic when client events arrive; each may be empty.
  struct THooks {
    // After an event that changes what the window shows (the test probe writes its status file).
    std::function<void()> Changed;
    // After the logic took a new relay status (the window's status bar shows its result).
    std::function<void()> RelayStatus;
    // One log line of the client.
    std::function<void(const std::string&)> Log;
  };

  // Makes the client for ARelay on ABackend (which must not be null) with the TCP fallback ports of
  // TcpPortsText.
  TMainClientHost(std::unique_ptr<INetBackend> ABackend, const TRelayEndpoint& ARelay);
  // Detaches the events, then frees the client (which ends a live peer link with BYE and says BYE to
  // the relay) and the backend.
  ~TMainClientHost();
  TMainClientHost(const TMainClientHost&) = delete;
  TMainClientHost& operator=(const TMainClientHost&) = delete;

  TTovikClient& Client() { return *FClient; }
  const TTovikClient& Client() const { return *FClient; }
  IMainClient& Seam() { return *FSeam; }
  INetBackend& Backend() { return *FBackend; }

  // Gives the client the logic's unattended switch and wires its events to ALogic and AHooks. ALogic
  // must outlive the wiring (Unwire, or the host).
  void Wire(TMainLogic& ALogic, THooks AHooks);
  // Removes every event handler of the client (the session's OnData too).
  void Unwire();
  // Starts the client at ANow. False, with the reason in AError, when it cannot start.
  bool Start(TTick ANow, std::string& AError);

 private:
  std::unique_ptr<INetBackend> FBackend;
  std::unique_ptr<TTovikClient> FClient;
  std::unique_ptr<IMainClient> FSeam;
};

}  // namespace tovik
