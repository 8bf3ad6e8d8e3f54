// The session history: reading "Sessions.csv" (one line per ended session, written by the session
// tools) into the rows of the history list and of its Excel export.
//
// Sessions.csv is a text file with ";" separated fields, UTF-8 on Linux, lines ending in CR LF (LF
// alone is read too). The first line is a header; a line with fewer than kHistoryFieldCount fields is
// skipped. The file is local but may be large or damaged: reads are capped at kMaxSessionsCsvBytes
// (a larger file is read from its end, so the newest sessions stay), and every field is taken as text.
//
// Plain functions over values; any thread.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "base/TovikFiles.h"
#include "session/TovikSessionHistory.h"

namespace tovik {

// The columns of Sessions.csv this module reads (0-based), by name; the file's column list is
// kSessionsColumns, which the writer uses too, and the asserts below keep the two together.
struct THistoryField {
  static constexpr std::size_t Start = 0;          // "yyyy-mm-dd hh:nn"
  static constexpr std::size_t End = 1;            // same form
  static constexpr std::size_t Minutes = 2;
  static constexpr std::size_t Role = 3;           // "Helper" when this PC helped, else "Helped"
  static constexpr std::size_t PartnerID = 4;      // 9 digits
  static constexpr std::size_t PartnerName = 5;
  static constexpr std::size_t RemotePC = 6;       // computer|user|system
  static constexpr std::size_t FilesSent = 7;
  static constexpr std::size_t FilesReceived = 8;
  static constexpr std::size_t Chats = 9;
};
inline constexpr std::size_t kHistoryFieldCount = kSessionsColumns.size();
static_assert(kSessionsColumns[THistoryField::Start] == "Start" && kSessionsColumns[THistoryField::End] == "End" &&
              kSessionsColumns[THistoryField::Minutes] == "Minutes" && kSessionsColumns[THistoryField::Role] == "Role" &&
              kSessionsColumns[THistoryField::PartnerID] == "Partner ID" &&
              kSessionsColumns[THistoryField::PartnerName] == "Partner" &&
              kSessionsColumns[THistoryField::RemotePC] == "Remote PC" &&
              kSessionsColumns[THistoryField::FilesSent] == "Files sent" &&
              kSessionsColumns[THistoryField::FilesReceived] == "Files received" &&
              kSessionsColumns[THistoryField::Chats] == "Chat messages");
inline constexpr std::size_t kMaxSessionsCsvBytes = 32u * 1024 * 1024;

// One accepted line of Sessions.csv: its fields (at least kHistoryFieldCount).
using THistoryRecord = std::vector<std::string>;

// The lines of a Sessions.csv text after the first one, split at ";", without the ones that have too
// few fields, in file order (oldest first). The first line is the header, or the partial line a read
// from the middle of the file starts with: dropped either way.
std::vector<THistoryRecord> ParseSessionsCsv(std::string_view text);

// Reads the file (missing: no records, success). A file above maxBytes is read from its end.
TFileResult ReadSessionsFile(const std::string& path, std::vector<THistoryRecord>& out,
                             std::size_t maxBytes = kMaxSessionsCsvBytes);

// One row of the history list.
struct THistoryListRow {
  std::string Start, Minutes, Role, ID, Name, Computer, FilesSent, FilesReceived, Chats;
};

// Rows of the list (IDs in groups of three, see FormatID): newest first, only rows whose role is "Helper" (any case) when onlyHelper.
std::vector<THistoryListRow> BuildHistoryList(const std::vector<THistoryRecord>& records,
                                              const std::map<std::string, std::string>& names,
                                              bool onlyHelper);

// The export: the 13 column headers and the rows in the list's order and filter.
inline constexpr std::size_t kHistoryExportColumns = 13;
const std::vector<std::string>& HistoryExportHeaders();
std::vector<std::vector<std::string>> BuildHistoryExport(const std::vector<THistoryRecord>& records,
                                                         const std::map<std::string, std::string>& names,
                                                         bool onlyHelper);
// Export columns written as numbers when their text reads as an integer.
bool HistoryExportColumnIsNumeric(std::size_t column);

// "Tovik sessions yyyy-mm-dd.xlsx".
std::string ProposedExportName(int year, int month, int day);

}  // namespace tovik
