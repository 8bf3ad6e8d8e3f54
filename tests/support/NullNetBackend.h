// A network backend whose sockets go nowhere: for fuzz targets and benchmarks that drive a client's
// packet and line handlers directly.
#pragma once

#include <memory>
#include <string>

#include "net/TovikNet.h"

namespace tovik {

struct TNullUdp : IUdpSocket {
  bool Open(std::string&) override { return true; }
  std::uint16_t LocalPort() const override { return 50000; }
  bool SendTo(const std::string&, std::uint16_t, TByteView) override { return true; }
  void Close() override {}
};

struct TNullBackend : INetBackend {
  std::unique_ptr<IUdpSocket> CreateUdp(IRxSink&) override { return std::make_unique<TNullUdp>(); }
  std::unique_ptr<IRelayTcpLink> CreateTcp(IRxSink&, const std::string&, std::uint16_t, const std::string&,
                                           std::uint16_t) override {
    return nullptr;
  }
  bool Resolve(const std::string& h, std::string& ip, std::string&) override {
    ip = h;
    return true;
  }
  std::string LocalIPv4() override { return "192.168.1.10"; }
};

}  // namespace tovik
