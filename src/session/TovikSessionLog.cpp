#include "session/TovikSessionLog.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>

#include "base/TovikClock.h"

namespace tovik {

std::string SessionLogLine(std::string_view AText, std::int64_t AStampMs) {
  std::time_t secs = static_cast<std::time_t>(AStampMs / 1000);
  std::tm tm{};
  localtime_r(&secs, &tm);
  char buf[96];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%03d  [sess] ", tm.tm_year + 1900,
                tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                static_cast<int>(AStampMs % 1000));
  return std::string(buf) + std::string(AText);
}

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
  return [path = std::move(APath)](const std::string& AText) {
    static std::mutex lock;
    try {
      const std::string line = SessionLogLine(AText, StampMs()) + "\r\n";
      std::lock_guard<std::mutex> l(lock);
      if (std::FILE* f = std::fopen(path.c_str(), "ab")) {
        std::fwrite(line.data(), 1, line.size(), f);
        std::fclose(f);
      }
    } catch (...) {
    }
  };
}

}  // namespace tovik
