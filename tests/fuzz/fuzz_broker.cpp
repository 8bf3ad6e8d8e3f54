// Desktop broker connection: any bytes from a client must not crash; every reply is one whole reply
// (5-byte header, length as stated, never over the limit); capture and input reach the display only
// after an allow on the connection, with an area that is empty or one of the display's monitors.
#include <cstdint>
#include <cstdlib>

#include "service/TovikBroker.h"

namespace {

using namespace tovik;

struct TDesk final : IBrokerDesktop {
  const bool* Allowed = nullptr;
  std::vector<TMonitorInfo> Mons{{"A", {0, 0, 640, 480}, true}, {"B", {640, 0, 800, 600}, false}};
  std::vector<TMonitorInfo> Monitors() override { return Mons; }
  void SetArea(const TRect& AArea) override {
    bool known = AArea.Empty();
    for (const auto& m : Mons) known = known || m.Rect == AArea;
    if (!known) std::abort();
  }
  TBytes CaptureUpdate(bool AFull) override {
    if (!*Allowed) std::abort();
    return TBytes(AFull ? 300 : 0, 7);
  }
  void InjectInput(const TInputEvent&) override {
    if (!*Allowed) std::abort();
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  TDesk desk;
  bool allowed = false;
  desk.Allowed = &allowed;
  TBrokerConnection conn(desk, nullptr);
  std::size_t pos = 0;
  while (conn.Want() > 0 && pos + conn.Want() <= size) {
    const std::size_t n = conn.Want();
    allowed = conn.Allowed();
    const TBytes reply = conn.Take(TByteView(data + pos, n));
    pos += n;
    allowed = conn.Allowed();
    if (reply.empty()) continue;
    if (reply.size() < kBrokerHeaderBytes || reply[0] > 1) std::abort();
    const TBrokerHeader h = DecodeBrokerHeader(reply.data());
    if (h.Length > kBrokerMaxPayload || h.Length != reply.size() - kBrokerHeaderBytes) std::abort();
    if (h.Kind == bsRefused && h.Length != 0) std::abort();
  }
  return 0;
}
