// One row of the session history file Sessions.csv: the columns, how a row is written and read back.
// The file is UTF-8 text, fields separated by ";", lines ending in CR LF; its first line names the
// columns. Writing and reading the file itself happen elsewhere (behind ISessionHistory and in the
// history window); both use the definitions here. No I/O.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tovik {

// A moment of the wall clock: seconds since 1970 and the local time as "yyyy-mm-dd hh:nn".
struct TWallTime {
  std::int64_t Seconds = 0;
  std::string Local;
  // Now, from the system's clock and time zone (defined by the platform library).
  static TWallTime Now();
};

struct TSessionHistoryRow {
  TWallTime Start, End;
  bool IsViewer = false;     // "Helper" on a viewer, "Helped" on a host
  std::string PartnerID;     // from the other PC or the relay
  std::string Partner;       // from the other PC
  std::string RemotePC;      // the host's hello text on a viewer; empty on a host
  int FilesSent = 0, FilesReceived = 0, Chats = 0;
};

// The columns in file order.
inline constexpr std::array<std::string_view, 10> kSessionsColumns = {
    "Start", "End", "Minutes", "Role", "Partner ID", "Partner", "Remote PC", "Files sent", "Files received",
    "Chat messages"};
inline constexpr std::string_view kSessionsFileName = "Sessions.csv";
inline constexpr std::string_view kSessionsLineEnd = "\r\n";
inline constexpr char kSessionsSeparator = ';';
// Text fields that come from the other PC are cut to this many characters.
inline constexpr std::size_t kMaxHistoryField = 200;

// The first line, with its CR LF.
std::string SessionsHeaderLine();
// One text field made safe for the file: control characters (CR and LF among them) removed, ";"
// turned into ",", cut to kMaxHistoryField characters, and a leading = + - @ (which a spreadsheet
// would take for a formula) preceded by '.
std::string SessionsField(std::string_view AText);
// (End - Start) in whole minutes, halves to even; never negative.
int SessionMinutes(const TSessionHistoryRow& ARow);
// The row as one line with its CR LF.
std::string SessionsRowLine(const TSessionHistoryRow& ARow);

// A row read back from one line (without its line end): the file keeps no seconds, so the minutes
// come beside the row. None when the line is not ten fields with numbers where numbers belong.
struct TSessionsLine {
  TSessionHistoryRow Row;
  int Minutes = 0;
};
std::optional<TSessionsLine> ParseSessionsLine(std::string_view ALine);

}  // namespace tovik
