#include "session/TovikSessionRate.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace tovik {

TRateState InitialRate(TTick ANow) {
  TRateState s;
  s.F60 = true;
  s.FFrameGapMs = 14;
  s.F60Since = ANow;
  s.FRetryDelayMs = 6000;
  return s;
}

TRateStep SetRate(const TRateState& AState, bool AIs60, const std::string& AWhy, TTick ANow) {
  TRateStep r{AState, true, {}};
  TRateState& s = r.Next;
  s.F60 = AIs60;
  s.FBad60 = 0;
  s.FGood30 = 0;
  if (AIs60) {
    s.FFrameGapMs = 14;
    s.F60Since = ANow;
  } else {
    s.FFrameGapMs = 30;
  }
  char buf[64];
  std::snprintf(buf, sizeof buf, "frame rate now %d a second (", AIs60 ? 60 : 30);
  r.Log = buf + AWhy + ")";
  return r;
}

TRateStep RateStats(const TRateState& AState, TTick ANow) {
  TRateStep r{AState, false, {}};
  TRateState& s = r.Next;
  if (s.FStatStart == 0) {
    s.FStatStart = ANow;
    return r;
  }
  if (ANow < s.FStatStart + 2000) return r;
  const TTick elapsed = ANow - s.FStatStart;
  const double blocked = s.FStatWanted > 0 ? double(s.FStatBlocked) / s.FStatWanted : 0.0;
  const double encode = s.FStatCaptures > 0 ? double(s.FStatEncodeMs) / s.FStatCaptures : 0.0;
  const double grab = s.FStatCaptures > 0 ? double(s.FStatGrabMs) / s.FStatCaptures : 0.0;
  char buf[256];
  std::snprintf(buf, sizeof buf,
                "%d frames confirmed in %d ms, %d%% of due captures found no room, capture + encode "
                "%.1f ms (screen grab %.1f ms)",
                s.FStatAcked, static_cast<int>(elapsed), static_cast<int>(std::lround(blocked * 100)),
                encode, grab);
  s.FRateWhy = buf;

  if (s.FStatCaptures >= 20 && s.F60) {
    if (blocked > 0.25 || encode > 13.0)
      ++s.FBad60;
    else
      s.FBad60 = 0;
    if (s.FBad60 >= 2) {
      const std::uint32_t delay = s.FRetryDelayMs;
      TRateStep d = SetRate(s, false, s.FRateWhy, ANow);
      r.Changed = true;
      r.Log = d.Log;
      s = d.Next;
      s.FRetry60At = ANow + delay;
      s.FRetryDelayMs = std::min<std::uint32_t>(delay * 2, 30000);
    } else if (ANow - s.F60Since > 30000) {
      s.FRetryDelayMs = 6000;
    }
  } else if (s.FStatCaptures >= 20 && !s.F60) {
    if (blocked < 0.05 && encode < 11.0 && ANow >= s.FRetry60At)
      ++s.FGood30;
    else
      s.FGood30 = 0;
    if (s.FGood30 >= 2) {
      TRateStep u = SetRate(s, true, s.FRateWhy, ANow);
      r.Changed = true;
      r.Log = u.Log;
      s = u.Next;
    }
  }
  s.FStatStart = ANow;
  s.FStatAcked = s.FStatWanted = s.FStatBlocked = s.FStatCaptures = 0;
  s.FStatEncodeMs = s.FStatGrabMs = 0;
  return r;
}

TTick CaptureAllowedAt(const TCaptureBucket& ABucket, std::uint32_t AGapMs) {
  const TTick ahead = TTick{AGapMs} * (kCaptureBurst - 1);
  return ABucket.FNextAt > ahead ? ABucket.FNextAt - ahead : 0;
}

void CaptureStarted(TCaptureBucket& ABucket, TTick ANow, std::uint32_t AGapMs) {
  ABucket.FNextAt = std::max(ABucket.FNextAt, ANow) + AGapMs;
}

std::uint32_t H264BitrateKbps(int AWidth, int AHeight, bool AIs60) {
  const double px = double(AWidth) * double(AHeight);
  const double kbps = AIs60 ? px * 60 * 0.08 / 1000 : px * 30 * 0.12 / 1000;
  return static_cast<std::uint32_t>(std::clamp<long>(std::lround(kbps), 2000, 20000));
}

}  // namespace tovik
