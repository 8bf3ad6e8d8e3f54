// Portable half of input injection: coordinate mapping, wheel notches and which keys are known.
#include "media/TovikInput.h"

#include <algorithm>
#include <climits>
#include <cstdlib>

namespace tovik {

int MulDiv(int a, int b, int c) {
  if (c == 0) return -1;
  const std::int64_t n = static_cast<std::int64_t>(a) * b;
  const bool neg = (n < 0) != (c < 0);
  const std::uint64_t an = static_cast<std::uint64_t>(n < 0 ? -n : n);
  const std::uint64_t ac = static_cast<std::uint64_t>(c < 0 ? -static_cast<std::int64_t>(c) : c);
  const std::uint64_t r = (an + ac / 2) / ac;
  if (r > static_cast<std::uint64_t>(INT_MAX)) return -1;
  return neg ? -static_cast<int>(r) : static_cast<int>(r);
}

TAbsolutePoint AbsoluteInputPoint(int AX, int AY, const TRect& AArea, const TRect& APrimary,
                                  const TRect& AVirtual) {
  TAbsolutePoint p;
  if (AArea.Empty()) {
    p.Dx = MulDiv(AX, 65535, APrimary.Width - 1);
    p.Dy = MulDiv(AY, 65535, APrimary.Height - 1);
  } else {
    p.Dx = MulDiv(AX + AArea.Left - AVirtual.Left, 65535, AVirtual.Width - 1);
    p.Dy = MulDiv(AY + AArea.Top - AVirtual.Top, 65535, AVirtual.Height - 1);
    p.VirtualDesk = true;
  }
  return p;
}

TPoint ScreenPointOf(int AX, int AY, const TRect& AArea, const TRect& APrimary, const TRect& AVirtual) {
  const TRect& base = AArea.Empty() ? APrimary : AArea;
  TPoint p{base.Left + AX, base.Top + AY};
  if (!AVirtual.Empty()) {
    p.X = std::clamp(p.X, AVirtual.Left, AVirtual.Right() - 1);
    p.Y = std::clamp(p.Y, AVirtual.Top, AVirtual.Bottom() - 1);
  }
  return p;
}

namespace {
// A hostile wheel delta must not turn into millions of clicks.
constexpr int kMaxNotchesPerEvent = 100;
}  // namespace

std::vector<TSynthAction> TInputMapper::Map(const TInputEvent& AIn, const TRect& AArea, const TRect& APrimary,
                                            const TRect& AVirtual) {
  std::vector<TSynthAction> out;
  // The data field by kind: button number, wheel delta or virtual key.
  const int button = AIn.Data;
  const int wheelDelta = AIn.Data;
  const auto virtualKey = static_cast<std::uint16_t>(AIn.Data & 0xFFFF);
  switch (AIn.Kind) {
    case ikMove:
    case ikButtonDown:
    case ikButtonUp:
    case ikWheel: {
      const TPoint p = ScreenPointOf(AIn.X, AIn.Y, AArea, APrimary, AVirtual);
      TSynthAction move;
      move.Kind = TSynthAction::saMove;
      move.X = p.X;
      move.Y = p.Y;
      out.push_back(move);
      if (AIn.Kind == ikButtonDown || AIn.Kind == ikButtonUp) {
        static constexpr int kXButton[3] = {1, 3, 2};
        if (button >= 0 && button <= 2) {
          TSynthAction b;
          b.Kind = TSynthAction::saButton;
          b.Button = kXButton[button];
          b.Down = AIn.Kind == ikButtonDown;
          out.push_back(b);
        }
      } else if (AIn.Kind == ikWheel && wheelDelta != 0) {
        // Deltas below a notch are kept until they add up; a change of direction drops the rest.
        if ((FWheelRest > 0 && wheelDelta < 0) || (FWheelRest < 0 && wheelDelta > 0)) FWheelRest = 0;
        const std::int64_t sum = static_cast<std::int64_t>(FWheelRest) + wheelDelta;
        const std::int64_t notches = sum / 120;
        FWheelRest = static_cast<int>(sum - notches * 120);
        const int clicks = static_cast<int>(std::min<std::int64_t>(std::llabs(notches), kMaxNotchesPerEvent));
        for (int i = 0; i < clicks; ++i)
          for (bool down : {true, false}) {
            TSynthAction b;
            b.Kind = TSynthAction::saButton;
            b.Button = notches > 0 ? 4 : 5;
            b.Down = down;
            out.push_back(b);
          }
      }
      break;
    }
    case ikKeyDown:
    case ikKeyUp: {
      TSynthAction k;
      k.Kind = TSynthAction::saKey;
      k.VirtualKey = virtualKey;
      k.Down = AIn.Kind == ikKeyDown;
      if (FindVirtualKey(virtualKey)) out.push_back(k);
      break;
    }
    default:
      break;
  }
  return out;
}

}  // namespace tovik
