// Session reports: a company's relay asks the helper, after a support session, for a short report
// (customer, contact, minutes to bill, what was done). This module holds the Qt-free parts: the relay's
// request line checked and read, the report text built and measured against what the wire carries,
// the requests waiting for their form, and the queue that keeps saved reports in PendingReports.txt
// until the relay that asked for them confirms them.
//
// Everything from the relay is checked before use: a request names a 9-digit helped ID and a short
// reference token, its times are kept as the relay sent them (Unix seconds), and at most
// kMaxWaitingReportAsks requests wait. A queued report carries the fingerprint of the relay key that
// asked for it and is sent to that relay only.
//
// Threads: one thread (the GUI thread in the program). Time is a parameter (ticks in milliseconds).
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/TovikFiles.h"
#include "base/TovikTimed.h"

namespace tovik {

// One request for a report.
struct TReportAsk {
  std::string Ref;          // the relay's reference of the session; "-" for a request made locally
  std::int64_t Started = 0;  // Unix seconds (UTC)
  std::int64_t Ended = 0;
  std::int64_t Seconds = 0;
  std::string HelpedID;      // 9 digits
  std::string RelayKey;      // fingerprint of the relay key that asked ("" for a local request)
};

inline constexpr std::size_t kMaxReportRefChars = 24;
inline constexpr std::size_t kMaxWaitingReportAsks = 20;
inline constexpr std::size_t kReportPartChars = 800;
inline constexpr std::size_t kReportMaxParts = 8;
// The most bytes of report text that fit the parts once Base64-encoded.
inline constexpr std::size_t kReportMaxTextBytes = kReportPartChars * kReportMaxParts / 4 * 3;
inline constexpr std::size_t kReportFieldChars = 200;
inline constexpr std::size_t kReportTextChars = 4000;

// "REPORTASK ref start end seconds helped-id": nullopt unless it has at least 6 fields, a reference of
// 1 to kMaxReportRefChars letters, digits, ".", "_" or "-", a positive start, an end not before the
// start and a helped ID of exactly 9 digits. An unreadable or impossible seconds field (negative, or
// longer than the session) gives end - start.
std::optional<TReportAsk> ParseReportAsk(std::string_view line);

// The relay's answers to REPORT lines.
struct TReportAnswer {
  bool Ok = false;
  std::string MsgID;  // for "REPORT OK msg-id"
  std::string Code;   // for "ERR REPORT_code": the whole code with its prefix
};
std::optional<TReportAnswer> ParseReportAnswer(std::string_view line);

// What the helper fills in.
struct TReportFields {
  std::string PcName, Helper, Customer, Contact;
  bool Billable = true;
  std::int64_t Minutes = 0;
  std::string Text;
};

// Single-line fields: CR and LF become blanks, trimmed, cut to kReportFieldChars code points.
std::string CleanReportField(std::string_view text);
// The description: line ends (CR LF, lone CR) become LF, trimmed, cut to kReportTextChars code points.
std::string CleanReportText(std::string_view text);
// The report's 13 lines joined with LF (UTF-8), fields cleaned and minutes limited to 0..99999.
std::string ReportPlainText(const TReportAsk& ask, const TReportFields& fields);
// Bytes still free in the parts (negative when the report is too long to send).
std::int64_t ReportBytesLeft(const TReportAsk& ask, const TReportFields& fields);
// The Base64 payload; nullopt when it needs more than kReportMaxParts parts.
std::optional<std::string> BuildReportPayload(const TReportAsk& ask, const TReportFields& fields);

// "%d min" below an hour (minutes rounded up, at least 1), else "%d h %.2d min".
std::string FormatDuration(std::int64_t seconds);
// The minutes rounded up, then up to a multiple of 15; at least 15.
std::int64_t DefaultBillMinutes(std::int64_t seconds);

// The requests waiting for their form, oldest first.
class TReportRequests {
 public:
  // False (ignored) when ask repeats the reference of the form now open (openRef, "" for none) or
  // kMaxWaitingReportAsks are waiting already.
  bool Add(TReportAsk ask, std::string_view openRef);
  std::optional<TReportAsk> TakeNext();
  std::size_t Size() const { return FItems.size(); }

 private:
  std::deque<TReportAsk> FItems;
};

// What reports and feedback need from the network client. Must outlive the objects that use it.
class IReportLink {
 public:
  virtual ~IReportLink() = default;
  // The relay channel exists.
  virtual bool HasChannel() const = 0;
  // The relay channel exists and this PC has an ID.
  virtual bool CanSend() const = 0;
  // Fingerprint of the key of the relay connected now.
  virtual std::string RelayKey() const = 0;
  virtual void SendLine(const std::string& line) = 0;
};

// One saved report waiting for its confirmation.
struct TQueuedReport {
  std::string MsgID;    // 8 lower-case hexadecimal digits
  std::string RelayKey;  // fingerprint of the relay key that asked for it
  std::string Payload;   // Base64
};

// The reports saved and not yet confirmed, kept in a file (one line per report: message ID, TAB, relay
// key fingerprint, TAB, payload). The file is rewritten after every change (through a temporary file)
// and removed when the queue is empty; a failed write is logged and tried again at every tick until
// it succeeds. Sending: the first report for the connected relay goes out in parts; without an answer
// it is sent again after 6 s and after 15 s; after 30 s the queue waits 60 s before it tries again.
class TReportQueue : public ITimedObject {
 public:
  static constexpr TTick kTickMs = 1000;
  static constexpr std::size_t kMaxItems = 200;
  static constexpr std::size_t kMaxFileBytes = 4u * 1024 * 1024;

  // log: one line per event, already prefixed; newMsgID: a fresh message ID (8 lower-case hex digits).
  TReportQueue(std::string file, IReportLink& link, std::function<void(const std::string&)> log,
               std::function<std::string()> newMsgID);

  // Reads the file (errors give an empty queue) and logs "%d report(s) still to send" when it held any.
  void Load(TTick now);
  // Queues a payload for the relay with that key fingerprint; false when the queue is full.
  bool Add(const std::string& payload, const std::string& relayKey, TTick now);
  // The ID being sent, else "".
  std::string CurrentID() const;
  // The relay's answer (taken only from the relay the report being sent is for).
  void Answered(const TReportAnswer& answer, TTick now);

  const std::vector<TQueuedReport>& Items() const { return FItems; }
  bool Sending() const { return FSending; }

  TTick NextDeadline() const override { return FNextTick; }
  void HandleTimeout(TTick now) override;

 private:
  void Save();
  void SendCurrent();
  std::ptrdiff_t FirstForRelay() const;
  void Log(const std::string& text) const;

  std::string FFile;
  IReportLink& FLink;
  std::function<void(const std::string&)> FLog;
  std::function<std::string()> FNewMsgID;
  std::vector<TQueuedReport> FItems;
  std::ptrdiff_t FCurrent = -1;  // index of the item being sent
  bool FSending = false;
  bool FSaveFailed = false;
  TTick FSentAt = 0;
  int FResends = 0;
  TTick FNextTry = 0;
  TTick FNextTick = 0;
};

}  // namespace tovik
