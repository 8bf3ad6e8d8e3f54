#include "records/TovikSessionReport.h"

#include <cerrno>
#include <cstdio>

#include "base/TovikBytes.h"
#include "net/TovikWire.h"

namespace tovik {

namespace {

constexpr std::uint64_t kMaxUnixSeconds = 1ull << 40;

bool IsRefToken(std::string_view s) {
  if (s.empty() || s.size() > kMaxReportRefChars) return false;
  for (char c : s) {
    const bool ok = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '.' ||
                    c == '_' || c == '-';
    if (!ok) return false;
  }
  return true;
}

bool IsMsgID(std::string_view s) { return s.size() == 8 && IsHexText(s); }

bool IsBase64Char(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/' ||
         c == '=';
}

}  // namespace

std::optional<TReportAsk> ParseReportAsk(std::string_view line) {
  const auto f = SplitLine(line);
  if (f.size() < 6 || f[0] != "REPORTASK" || !IsRefToken(f[1]) || !IsPartnerID(f[5])) return std::nullopt;
  const auto start = ParseDecimal(f[2], kMaxUnixSeconds);
  const auto end = ParseDecimal(f[3], kMaxUnixSeconds);
  if (!start || !end || *start == 0 || *end < *start) return std::nullopt;
  TReportAsk ask;
  ask.Ref = std::string(f[1]);
  ask.Started = static_cast<std::int64_t>(*start);
  ask.Ended = static_cast<std::int64_t>(*end);
  const auto seconds = ParseDecimal(f[4], *end - *start);
  ask.Seconds = seconds ? static_cast<std::int64_t>(*seconds) : ask.Ended - ask.Started;
  ask.HelpedID = std::string(f[5]);
  return ask;
}

std::optional<TReportAnswer> ParseReportAnswer(std::string_view line) {
  const auto f = SplitLine(line);
  if (f.size() >= 3 && f[0] == "REPORT" && f[1] == "OK" && IsMsgID(f[2]))
    return TReportAnswer{true, AsciiLower(f[2]), {}};
  if (f.size() >= 2 && f[0] == "ERR" && f[1].size() > 7 && f[1].size() <= 40 && f[1].substr(0, 7) == "REPORT_") {
    for (char c : f[1])
      if (!((c >= 'A' && c <= 'Z') || c == '_' || (c >= '0' && c <= '9'))) return std::nullopt;
    return TReportAnswer{false, {}, std::string(f[1])};
  }
  return std::nullopt;
}

std::string CleanReportField(std::string_view text) {
  std::string s = Utf8Sanitize(text);
  for (char& c : s)
    if (c == '\r' || c == '\n') c = ' ';
  return Trim(Utf8Left(Trim(s), kReportFieldChars));
}

std::string CleanReportText(std::string_view text) {
  const std::string in = Utf8Sanitize(text);
  std::string s;
  s.reserve(in.size());
  for (std::size_t i = 0; i < in.size(); ++i) {
    if (in[i] == '\r') {
      s += '\n';
      if (i + 1 < in.size() && in[i + 1] == '\n') ++i;
    } else {
      s += in[i];
    }
  }
  return Utf8Left(Trim(s), kReportTextChars);
}

std::string ReportPlainText(const TReportAsk& ask, const TReportFields& fields) {
  const std::int64_t minutes = fields.Minutes < 0 ? 0 : fields.Minutes > 99999 ? 99999 : fields.Minutes;
  const std::string parts[] = {"R1",
                               ask.Ref,
                               std::to_string(ask.Started),
                               std::to_string(ask.Ended),
                               std::to_string(ask.Seconds),
                               ask.HelpedID,
                               CleanReportField(fields.PcName),
                               CleanReportField(fields.Helper),
                               CleanReportField(fields.Customer),
                               CleanReportField(fields.Contact),
                               fields.Billable ? "1" : "0",
                               std::to_string(minutes),
                               CleanReportText(fields.Text)};
  std::string out;
  for (const auto& p : parts) {
    if (!out.empty()) out += '\n';
    out += p;
  }
  return out;
}

std::int64_t ReportBytesLeft(const TReportAsk& ask, const TReportFields& fields) {
  return static_cast<std::int64_t>(kReportMaxTextBytes) - static_cast<std::int64_t>(ReportPlainText(ask, fields).size());
}

std::optional<std::string> BuildReportPayload(const TReportAsk& ask, const TReportFields& fields) {
  const std::string plain = ReportPlainText(ask, fields);
  std::string payload = Base64Encode(TByteView(reinterpret_cast<const std::uint8_t*>(plain.data()), plain.size()));
  if (payload.size() > kReportPartChars * kReportMaxParts) return std::nullopt;
  return payload;
}

std::string FormatDuration(std::int64_t seconds) {
  char buf[64];
  if (seconds < 3600) {
    std::int64_t m = (seconds + 59) / 60;
    if (m < 1) m = 1;
    std::snprintf(buf, sizeof buf, "%lld min", static_cast<long long>(m));
  } else {
    std::snprintf(buf, sizeof buf, "%lld h %.2lld min", static_cast<long long>(seconds / 3600),
                  static_cast<long long>(seconds % 3600 / 60));
  }
  return buf;
}

std::int64_t DefaultBillMinutes(std::int64_t seconds) {
  std::int64_t m = seconds <= 0 ? 0 : (seconds + 59) / 60;
  m = (m + 14) / 15 * 15;
  return m < 15 ? 15 : m;
}

// ---- requests -------------------------------------------------------------------------------------

bool TReportRequests::Add(TReportAsk ask, std::string_view openRef) {
  if (ask.Ref != "-" && !openRef.empty() && SameTextAscii(ask.Ref, openRef)) return false;
  if (FItems.size() >= kMaxWaitingReportAsks) return false;
  FItems.push_back(std::move(ask));
  return true;
}

std::optional<TReportAsk> TReportRequests::TakeNext() {
  if (FItems.empty()) return std::nullopt;
  TReportAsk a = std::move(FItems.front());
  FItems.pop_front();
  return a;
}

// ---- queue ----------------------------------------------------------------------------------------

TReportQueue::TReportQueue(std::string file, IReportLink& link, std::function<void(const std::string&)> log,
                           std::function<std::string()> newMsgID)
    : FFile(std::move(file)), FLink(link), FLog(std::move(log)), FNewMsgID(std::move(newMsgID)) {}

void TReportQueue::Log(const std::string& text) const {
  if (FLog) FLog("Session report: " + text);
}

void TReportQueue::Load(TTick now) {
  FItems.clear();
  std::string text;
  if (ReadWholeFile(FFile, text, kMaxFileBytes)) {
    std::size_t from = 0;
    while (from < text.size() && FItems.size() < kMaxItems) {
      std::size_t end = text.find('\n', from);
      if (end == std::string::npos) end = text.size();
      std::string_view line(text.data() + from, end - from);
      from = end + 1;
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      const std::size_t t1 = line.find('\t');
      const std::size_t t2 = t1 == std::string_view::npos ? t1 : line.find('\t', t1 + 1);
      if (t2 == std::string_view::npos || line.find('\t', t2 + 1) != std::string_view::npos) continue;
      TQueuedReport r{std::string(line.substr(0, t1)), std::string(line.substr(t1 + 1, t2 - t1 - 1)),
                      std::string(line.substr(t2 + 1))};
      bool payloadOk = !r.Payload.empty() && r.Payload.size() <= kReportPartChars * kReportMaxParts;
      for (char c : r.Payload) payloadOk = payloadOk && IsBase64Char(c);
      if (!IsMsgID(r.MsgID) || r.RelayKey.empty() || r.RelayKey.size() > 64 || !payloadOk) continue;
      r.MsgID = AsciiLower(r.MsgID);
      FItems.push_back(std::move(r));
    }
  }
  if (!FItems.empty()) Log(std::to_string(FItems.size()) + " report(s) still to send");
  FNextTick = now;
}

bool TReportQueue::Add(const std::string& payload, const std::string& relayKey, TTick now) {
  if (FItems.size() >= kMaxItems) {
    Log("the queue is full; the report is not kept");
    return false;
  }
  FItems.push_back(TQueuedReport{FNewMsgID(), relayKey, payload});
  Save();
  FNextTry = 0;
  FNextTick = now;
  return true;
}

std::string TReportQueue::CurrentID() const {
  return FSending && FCurrent >= 0 ? FItems[static_cast<std::size_t>(FCurrent)].MsgID : std::string();
}

void TReportQueue::Save() {
  TFileResult r;
  if (FItems.empty()) {
    if (std::remove(FFile.c_str()) != 0 && errno != ENOENT) r = TFileResult::FromErrno(errno, FFile);
  } else {
    std::string text;
    for (const auto& i : FItems) text += i.MsgID + "\t" + i.RelayKey + "\t" + i.Payload + "\n";
    r = WriteFileAtomic(FFile, text);
  }
  if (!r) {
    if (!FSaveFailed) Log("could not save " + FFile + " (" + r.Error + "); trying again");
    FSaveFailed = true;
  } else {
    if (FSaveFailed) Log("saved " + FFile + " again");
    FSaveFailed = false;
  }
}

std::ptrdiff_t TReportQueue::FirstForRelay() const {
  const std::string key = FLink.RelayKey();
  for (std::size_t i = 0; i < FItems.size(); ++i)
    if (FItems[i].RelayKey == key) return static_cast<std::ptrdiff_t>(i);
  return -1;
}

void TReportQueue::SendCurrent() {
  const TQueuedReport& r = FItems[static_cast<std::size_t>(FCurrent)];
  const std::size_t count = (r.Payload.size() + kReportPartChars - 1) / kReportPartChars;
  for (std::size_t i = 0; i < count; ++i)
    FLink.SendLine("REPORT " + r.MsgID + " " + std::to_string(i) + " " + std::to_string(count) + " " +
                   r.Payload.substr(i * kReportPartChars, kReportPartChars));
}

void TReportQueue::HandleTimeout(TTick now) {
  if (now < FNextTick) return;
  FNextTick = now + kTickMs;
  if (FSaveFailed) Save();
  if (FItems.empty()) return;
  if (FSending) {
    const TTick elapsed = now - FSentAt;
    if (elapsed >= 30'000) {
      FSending = false;
      FCurrent = -1;
      FNextTry = now + 60'000;
    } else if ((FResends == 0 && elapsed >= 6'000) || (FResends == 1 && elapsed >= 15'000)) {
      if (FLink.CanSend() && FLink.RelayKey() == FItems[static_cast<std::size_t>(FCurrent)].RelayKey) {
        SendCurrent();
        ++FResends;
      }
    }
    return;
  }
  if (now < FNextTry || !FLink.CanSend()) return;
  FCurrent = FirstForRelay();
  if (FCurrent < 0) return;
  FSending = true;
  FSentAt = now;
  FResends = 0;
  SendCurrent();
}

void TReportQueue::Answered(const TReportAnswer& answer, TTick now) {
  if (!FSending || FCurrent < 0) return;
  const auto index = static_cast<std::size_t>(FCurrent);
  if (FLink.RelayKey() != FItems[index].RelayKey) return;  // not the relay this report is for
  if (answer.Ok) {
    if (!SameTextAscii(answer.MsgID, FItems[index].MsgID)) return;
    FItems.erase(FItems.begin() + FCurrent);
    FSending = false;
    FCurrent = -1;
    Save();
    FNextTry = 0;
    FNextTick = now;  // the next report goes out at once
    Log("stored on the server");
    return;
  }
  FSending = false;
  FCurrent = -1;
  if (answer.Code == "REPORT_RATE" || answer.Code == "REPORT_NOT_READY") {
    FNextTry = now + 60'000;
    return;
  }
  Log("not accepted by the server (" + EscapeForLog(answer.Code, 40) + "); dropped");
  FItems.erase(FItems.begin() + static_cast<std::ptrdiff_t>(index));
  Save();
  FNextTry = 0;
  FNextTick = now;
}

}  // namespace tovik
