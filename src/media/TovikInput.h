// Input injection: the helper's pointer and keyboard events applied on the helped PC.
//
// Positions arrive in pixels of the captured picture and are mapped onto the monitor being captured
// through CaptureArea (TovikCapture.h). Keys arrive as Windows virtual-key codes and are mapped to
// X keysyms here (portable), then to keycodes of the current layout by the backend.
//
// IInputInjector::Create() is defined by the platform library (XTest on Linux).
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "media/TovikCapture.h"

namespace tovik {

// Event kinds as they travel on the wire.
enum TInputKind : std::uint8_t {
  ikMove = 1,
  ikButtonDown = 2,
  ikButtonUp = 3,
  ikWheel = 4,
  ikKeyDown = 5,
  ikKeyUp = 6,
};

// Flag: the key is the extended variant (right Ctrl/Alt for the generic codes, keypad Enter).
constexpr std::uint32_t kInputExtended = 1;

// One input to inject, in plain values.
struct TInjectInput {
  std::uint8_t Kind = 0;     // TInputKind; other values are ignored
  int X = 0;                 // picture pixels (kinds 1 to 4)
  int Y = 0;
  int Button = -1;           // 0 left, 1 right, 2 middle (kinds 2, 3); others make a plain move
  int WheelDelta = 0;        // kind 4; 120 = one notch away from the user
  std::uint16_t VirtualKey = 0; // kinds 5, 6
  std::uint32_t Flags = 0;   // kInputExtended

  // From the wire's kind, position and data field.
  static TInjectInput FromWire(std::uint8_t AKind, int AX, int AY, std::int32_t AData);
};

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

// Keys that the input service injects with the extended-key flag.
bool IsExtendedKey(std::uint16_t AVirtualKey);
// X keysym of a virtual key (0 when it has none). AFlags may carry kInputExtended.
std::uint32_t KeysymOfVirtualKey(std::uint16_t AVirtualKey, std::uint32_t AFlags = 0);
// Keysym to try when the first is not in the layout (Alt_R -> ISO_Level3_Shift, ...); 0 for none.
std::uint32_t AlternateKeysym(std::uint32_t AKeysym);
// evdev keycode of the US position of the punctuation keys, for layouts that lack their US keysym.
std::uint8_t FallbackKeycodeOfVirtualKey(std::uint16_t AVirtualKey);

// One step for the backend to perform.
struct TSynthAction {
  enum TKind { saMove, saButton, saKey } Kind = saMove;
  int X = 0;                // saMove: desktop pixels
  int Y = 0;
  int Button = 0;           // saButton: X button 1..5
  bool Down = false;        // saButton, saKey
  std::uint16_t VirtualKey = 0; // saKey
  std::uint32_t Keysym = 0;     // saKey
  bool operator==(const TSynthAction&) const = default;
};

// Turns inputs into backend steps. Keeps the wheel's partial deltas between calls. One owner.
class TInputMapper {
 public:
  // AArea: CaptureArea(); APrimary: primary monitor; AVirtual: the whole desktop.
  std::vector<TSynthAction> Map(const TInjectInput& AInput, const TRect& AArea, const TRect& APrimary,
                                const TRect& AVirtual);

 private:
  int FWheelRest = 0; // delta not yet turned into a notch
};

// Applies inputs to the desktop. Thread: the thread that owns the capturer of this process.
class IInputInjector {
 public:
  virtual ~IInputInjector() = default;
  // Applies one input; failures are silent.
  virtual void InjectInput(const TInjectInput& AInput) = 0;
  // nullptr when no backend can inject on this desktop.
  static std::unique_ptr<IInputInjector> Create();
};

}  // namespace tovik
