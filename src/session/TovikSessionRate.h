// The host's frame-rate adaptation, as a pure step over a plain state record.
//
// The host captures at 60 pictures a second (a 14 ms minimum gap) or 30 (30 ms). Every capture tick
// it feeds the statistics of the current window into RateStats; a window lasts at least 2000 ms.
// Two bad windows in a row at 60 (more than 25 % of due captures found the send window full, or
// capture + encode above 13 ms) drop to 30 and forbid 60 for a back-off that starts at 6 s and
// doubles up to 30 s; two good windows at 30 after the back-off (under 5 % blocked, under 11 ms)
// rise to 60 again. Windows with fewer than 20 pictures change nothing.
#pragma once

#include <cstdint>
#include <string>

#include "base/TovikClock.h"

namespace tovik {

struct TRateState {
  bool F60 = true;
  std::uint32_t FFrameGapMs = 14;
  TTick F60Since = 0;
  TTick FRetry60At = 0;
  std::uint32_t FRetryDelayMs = 6000;
  int FBad60 = 0;
  int FGood30 = 0;
  std::string FRateWhy;
  // The statistics window.
  TTick FStatStart = 0;  // 0 = none yet
  int FStatAcked = 0;
  int FStatWanted = 0;
  int FStatBlocked = 0;
  int FStatCaptures = 0;
  std::uint32_t FStatEncodeMs = 0;
  std::uint32_t FStatGrabMs = 0;
};

// A session's starting state: 60 a second since ANow.
TRateState InitialRate(TTick ANow);

struct TRateStep {
  TRateState Next;
  bool Changed = false;  // the rate flipped: the encoder must be rebuilt
  std::string Log;       // "frame rate now ..." when Changed
};

// One capture tick's statistics step. Pure: the result depends only on the arguments.
TRateStep RateStats(const TRateState& AState, TTick ANow);

// Switches the rate by hand (also used by RateStats). Pure.
TRateStep SetRate(const TRateState& AState, bool AIs60, const std::string& AWhy, TTick ANow);

// The pacing of captures within the frame rate, as a virtual schedule: every capture moves FNextAt
// one frame gap on from where it was (or from the capture, when that is later), and a capture may
// start once FNextAt is at most kCaptureBurst - 1 gaps ahead. A change after a quiet spell is so
// grabbed at once, and so is one more right after it (a change that came while the first was
// grabbed), while a steady stream of changes (scrolling, video) keeps to one capture per gap on
// average.
inline constexpr int kCaptureBurst = 2;

struct TCaptureBucket {
  TTick FNextAt = 0;  // 0 = no capture yet
};

// The earliest tick at which a capture may start (0 when at once).
TTick CaptureAllowedAt(const TCaptureBucket& ABucket, std::uint32_t AGapMs);
// Counts a capture started at ANow.
void CaptureStarted(TCaptureBucket& ABucket, TTick ANow, std::uint32_t AGapMs);

// H.264 bit rate in kbit/s for a picture at the given rate, clamped to 2000..20000.
std::uint32_t H264BitrateKbps(int AWidth, int AHeight, bool AIs60);

}  // namespace tovik
