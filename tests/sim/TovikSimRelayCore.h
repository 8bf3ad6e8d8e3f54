// The relay's real protocol core (TRelayCore) running on a simulated host: UDP on one port, the TCP
// fallback on the given ports, its tick every 250 ms of virtual time.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "TovikRelayCore.h"
#include "TovikRelayStore.h"
#include "sim/TovikSim.h"

namespace tovik::sim {

class TSimRelayCore {
 public:
  TSimRelayCore(TSimNet& ANet, TSimHost& AHost, std::uint16_t AUdpPort, std::vector<std::uint16_t> ATcpPorts,
                TRelayConfig AConfig = {});
  ~TSimRelayCore();
  TSimRelayCore(const TSimRelayCore&) = delete;
  TSimRelayCore& operator=(const TSimRelayCore&) = delete;

  TRelayCore& Core() { return *FCore; }
  const TBytes& SigningKey() const { return FKey.Public(); }
  std::vector<std::string> Logs;
  bool Silent = false;  // drop everything received (the relay is unreachable)

 private:
  void Flush();
  TSimNet& FNet;
  TSimHost& FHost;
  std::uint16_t FUdpPort;
  TMemoryRelayStore FStore;
  TEcdsaKey FKey;
  std::unique_ptr<TRelayCore> FCore;
  TRelayOutput FOut;
  std::map<std::uint64_t, std::shared_ptr<TSimTcpConn>> FConns;
  std::uint64_t FNextConn = 1;
  int FPoller = 0;
  TTick FLastTick = 0;
};

}  // namespace tovik::sim
