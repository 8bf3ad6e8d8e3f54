// Keyboard codes between the viewer's window system and the wire. Keys travel as Windows virtual-key
// codes (media/TovikKeys.h, the one list of keys). A key event carries Qt's key number, which this file
// maps, and the window system's own key data, which only a platform backend (IViewerKeys) can read.
#pragma once

#include <cstdint>
#include <memory>

#include "media/TovikKeys.h"

namespace tovik {

// The window system's side of the viewer's key events: what its native key data means. On X11 the
// native key is the keysym and the scan code the hardware keycode. Const calls on the GUI thread.
class IViewerKeys {
 public:
  virtual ~IViewerKeys() = default;
  // The virtual key of a key event from its native data (QKeyEvent::nativeVirtualKey and
  // nativeScanCode); 0 when they say nothing, and the caller goes by Qt's key number.
  virtual int VirtualKeyOf(std::uint32_t ANativeKey, std::uint32_t AScanCode) const = 0;
  // The backend of the window system the program was built for; defined by the platform library and
  // called only by the program's entry.
  static std::unique_ptr<IViewerKeys> Create();
};

// Virtual key of a Qt key number (Qt::Key), for platforms without native key data; `keypad` is set
// when the event carried the keypad modifier. 0 when unknown.
int VkFromQtKey(int qtKey, bool keypad);

// The virtual key for one key event: the native data through AKeys (when given) first, Qt's key number
// as the last resort. 0 when nothing matches.
int VkFromKeyEvent(const IViewerKeys* AKeys, std::uint32_t ANativeKey, std::uint32_t AScanCode, int qtKey,
                   bool keypad);

}  // namespace tovik
