#include "net/TovikSocket.h"

namespace tovik {

TBytes FrameTcpDatagram(TByteView AData) {
  TBytes out;
  if (AData.empty() || AData.size() > 65535) return out;
  out.reserve(AData.size() + 2);
  PutU16BE(out, static_cast<std::uint16_t>(AData.size()));
  out.insert(out.end(), AData.begin(), AData.end());
  return out;
}

void TTcpDeframer::Feed(TByteView AData) {
  // Compact once the consumed part dominates, so the buffer does not grow without bound.
  if (FPos > 0 && FPos >= FBuf.size() / 2) {
    FBuf.erase(FBuf.begin(), FBuf.begin() + static_cast<std::ptrdiff_t>(FPos));
    FPos = 0;
  }
  FBuf.insert(FBuf.end(), AData.begin(), AData.end());
}

bool TTcpDeframer::Next(TBytes& ADatagram, bool& ABad) {
  ABad = FBad;
  if (FBad) return false;
  if (Buffered() < 2) return false;
  const std::size_t len = GetU16BE(FBuf.data() + FPos);
  if (len == 0) {
    FBad = true;
    ABad = true;
    return false;
  }
  if (Buffered() < len + 2) return false;
  const auto* p = FBuf.data() + FPos + 2;
  ADatagram.assign(p, p + len);
  FPos += len + 2;
  if (FPos == FBuf.size()) {
    FBuf.clear();
    FPos = 0;
  }
  return true;
}

}  // namespace tovik
