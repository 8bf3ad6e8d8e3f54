// Session log lines: "yyyy-mm-dd hh:nn:ss.zzz  [sess] text" appended to the program's log file. The
// writing itself is base/TovikLog.h's AppendSessionLine, the one writer of these lines.
// Logging never raises; a line that cannot be written is lost.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace tovik {

// The formatted line (without line end) for a wall-clock stamp in ms since 1970, in local time.
std::string SessionLogLine(std::string_view AText, std::int64_t AStampMs);

// $XDG_CONFIG_HOME/Tovik/Tovik.log, or ~/.config/Tovik/Tovik.log.
std::string DefaultSessionLogPath();

// A log function that appends one formatted line per call (CR LF) to APath through
// AppendSessionLine. Thread-safe.
std::function<void(const std::string&)> MakeSessionFileLog(std::string APath);

}  // namespace tovik
