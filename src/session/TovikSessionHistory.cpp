#include "session/TovikSessionHistory.h"

#include <charconv>
#include <vector>

#include "base/TovikBytes.h"

namespace tovik {

namespace {
bool IsControl(unsigned char c) { return c < 0x20 || c == 0x7F; }

std::optional<int> Count(std::string_view s) {
  int v = 0;
  auto r = std::from_chars(s.data(), s.data() + s.size(), v);
  if (r.ec != std::errc() || r.ptr != s.data() + s.size() || v < 0) return std::nullopt;
  return v;
}
}  // namespace

std::string SessionsHeaderLine() {
  std::string s;
  for (std::size_t i = 0; i < kSessionsColumns.size(); ++i) {
    if (i) s += kSessionsSeparator;
    s += kSessionsColumns[i];
  }
  s += kSessionsLineEnd;
  return s;
}

std::string SessionsField(std::string_view AText) {
  std::string clean;
  const std::string text = Utf8Sanitize(AText);
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    // C1 controls are U+0080..U+009F: C2 80..C2 9F in UTF-8.
    if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
      ++i;
      continue;
    }
    if (IsControl(c)) continue;
    clean += c == static_cast<unsigned char>(kSessionsSeparator) ? ',' : static_cast<char>(c);
  }
  clean = Utf8Left(clean, kMaxHistoryField);
  if (!clean.empty() && (clean[0] == '=' || clean[0] == '+' || clean[0] == '-' || clean[0] == '@'))
    clean.insert(clean.begin(), '\'');
  return clean;
}

int SessionMinutes(const TSessionHistoryRow& ARow) {
  const std::int64_t s = ARow.End.Seconds - ARow.Start.Seconds;
  if (s <= 0) return 0;
  std::int64_t q = s / 60;
  const std::int64_t r = s % 60;
  if (r > 30 || (r == 30 && q % 2 == 1)) ++q;
  return static_cast<int>(std::min<std::int64_t>(q, 1'000'000'000));
}

std::string SessionsRowLine(const TSessionHistoryRow& ARow) {
  const char sep = kSessionsSeparator;
  std::string s;
  s += SessionsField(ARow.Start.Local);
  s += sep;
  s += SessionsField(ARow.End.Local);
  s += sep;
  s += std::to_string(SessionMinutes(ARow));
  s += sep;
  s += ARow.IsViewer ? "Helper" : "Helped";
  s += sep;
  s += SessionsField(ARow.PartnerID);
  s += sep;
  s += SessionsField(ARow.Partner);
  s += sep;
  s += SessionsField(ARow.RemotePC);
  s += sep;
  s += std::to_string(ARow.FilesSent);
  s += sep;
  s += std::to_string(ARow.FilesReceived);
  s += sep;
  s += std::to_string(ARow.Chats);
  s += kSessionsLineEnd;
  return s;
}

std::optional<TSessionsLine> ParseSessionsLine(std::string_view ALine) {
  std::vector<std::string_view> f;
  std::size_t from = 0;
  for (;;) {
    const auto at = ALine.find(kSessionsSeparator, from);
    f.push_back(ALine.substr(from, at == std::string_view::npos ? std::string_view::npos : at - from));
    if (at == std::string_view::npos) break;
    from = at + 1;
  }
  if (f.size() != kSessionsColumns.size()) return std::nullopt;
  TSessionsLine out;
  auto minutes = Count(f[2]), sent = Count(f[7]), received = Count(f[8]), chats = Count(f[9]);
  if (!minutes || !sent || !received || !chats || (f[3] != "Helper" && f[3] != "Helped")) return std::nullopt;
  out.Minutes = *minutes;
  out.Row.Start.Local = std::string(f[0]);
  out.Row.End.Local = std::string(f[1]);
  out.Row.IsViewer = f[3] == "Helper";
  out.Row.PartnerID = std::string(f[4]);
  out.Row.Partner = std::string(f[5]);
  out.Row.RemotePC = std::string(f[6]);
  out.Row.FilesSent = *sent;
  out.Row.FilesReceived = *received;
  out.Row.Chats = *chats;
  return out;
}

}  // namespace tovik
