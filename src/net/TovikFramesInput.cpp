// Input transport: numbered input events from the viewer, applied once and in order on the host.
#include "net/TovikFrames.h"

#include <algorithm>

namespace tovik {

void PutInputEvent(TBytes& to, const TInputEvent& ev) {
  PutU32LE(to, ev.Seq);
  to.push_back(ev.Kind);
  PutU16LE(to, static_cast<std::uint16_t>(ev.X));
  PutU16LE(to, static_cast<std::uint16_t>(ev.Y));
  PutU32LE(to, static_cast<std::uint32_t>(ev.Data));
}

TInputEvent GetInputEvent(const std::uint8_t* p) {
  TInputEvent ev;
  ev.Seq = GetU32LE(p);
  ev.Kind = p[4];
  ev.X = static_cast<std::int16_t>(GetU16LE(p + 5));
  ev.Y = static_cast<std::int16_t>(GetU16LE(p + 7));
  ev.Data = static_cast<std::int32_t>(GetU32LE(p + 9));
  return ev;
}

void TInputSender::Add(std::uint8_t aKind, std::int16_t aX, std::int16_t aY, std::int32_t aData) {
  FPending.push_back(TInputEvent{FNextSeq++, aKind, aX, aY, aData});
}

TBytes TInputSender::Packet() const {
  TBytes out;
  if (FPending.empty()) return out;
  const std::size_t count = std::min(FPending.size(), kMaxInputEvents);
  out.reserve(2 + kInputEventSize * count);
  out.push_back(pkInput);
  out.push_back(static_cast<std::uint8_t>(count));
  for (std::size_t i = 0; i < count; ++i) PutInputEvent(out, FPending[i]);
  return out;
}

void TInputSender::HandleAck(TByteView data) {
  if (data.size() <= 4 || data[0] != pkInputAck) return;
  const std::uint32_t acked = GetU32LE(data.data() + 1);
  while (!FPending.empty() && FPending.front().Seq <= acked) FPending.pop_front();
}

TBytes TInputReceiver::HandleInput(TByteView data, const TInputApplyProc& aApply) {
  if (data.size() < 2 || data[0] != pkInput) return {};
  const std::size_t count = data[1];
  if (count > kMaxInputEvents || data.size() != 2 + kInputEventSize * count) return {};
  for (std::size_t i = 0; i < count; ++i) {
    const TInputEvent ev = GetInputEvent(data.data() + 2 + kInputEventSize * i);
    if (ev.Seq != FApplied + 1) continue;  // already applied, or beyond a gap
    if (aApply && !aApply(ev)) break;      // not taken now: the sender repeats it
    FApplied = ev.Seq;
  }
  TBytes out{pkInputAck};
  PutU32LE(out, FApplied);
  return out;
}

}  // namespace tovik
