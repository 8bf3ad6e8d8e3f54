// The viewer's key events on X11: Qt's native key data is the keysym and the hardware keycode.
#include "platform/linux/TovikKeys_x11.h"
#include "session/ui/TovikKeyMap.h"

namespace tovik {

namespace {

class TX11ViewerKeys final : public IViewerKeys {
 public:
  int VirtualKeyOf(std::uint32_t ANativeKey, std::uint32_t AScanCode) const override {
    return VkFromXKeyEvent(ANativeKey, AScanCode);
  }
};

}  // namespace

std::unique_ptr<IViewerKeys> IViewerKeys::Create() { return std::make_unique<TX11ViewerKeys>(); }

}  // namespace tovik
