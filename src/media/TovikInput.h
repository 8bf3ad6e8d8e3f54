// Input injection: the helper's pointer and keyboard events applied on the helped PC.
//
// Positions arrive in pixels of the captured picture and are mapped onto the monitor being captured
// through CaptureArea (TovikCapture.h). Keys arrive as Windows virtual-key codes (media/TovikKeys.h);
// only the backend turns them into keys of its window system and the current layout.
//
// IInputInjector::Create() is defined by the platform library (XTest on Linux).
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "base/TovikInputEvent.h"
#include "media/TovikCapture.h"
#include "media/TovikKeys.h"

namespace tovik {

// Windows MulDiv: a * b / c computed in 64 bits and rounded half away from zero; -1 when c is 0.
int MulDiv(int a, int b, int c);

// The 0..65535 absolute pointer position of the system's input service. AArea empty: absolute on
// the primary monitor of size APrimary; otherwise absolute on the whole virtual desktop AVirtual.
struct TAbsolutePoint {
  int Dx = 0;
  int Dy = 0;
  bool VirtualDesk = false;
  bool operator==(const TAbsolutePoint&) const = default;
};
TAbsolutePoint AbsoluteInputPoint(int AX, int AY, const TRect& AArea, const TRect& APrimary, const TRect& AVirtual);

// Desktop (root window) pixel of a picture pixel: offset by the area's origin (or the primary
// monitor's when AArea is empty) and clamped to the virtual desktop.
TPoint ScreenPointOf(int AX, int AY, const TRect& AArea, const TRect& APrimary, const TRect& AVirtual);

// One step for the backend to perform.
struct TSynthAction {
  enum TKind { saMove, saButton, saKey } Kind = saMove;
  int X = 0;                // saMove: desktop pixels
  int Y = 0;
  int Button = 0;           // saButton: X button 1..5
  bool Down = false;        // saButton, saKey
  std::uint16_t VirtualKey = 0; // saKey: a code of the key list (FindVirtualKey)
  bool operator==(const TSynthAction&) const = default;
};

// Turns inputs into backend steps. Keeps the wheel's partial deltas between calls. One owner.
class TInputMapper {
 public:
  // AInput.Data is decoded by kind: the button (0 left, 1 right, 2 middle; others make a plain move),
  // the wheel delta (120 = one notch away from the user) or the virtual key (low 16 bits; keys outside
  // the key list are dropped). Other kinds give no step.
  // AArea: CaptureArea(); APrimary: primary monitor; AVirtual: the whole desktop.
  std::vector<TSynthAction> Map(const TInputEvent& AInput, const TRect& AArea, const TRect& APrimary,
                                const TRect& AVirtual);

 private:
  int FWheelRest = 0; // delta not yet turned into a notch
};

// Applies inputs to the desktop. Thread: the thread that owns the capturer of this process.
class IInputInjector {
 public:
  virtual ~IInputInjector() = default;
  // Applies one input as it came from the wire (see TInputMapper::Map); failures are silent. The
  // backend may keep it in its buffer until Flush.
  virtual void InjectInput(const TInputEvent& AInput) = 0;
  // Ends a batch: hands what InjectInput buffered to the window system and waits until it has been
  // applied (one round trip for the whole batch), and forgets what the backend learnt during the batch
  // (OwnWindowHasFocus keeps its answer until the next Flush).
  virtual void Flush() {}
  // True when a pointer event at picture point (AX, AY) would land on one of this program's own
  // windows (PointOnOwnWindow of base/TovikOwnWindows.h), the point mapped exactly as InjectInput
  // maps it.
  virtual bool IsOwnWindowAt(int AX, int AY) = 0;
  // True when a key injected now would reach one of this program's own windows (it has the keyboard
  // focus, or the focus follows the pointer and the pointer is on one). True as well when the
  // backend cannot tell.
  virtual bool OwnWindowHasFocus() = 0;
  // nullptr when no backend can inject on this desktop.
  static std::unique_ptr<IInputInjector> Create();
};

}  // namespace tovik
