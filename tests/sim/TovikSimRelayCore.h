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

class TSimRelayCore final : public ITimedObject {
 public:
  TSimRelayCore(TSimNet& ANet, TSimHost& AHost, std::uint16_t AUdpPort, std::vector<std::uint16_t> ATcpPorts,
                TRelayConfig AConfig = {});
  ~TSimRelayCore() override;
  TSimRelayCore(const TSimRelayCore&) = delete;
  TSimRelayCore& operator=(const TSimRelayCore&) = delete;

  TRelayCore& Core() { return *FCore; }
  const TBytes& SigningKey() const { return FKey.Public(); }
  std::vector<std::string> Logs;
  bool Silent = false;  // drop everything received (the relay is unreachable)

  // ITimedObject: the core's tick every 250 ms (a timed object of the simulation).
  TTick NextDeadline() const override { return FTick.Due(); }
  void HandleTimeout(TTick ANow) override;

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
  TPeriodicTick FTick{250};
};

}  // namespace tovik::sim
