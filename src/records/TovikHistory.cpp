#include "records/TovikHistory.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "base/TovikBytes.h"
#include "base/TovikIni.h"

namespace tovik {

namespace {

std::vector<std::string_view> SplitView(std::string_view text, char sep) {
  std::vector<std::string_view> parts;
  std::size_t from = 0;
  for (;;) {
    const std::size_t at = text.find(sep, from);
    if (at == std::string_view::npos) {
      parts.push_back(text.substr(from));
      return parts;
    }
    parts.push_back(text.substr(from, at - from));
    from = at + 1;
  }
}

std::string DigitsOf(std::string_view id) {
  std::string digits;
  for (char c : id)
    if (c >= '0' && c <= '9') digits += c;
  return digits;
}

const std::string& SavedName(const std::map<std::string, std::string>& names, std::string_view id) {
  static const std::string none;
  const auto it = names.find(DigitsOf(id));
  return it == names.end() ? none : it->second;
}

// Newest first, with the role filter: the records a list or an export shows.
template <typename F>
void ForShownRecords(const std::vector<THistoryRecord>& records, bool onlyHelper, F&& each) {
  for (auto it = records.rbegin(); it != records.rend(); ++it) {
    if (onlyHelper && !SameTextAscii((*it)[THistoryField::Role], "Helper")) continue;
    each(*it);
  }
}

}  // namespace

std::vector<THistoryRecord> ParseSessionsCsv(std::string_view text) {
  std::vector<THistoryRecord> records;
  bool first = true;
  std::size_t from = 0;
  while (from < text.size()) {
    std::size_t end = text.find('\n', from);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(from, end - from);
    from = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (first) {  // the header, or the partial line a read from the middle starts with
      first = false;
      continue;
    }
    if (line.empty()) continue;
    const auto parts = SplitView(line, ';');
    if (parts.size() < kHistoryFieldCount) continue;
    records.emplace_back(parts.begin(), parts.end());
  }
  return records;
}

TFileResult ReadSessionsFile(const std::string& path, std::vector<THistoryRecord>& out, std::size_t maxBytes) {
  out.clear();
  TFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) {
    if (errno == ENOENT) return TFileResult::Success();
    return TFileResult::FromErrno(errno, path);
  }
  struct stat st {};
  if (::fstat(fd.Get(), &st) != 0) return TFileResult::FromErrno(errno, path);
  if (!S_ISREG(st.st_mode)) return TFileResult::Fail(EINVAL, path + ": not a regular file");
  const auto size = static_cast<std::size_t>(st.st_size);
  const bool tail = size > maxBytes;
  const std::size_t want = tail ? maxBytes : size;
  const off_t start = tail ? static_cast<off_t>(size - maxBytes) : 0;
  std::string text(want, '\0');
  std::size_t got = 0;
  while (got < want) {
    const ssize_t n = ::pread(fd.Get(), text.data() + got, want - got, start + static_cast<off_t>(got));
    if (n < 0) {
      if (errno == EINTR) continue;
      return TFileResult::FromErrno(errno, path);
    }
    if (n == 0) break;  // the file shrank while we read it
    got += static_cast<std::size_t>(n);
  }
  text.resize(got);
  out = ParseSessionsCsv(text);
  return TFileResult::Success();
}

std::vector<THistoryListRow> BuildHistoryList(const std::vector<THistoryRecord>& records,
                                              const std::map<std::string, std::string>& names,
                                              bool onlyHelper) {
  std::vector<THistoryListRow> rows;
  rows.reserve(records.size());
  ForShownRecords(records, onlyHelper, [&](const THistoryRecord& f) {
    THistoryListRow row;
    row.Start = f[THistoryField::Start];
    row.Minutes = f[THistoryField::Minutes];
    row.Role = f[THistoryField::Role];
    row.ID = FormatID(f[THistoryField::PartnerID]);
    const std::string& saved = SavedName(names, f[THistoryField::PartnerID]);
    row.Name = saved.empty() ? f[THistoryField::PartnerName] : saved;
    const auto pc = SplitView(f[THistoryField::RemotePC], '|');
    if (pc.size() >= 2) row.Computer = std::string(pc[0]) + " (" + std::string(pc[1]) + ")";
    row.FilesSent = f[THistoryField::FilesSent];
    row.FilesReceived = f[THistoryField::FilesReceived];
    row.Chats = f[THistoryField::Chats];
    rows.push_back(std::move(row));
  });
  return rows;
}

const std::vector<std::string>& HistoryExportHeaders() {
  static const std::vector<std::string> headers = {
      "Start", "End",  "Minutes", "Role",       "Tovik ID",       "Saved name",   "Partner name",
      "Computer", "User", "Windows", "Files sent", "Files received", "Chat messages"};
  return headers;
}

bool HistoryExportColumnIsNumeric(std::size_t column) {
  return column == 2 || column == 10 || column == 11 || column == 12;
}

std::vector<std::vector<std::string>> BuildHistoryExport(const std::vector<THistoryRecord>& records,
                                                         const std::map<std::string, std::string>& names,
                                                         bool onlyHelper) {
  std::vector<std::vector<std::string>> rows;
  rows.reserve(records.size());
  ForShownRecords(records, onlyHelper, [&](const THistoryRecord& f) {
    const auto pc = SplitView(f[THistoryField::RemotePC], '|');
    auto part = [&](std::size_t i) { return i < pc.size() ? std::string(pc[i]) : std::string(); };
    rows.push_back({f[THistoryField::Start], f[THistoryField::End], f[THistoryField::Minutes],
                    f[THistoryField::Role], FormatID(f[THistoryField::PartnerID]),
                    SavedName(names, f[THistoryField::PartnerID]), f[THistoryField::PartnerName], part(0),
                    part(1), part(2), f[THistoryField::FilesSent], f[THistoryField::FilesReceived],
                    f[THistoryField::Chats]});
  });
  return rows;
}

std::string ProposedExportName(int year, int month, int day) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "Tovik sessions %04d-%02d-%02d.xlsx", year, month, day);
  return buf;
}

}  // namespace tovik
