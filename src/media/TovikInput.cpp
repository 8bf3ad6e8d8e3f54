// Portable half of input injection: coordinate mapping, wheel notches and the virtual-key table.
#include "media/TovikInput.h"

#include <algorithm>
#include <climits>
#include <cstdlib>

namespace tovik {

TInjectInput TInjectInput::FromWire(std::uint8_t AKind, int AX, int AY, std::int32_t AData) {
  TInjectInput in;
  in.Kind = AKind;
  in.X = AX;
  in.Y = AY;
  switch (AKind) {
    case ikButtonDown:
    case ikButtonUp:
      in.Button = AData;
      break;
    case ikWheel:
      in.WheelDelta = AData;
      break;
    case ikKeyDown:
    case ikKeyUp:
      in.VirtualKey = static_cast<std::uint16_t>(AData & 0xFFFF);
      break;
    default:
      break;
  }
  return in;
}

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

bool IsExtendedKey(std::uint16_t vk) {
  return (vk >= 33 && vk <= 40) || (vk >= 44 && vk <= 46) || (vk >= 91 && vk <= 93) || vk == 111 || vk == 144 ||
         vk == 163 || vk == 165;
}

std::uint32_t KeysymOfVirtualKey(std::uint16_t vk, std::uint32_t AFlags) {
  const bool ext = (AFlags & kInputExtended) != 0;
  if (vk >= 0x30 && vk <= 0x39) return vk;               // digits
  if (vk >= 0x41 && vk <= 0x5A) return vk + 0x20;        // letters, as the lower-case keysym
  if (vk >= 0x60 && vk <= 0x69) return 0xFFB0 + (vk - 0x60); // KP_0..KP_9
  if (vk >= 0x70 && vk <= 0x87) return 0xFFBE + (vk - 0x70); // F1..F24
  switch (vk) {
    case 0x03: return 0xFF6B;              // Cancel -> Break
    case 0x08: return 0xFF08;              // BackSpace
    case 0x09: return 0xFF09;              // Tab
    case 0x0C: return 0xFF0B;              // Clear
    case 0x0D: return ext ? 0xFF8D : 0xFF0D; // KP_Enter / Return
    case 0x10: return 0xFFE1;              // Shift -> Shift_L
    case 0x11: return ext ? 0xFFE4 : 0xFFE3; // Control -> Control_R / Control_L
    case 0x12: return ext ? 0xFFEA : 0xFFE9; // Menu -> Alt_R / Alt_L
    case 0x13: return 0xFF13;              // Pause
    case 0x14: return 0xFFE5;              // Caps_Lock
    case 0x15: return 0xFF31;              // Kana/Hangul -> Hangul
    case 0x17: return 0xFF38;              // Junja -> Hangul_Jeonja
    case 0x19: return 0xFF34;              // Hanja/Kanji -> Hangul_Hanja
    case 0x1B: return 0xFF1B;              // Escape
    case 0x1C: return 0xFF23;              // Convert -> Henkan
    case 0x1D: return 0xFF22;              // NonConvert -> Muhenkan
    case 0x1F: return 0xFF7E;              // ModeChange -> Mode_switch
    case 0x20: return 0x0020;              // space
    case 0x21: return 0xFF55;              // Prior
    case 0x22: return 0xFF56;              // Next
    case 0x23: return 0xFF57;              // End
    case 0x24: return 0xFF50;              // Home
    case 0x25: return 0xFF51;              // Left
    case 0x26: return 0xFF52;              // Up
    case 0x27: return 0xFF53;              // Right
    case 0x28: return 0xFF54;              // Down
    case 0x29: return 0xFF60;              // Select
    case 0x2A: return 0xFF61;              // Print
    case 0x2B: return 0xFF62;              // Execute
    case 0x2C: return 0xFF61;              // Snapshot -> Print
    case 0x2D: return 0xFF63;              // Insert
    case 0x2E: return 0xFFFF;              // Delete
    case 0x2F: return 0xFF6A;              // Help
    case 0x5B: return 0xFFEB;              // Super_L
    case 0x5C: return 0xFFEC;              // Super_R
    case 0x5D: return 0xFF67;              // Apps -> Menu
    case 0x5F: return 0x1008FF2F;          // XF86Sleep
    case 0x6A: return 0xFFAA;              // KP_Multiply
    case 0x6B: return 0xFFAB;              // KP_Add
    case 0x6C: return 0xFFAC;              // KP_Separator
    case 0x6D: return 0xFFAD;              // KP_Subtract
    case 0x6E: return 0xFFAE;              // KP_Decimal
    case 0x6F: return 0xFFAF;              // KP_Divide
    case 0x90: return 0xFF7F;              // Num_Lock
    case 0x91: return 0xFF14;              // Scroll_Lock
    case 0xA0: return 0xFFE1;              // Shift_L
    case 0xA1: return 0xFFE2;              // Shift_R
    case 0xA2: return 0xFFE3;              // Control_L
    case 0xA3: return 0xFFE4;              // Control_R
    case 0xA4: return 0xFFE9;              // Alt_L
    case 0xA5: return 0xFFEA;              // Alt_R
    case 0xA6: return 0x1008FF26;          // XF86Back
    case 0xA7: return 0x1008FF27;          // XF86Forward
    case 0xA8: return 0x1008FF29;          // XF86Refresh
    case 0xA9: return 0x1008FF28;          // XF86Stop
    case 0xAA: return 0x1008FF1B;          // XF86Search
    case 0xAB: return 0x1008FF30;          // XF86Favorites
    case 0xAC: return 0x1008FF18;          // XF86HomePage
    case 0xAD: return 0x1008FF12;          // XF86AudioMute
    case 0xAE: return 0x1008FF11;          // XF86AudioLowerVolume
    case 0xAF: return 0x1008FF13;          // XF86AudioRaiseVolume
    case 0xB0: return 0x1008FF17;          // XF86AudioNext
    case 0xB1: return 0x1008FF16;          // XF86AudioPrev
    case 0xB2: return 0x1008FF15;          // XF86AudioStop
    case 0xB3: return 0x1008FF14;          // XF86AudioPlay
    case 0xB4: return 0x1008FF19;          // XF86Mail
    case 0xB5: return 0x1008FF32;          // XF86AudioMedia
    case 0xB6: return 0x1008FF5D;          // XF86Explorer
    case 0xB7: return 0x1008FF1D;          // XF86Calculator
    case 0xBA: return 0x003B;              // OEM_1 -> semicolon
    case 0xBB: return 0x003D;              // OEM_PLUS -> equal
    case 0xBC: return 0x002C;              // OEM_COMMA -> comma
    case 0xBD: return 0x002D;              // OEM_MINUS -> minus
    case 0xBE: return 0x002E;              // OEM_PERIOD -> period
    case 0xBF: return 0x002F;              // OEM_2 -> slash
    case 0xC0: return 0x0060;              // OEM_3 -> grave
    case 0xDB: return 0x005B;              // OEM_4 -> bracketleft
    case 0xDC: return 0x005C;              // OEM_5 -> backslash
    case 0xDD: return 0x005D;              // OEM_6 -> bracketright
    case 0xDE: return 0x0027;              // OEM_7 -> apostrophe
    case 0xE2: return 0x003C;              // OEM_102 -> less
    case 0xFA: return 0x1008FF31;          // Play -> XF86AudioPause
    default: return 0;
  }
}

std::uint32_t AlternateKeysym(std::uint32_t AKeysym) {
  switch (AKeysym) {
    case 0xFFEA: return 0xFE03; // Alt_R -> ISO_Level3_Shift
    case 0xFF61: return 0xFF15; // Print -> Sys_Req
    case 0xFF13: return 0xFF6B; // Pause -> Break
    default: return 0;
  }
}

std::uint8_t FallbackKeycodeOfVirtualKey(std::uint16_t vk) {
  switch (vk) {
    case 0xBA: return 47; // AC10
    case 0xBB: return 21; // AE12
    case 0xBC: return 59; // AB08
    case 0xBD: return 20; // AE11
    case 0xBE: return 60; // AB09
    case 0xBF: return 61; // AB10
    case 0xC0: return 49; // TLDE
    case 0xDB: return 34; // AD11
    case 0xDC: return 51; // BKSL
    case 0xDD: return 35; // AD12
    case 0xDE: return 48; // AC11
    case 0xE2: return 94; // LSGT
    default: return 0;
  }
}

namespace {
// A hostile wheel delta must not turn into millions of clicks.
constexpr int kMaxNotchesPerEvent = 100;
}  // namespace

std::vector<TSynthAction> TInputMapper::Map(const TInjectInput& AIn, const TRect& AArea, const TRect& APrimary,
                                            const TRect& AVirtual) {
  std::vector<TSynthAction> out;
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
        if (AIn.Button >= 0 && AIn.Button <= 2) {
          TSynthAction b;
          b.Kind = TSynthAction::saButton;
          b.Button = kXButton[AIn.Button];
          b.Down = AIn.Kind == ikButtonDown;
          out.push_back(b);
        }
      } else if (AIn.Kind == ikWheel && AIn.WheelDelta != 0) {
        // Deltas below a notch are kept until they add up; a change of direction drops the rest.
        if ((FWheelRest > 0 && AIn.WheelDelta < 0) || (FWheelRest < 0 && AIn.WheelDelta > 0)) FWheelRest = 0;
        const std::int64_t sum = static_cast<std::int64_t>(FWheelRest) + AIn.WheelDelta;
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
      k.VirtualKey = AIn.VirtualKey;
      k.Keysym = KeysymOfVirtualKey(AIn.VirtualKey, AIn.Flags);
      k.Down = AIn.Kind == ikKeyDown;
      if (k.Keysym != 0 || FallbackKeycodeOfVirtualKey(AIn.VirtualKey) != 0) out.push_back(k);
      break;
    }
    default:
      break;
  }
  return out;
}

}  // namespace tovik
