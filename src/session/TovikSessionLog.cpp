#include "session/TovikSessionLog.h"

#include <cstdlib>

#include "base/TovikLog.h"

namespace tovik {

std::string SessionLogLine(std::string_view AText, std::int64_t AStampMs) { return SessionLine(AText, AStampMs); }

std::string DefaultSessionLogPath() {
  const char* x = std::getenv("XDG_CONFIG_HOME");
  std::string base;
  if (x && *x)
    base = x;
  else if (const char* h = std::getenv("HOME"))
    base = std::string(h) + "/.config";
  else
    base = ".";
  return base + "/Tovik/Tovik.log";
}

std::function<void(const std::string&)> MakeSessionFileLog(std::string APath) {
  return [path = std::move(APath)](const std::string& AText) { AppendSessionLine(path, AText); };
}

}  // namespace tovik
