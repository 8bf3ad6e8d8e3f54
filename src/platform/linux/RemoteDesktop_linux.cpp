// The Remote Desktop client's drawing default has no Linux counterpart.
#include "app/TovikSettings.h"

namespace tovik {

namespace {

class TRemoteDesktopDefaultNone final : public IRemoteDesktopDefault {
 public:
  TRemoteDesktopResult KeepDrawingWhenMinimized() override { return TRemoteDesktopResult::rdNotApplicable; }
};

}  // namespace

std::unique_ptr<IRemoteDesktopDefault> IRemoteDesktopDefault::Create() {
  return std::make_unique<TRemoteDesktopDefaultNone>();
}

}  // namespace tovik
