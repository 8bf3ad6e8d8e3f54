// The main log writer and the session-log line.
//
// Main log lines read "yyyy-mm-dd hh:nn:ss  text" in local time, UTF-8 without byte-order mark, ended
// by CR LF. Before each write the file is rotated when it is larger than kLogRotateBytes: the copy
// "<log>.1" is replaced by the log, and a new log is begun; so a log may exceed the limit by one line.
// Session lines carry milliseconds and a marker: "yyyy-mm-dd hh:nn:ss.zzz  [sess] text", appended to
// the same file without rotation. Time comes from StampMs(), so a TManualClock fixes it in tests.
//
// Logging never raises and never reports: every failure is swallowed and the line is lost.
// The file is opened and closed for every line and locked (flock) while it is written, so writers in
// several processes do not interleave inside a line. A TLogWriter is used from one thread at a time.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tovik {

inline constexpr std::uint64_t kLogRotateBytes = 2'097'152;

// "yyyy-mm-dd hh:nn:ss" (or with ".zzz" when withMs) of a stamp in milliseconds since 1970, local time.
std::string FormatLocalStamp(std::int64_t stampMs, bool withMs);

class TLogWriter {
 public:
  TLogWriter() = default;
  explicit TLogWriter(std::string path) : FPath(std::move(path)) {}

  // An empty path makes Line() do nothing.
  void SetPath(std::string path) { FPath = std::move(path); }
  const std::string& Path() const { return FPath; }

  void Line(std::string_view text) const noexcept;

 private:
  std::string FPath;
};

// The session line (without line end) for a stamp in milliseconds since 1970, local time:
// "yyyy-mm-dd hh:nn:ss.zzz  [sess] text".
std::string SessionLine(std::string_view text, std::int64_t stampMs);

// Appends one session line stamped StampMs() to the log at path (created if missing; never rotated).
// The one writer of session lines.
void AppendSessionLine(const std::string& path, std::string_view text) noexcept;

}  // namespace tovik
