// What the main window and the settings dialog need of the updater: its status, whether a checked
// update is ready, a check now, and the installation. The updater implements it; without one the
// window says "Updates are not available.".
//
// Threads: GUI thread only.
#pragma once

#include <string>

namespace tovik {

class IUpdaterPort {
 public:
  virtual ~IUpdaterPort() = default;
  virtual std::string StatusText() const = 0;
  virtual bool Ready() const = 0;
  // Installing by itself is allowed from now on; then looks for a new version right away.
  virtual void CheckNow() = 0;
  // Installs the ready update; the program restarts with AParams. True when the installation is under
  // way and the program must close.
  virtual bool Install(const std::string& AParams) = 0;
};

}  // namespace tovik
