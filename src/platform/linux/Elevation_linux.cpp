// Administrator rights for the window program on Linux. Under X11 no privilege barrier separates
// the windows of one display, so the program never relaunches itself as root: a relaunch request
// only leaves a note in the log and the program goes on as it is.
#include <unistd.h>

#include "app/TovikRunModes.h"

namespace tovik {

namespace {

class TElevationLinux final : public IElevation {
 public:
  explicit TElevationLinux(TLineSink log) : FLog(std::move(log)) {}
  bool IsElevated() override { return ::geteuid() == 0; }
  TRelaunchResult RelaunchElevated(const std::string&) override {
    if (FLog) FLog("Administrator rights are not needed on this desktop; starting without them");
    return TRelaunchResult::rrNotNeeded;
  }

 private:
  TLineSink FLog;
};

}  // namespace

std::unique_ptr<IElevation> IElevation::Create(TLineSink log) {
  return std::make_unique<TElevationLinux>(std::move(log));
}

}  // namespace tovik
