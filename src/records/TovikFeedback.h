// Feedback ("Request a feature"): a short message with an optional e-mail address, sent through the
// relay in Base64 parts and confirmed by it. Qt-free parts: the kinds, the checks, the payload measured
// in the bytes the wire carries, the error texts and the sender with its resend schedule.
//
// Threads: one thread (the GUI thread in the program). Time is a parameter.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/TovikTimed.h"
#include "records/TovikSessionReport.h"

namespace tovik {

struct TFeedbackKind {
  const char* Text;
  const char* Hint;
  const char* Code;
};
// "Idea", "Problem", "Praise", "Other", in this order.
const std::vector<TFeedbackKind>& FeedbackKinds();

inline constexpr std::size_t kFeedbackChars = 4000;
inline constexpr std::size_t kFeedbackEmailChars = 254;

// Line ends made LF, trimmed, cut to kFeedbackChars code points.
std::string CleanFeedbackMessage(std::string_view text);
// kind code, LF, e-mail, LF, build, LF, message (cleaned), as UTF-8.
std::string FeedbackPlainText(int kind, std::string_view email, std::string_view build, std::string_view message);
// Bytes still free in the parts for that text (negative: too long to send).
std::int64_t FeedbackBytesLeft(std::string_view plain);
// The user's text for a relay error code.
std::string FeedbackErrorText(std::string_view code);
// The relay host is the maker's own relay: host (trimmed, lower case) equals makersDomain or ends
// with "." + makersDomain.
bool IsMakersRelay(std::string_view host, std::string_view makersDomain);

// Sends one message at a time and reports its outcome once (OnDone: delivered, or the reason why
// not). Without an answer the parts go out again at 6 s and at 15 s; after 30 s it gives up.
class TFeedbackSender : public ITimedObject {
 public:
  static constexpr TTick kTickMs = 500;
  // link must outlive the sender; newMsgID gives 8 lower-case hex digits.
  TFeedbackSender(IReportLink& link, std::function<std::string()> newMsgID);

  bool Busy() const { return !FMsgID.empty(); }
  const std::string& MsgID() const { return FMsgID; }
  // Starts sending the plain text; false with error set when it cannot.
  bool Start(const std::string& plain, TTick now, std::string& error);
  // A relay line; true when it belonged to feedback.
  bool HandleLine(std::string_view line);
  // Forgets the message without an outcome (the program is closing).
  void Abandon();

  std::function<void(bool ok, const std::string& reason)> OnDone;

  TTick NextDeadline() const override { return Busy() ? FNextTick : kNoDeadline; }
  void HandleTimeout(TTick now) override;

 private:
  void SendAll();
  void Finish(bool ok, const std::string& reason);

  IReportLink& FLink;
  std::function<std::string()> FNewMsgID;
  std::string FMsgID;
  std::vector<std::string> FParts;
  TTick FStarted = 0;
  int FResends = 0;
  TTick FNextTick = 0;
};

}  // namespace tovik
