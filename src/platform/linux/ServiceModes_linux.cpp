// Service, agent and service-restart modes on Linux. The systemd backend replaces this one; until
// then every mode reports that it is unavailable, and the caller ends with exit code 1.
#include "app/TovikRunModes.h"

namespace tovik {

namespace {

class TServiceModesUnavailable final : public IServiceModes {
 public:
  TModeResult RestartService() override { return TModeResult::mrUnavailable; }
  TModeResult Install() override { return TModeResult::mrUnavailable; }
  TModeResult Uninstall() override { return TModeResult::mrUnavailable; }
  TModeResult RunService() override { return TModeResult::mrUnavailable; }
  TModeResult RunAgent() override { return TModeResult::mrUnavailable; }
  bool IsServiceRunning() override { return false; }
};

}  // namespace

std::unique_ptr<IServiceModes> IServiceModes::Create() { return std::make_unique<TServiceModesUnavailable>(); }

}  // namespace tovik
