#include "session/TovikUnattended.h"

namespace tovik {

void TPasswordThrottle::Failed(TTick ANow) {
  ++FFails;
  if (FFails < kFreeTries) return;
  TTick pause = kFirstPauseMs;
  for (int i = kFreeTries; i < FFails && pause < kMaxPauseMs; ++i) pause *= 2;
  if (pause > kMaxPauseMs) pause = kMaxPauseMs;
  FUntil = ANow + pause;
}

TBytes MakePasswordResult(TPasswordVerdict AVerdict, std::uint32_t AWaitSeconds) {
  TBytes b{static_cast<std::uint8_t>(AVerdict)};
  PutU32LE(b, AWaitSeconds);
  return b;
}

std::optional<TPasswordResult> ParsePasswordResult(TByteView ABody) {
  if (ABody.size() != 5 || ABody[0] > pvPaused) return std::nullopt;
  return TPasswordResult{static_cast<TPasswordVerdict>(ABody[0]), GetU32LE(ABody.data() + 1)};
}

}  // namespace tovik
