#include "session/ui/TovikKeyMap.h"

#include <Qt>

namespace tovik {

int VkFromQtKey(int k, bool keypad) {
  if (keypad) {
    if (k >= Qt::Key_0 && k <= Qt::Key_9) return 0x60 + (k - Qt::Key_0);
    switch (k) {
      case Qt::Key_Asterisk: return 0x6A;
      case Qt::Key_Plus: return 0x6B;
      case Qt::Key_Minus: return 0x6D;
      case Qt::Key_Period:
      case Qt::Key_Comma: return 0x6E;
      case Qt::Key_Slash: return 0x6F;
      case Qt::Key_Equal: return 0x92;
      default: break;
    }
  }
  if ((k >= Qt::Key_A && k <= Qt::Key_Z) || (k >= Qt::Key_0 && k <= Qt::Key_9)) return k;
  if (k >= Qt::Key_F1 && k <= Qt::Key_F24) return 0x70 + (k - Qt::Key_F1);
  if (k >= 0x20 && k < 0x7F) return VirtualKeyOfUsChar(static_cast<std::uint32_t>(k));  // punctuation, space
  switch (k) {
    case Qt::Key_Escape: return 0x1B;
    case Qt::Key_Tab:
    case Qt::Key_Backtab: return 0x09;
    case Qt::Key_Backspace: return 0x08;
    case Qt::Key_Return:
    case Qt::Key_Enter: return 0x0D;
    case Qt::Key_Insert: return 0x2D;
    case Qt::Key_Delete: return 0x2E;
    case Qt::Key_Pause: return 0x13;
    case Qt::Key_Print:
    case Qt::Key_SysReq: return 0x2C;
    case Qt::Key_Clear: return 0x0C;
    case Qt::Key_Home: return 0x24;
    case Qt::Key_End: return 0x23;
    case Qt::Key_Left: return 0x25;
    case Qt::Key_Up: return 0x26;
    case Qt::Key_Right: return 0x27;
    case Qt::Key_Down: return 0x28;
    case Qt::Key_PageUp: return 0x21;
    case Qt::Key_PageDown: return 0x22;
    case Qt::Key_Shift: return 0xA0;
    case Qt::Key_Control: return 0xA2;
    case Qt::Key_Meta:
    case Qt::Key_Super_L: return 0x5B;
    case Qt::Key_Super_R: return 0x5C;
    case Qt::Key_Alt: return 0xA4;
    case Qt::Key_AltGr: return 0xA5;
    case Qt::Key_CapsLock: return 0x14;
    case Qt::Key_NumLock: return 0x90;
    case Qt::Key_ScrollLock: return 0x91;
    case Qt::Key_Menu: return 0x5D;
    case Qt::Key_Help: return 0x2F;
    case Qt::Key_Select: return 0x29;
    case Qt::Key_Execute: return 0x2B;
    case Qt::Key_Sleep: return 0x5F;
    case Qt::Key_Back: return 0xA6;
    case Qt::Key_Forward: return 0xA7;
    case Qt::Key_Refresh: return 0xA8;
    case Qt::Key_Stop: return 0xA9;
    case Qt::Key_Search: return 0xAA;
    case Qt::Key_Favorites: return 0xAB;
    case Qt::Key_HomePage: return 0xAC;
    case Qt::Key_VolumeMute: return 0xAD;
    case Qt::Key_VolumeDown: return 0xAE;
    case Qt::Key_VolumeUp: return 0xAF;
    case Qt::Key_MediaNext: return 0xB0;
    case Qt::Key_MediaPrevious: return 0xB1;
    case Qt::Key_MediaStop: return 0xB2;
    case Qt::Key_MediaPlay:
    case Qt::Key_MediaTogglePlayPause: return 0xB3;
    case Qt::Key_LaunchMail: return 0xB4;
    case Qt::Key_LaunchMedia: return 0xB5;
    case Qt::Key_Launch0: return 0xB6;
    case Qt::Key_Calculator: return 0xB7;
    case Qt::Key_Henkan: return 0x1C;
    case Qt::Key_Muhenkan: return 0x1D;
    case Qt::Key_Kanji: return 0x19;
    case Qt::Key_Hangul: return 0x15;
    case Qt::Key_Hangul_Hanja: return 0x19;
    case Qt::Key_Multi_key: return 0xE5;
    case Qt::Key_Zenkaku_Hankaku: return 0xF3;
    case Qt::Key_Hiragana_Katakana: return 0xF2;
    default: return 0;
  }
}

int VkFromKeyEvent(const IViewerKeys* AKeys, std::uint32_t ANativeKey, std::uint32_t AScanCode, int qtKey,
                   bool keypad) {
  if (AKeys)
    if (int v = AKeys->VirtualKeyOf(ANativeKey, AScanCode)) return v;
  return VkFromQtKey(qtKey, keypad);
}

}  // namespace tovik
