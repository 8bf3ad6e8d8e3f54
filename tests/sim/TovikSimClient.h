// A PC in the simulator: a TTovikClient on a simulated host, run by the simulator's driver at the
// client's own deadlines (it is one of the simulation's timed objects), with everything its events
// reported recorded for assertions.
#pragma once

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "net/TovikNet.h"
#include "sim/TovikSim.h"

namespace tovik::sim {

class TSimPC {
 public:
  TSimPC(TSimNet& ANet, TSimHost& AHost, const std::string& ARelayHost, std::uint16_t ARelayPort,
         const std::string& AKeyHex = "")
      : FNet(ANet), Host(AHost) {
    Client = std::make_unique<TTovikClient>(AHost.Backend(), ARelayHost, ARelayPort, AKeyHex);
    auto& c = *Client;
    c.OnLog = [this](const std::string& s) { Logs.push_back(s); };
    c.OnID = [this] { ++IDs; };
    c.OnConnected = [this] { ++Connected; };
    c.OnDisconnected = [this] { ++Disconnected; };
    c.OnFailed = [this](const std::string& s) { Failed.push_back(s); };
    c.OnMessage = [this](const std::string& s) { Messages.push_back(s); };
    c.OnData = [this](TByteView d) { Data.emplace_back(d.begin(), d.end()); };
    c.OnRelayKeyPinned = [this](const std::string& s) { Pinned.push_back(s); };
    c.OnRelayStatus = [this](const std::string& s) { Status.push_back(s); };
    c.OnPin = [this](bool ok, const std::string& s) { Pins.push_back((ok ? "OK " : "FAIL ") + s); };
    c.OnBook = [this](const std::string& s) { Book.push_back(s); };
    c.OnReply = [this](const std::string& s) { Reply.push_back(s); };
    c.OnBrand = [this](const std::string& s) { Brand.push_back(s); };
    FNet.AddTimed(c);
  }
  ~TSimPC() { Close(); }
  // Starts the client at the simulation's now.
  void Start() { Client->Start(FNet.Now()); }
  // Destroys the client now (BYE to the relay and the partner), as closing the program does.
  void Close() {
    if (!Client) return;
    FNet.RemoveTimed(*Client);
    Client.reset();
  }
  bool Logged(const std::string& AText) const {
    return std::find(Logs.begin(), Logs.end(), AText) != Logs.end();
  }
  bool LoggedPrefix(const std::string& APrefix) const {
    return std::any_of(Logs.begin(), Logs.end(), [&](const std::string& s) { return s.rfind(APrefix, 0) == 0; });
  }
  TTovikClient& C() { return *Client; }

  TSimNet& FNet;
  TSimHost& Host;
  std::unique_ptr<TTovikClient> Client;
  std::vector<std::string> Logs, Failed, Messages, Pinned, Status, Pins, Book, Reply, Brand;
  std::vector<TBytes> Data;
  int IDs = 0, Connected = 0, Disconnected = 0;
};

}  // namespace tovik::sim
