#include "records/TovikFeedback.h"

#include "base/TovikBytes.h"
#include "net/TovikWire.h"

namespace tovik {

const std::vector<TFeedbackKind>& FeedbackKinds() {
  static const std::vector<TFeedbackKind> kinds = {
      {"Idea", "An idea or a wish for Tovik", "idea"},
      {"Problem", "Something that does not work as it should", "problem"},
      {"Praise", "Something you like", "praise"},
      {"Other", "Anything else", "other"},
  };
  return kinds;
}

std::string CleanFeedbackMessage(std::string_view text) {
  static_assert(kFeedbackChars == kReportTextChars);
  return CleanReportText(text);  // the same line ends, trimming and cut
}

std::string FeedbackPlainText(int kind, std::string_view email, std::string_view build, std::string_view message) {
  const auto& kinds = FeedbackKinds();
  const char* code = kind >= 0 && kind < static_cast<int>(kinds.size()) ? kinds[static_cast<std::size_t>(kind)].Code
                                                                        : kinds.back().Code;
  return std::string(code) + "\n" + Trim(email) + "\n" + std::string(build) + "\n" + CleanFeedbackMessage(message);
}

std::int64_t FeedbackBytesLeft(std::string_view plain) {
  return static_cast<std::int64_t>(kReportMaxTextBytes) - static_cast<std::int64_t>(plain.size());
}

std::string FeedbackErrorText(std::string_view code) {
  if (code == "FEEDBACK_RATE") return "You have sent several messages in the last hour. Please try again later.";
  if (code == "FEEDBACK_SIZE") return "The message is too long for the server. Please make it shorter.";
  if (code == "FEEDBACK_MAIL")
    return "This Tovik server cannot send e-mail yet, so the message could not be delivered. Its administrator "
           "can set up e-mail in the Tovik Relay Manager.";
  return "The server could not deliver the message (" + EscapeForLog(code, 40) + ").";
}

bool IsMakersRelay(std::string_view host, std::string_view makersDomain) {
  const std::string h = AsciiLower(Trim(host));
  const std::string d = AsciiLower(makersDomain);
  if (d.empty()) return false;
  return h == d || (h.size() > d.size() && h.compare(h.size() - d.size(), d.size(), d) == 0 &&
                    h[h.size() - d.size() - 1] == '.');
}

TFeedbackSender::TFeedbackSender(IReportLink& link, std::function<std::string()> newMsgID)
    : FLink(link), FNewMsgID(std::move(newMsgID)) {}

bool TFeedbackSender::Start(const std::string& plain, TTick now, std::string& error) {
  if (Busy()) {
    error = "The last message is still on its way. Please wait a moment.";
    return false;
  }
  if (!FLink.HasChannel()) {
    error = "Tovik is not connected to the server right now. Try again in a moment.";
    return false;
  }
  const std::string b64 = Base64Encode(TByteView(reinterpret_cast<const std::uint8_t*>(plain.data()), plain.size()));
  const std::size_t count = (b64.size() + kReportPartChars - 1) / kReportPartChars;
  if (count < 1 || count > kReportMaxParts) {
    error = "The message is too long to send. Please make it a little shorter.";
    return false;
  }
  FParts.clear();
  for (std::size_t i = 0; i < count; ++i) FParts.push_back(b64.substr(i * kReportPartChars, kReportPartChars));
  FMsgID = FNewMsgID();
  FStarted = now;
  FResends = 0;
  FNextTick = now + kTickMs;
  SendAll();
  return true;
}

void TFeedbackSender::SendAll() {
  const std::string count = std::to_string(FParts.size());
  for (std::size_t i = 0; i < FParts.size(); ++i)
    FLink.SendLine("FEEDBACK " + FMsgID + " " + std::to_string(i) + " " + count + " " + FParts[i]);
}

void TFeedbackSender::HandleTimeout(TTick now) {
  if (!Busy() || now < FNextTick) return;
  FNextTick = now + kTickMs;
  const TTick elapsed = now - FStarted;
  if (elapsed >= 30'000) {
    Finish(false,
           "The server did not answer within 30 seconds, so the message may not have arrived. Please try again "
           "later.");
  } else if ((FResends == 0 && elapsed >= 6'000) || (FResends == 1 && elapsed >= 15'000)) {
    if (FLink.HasChannel()) SendAll();
    ++FResends;
  }
}

bool TFeedbackSender::HandleLine(std::string_view line) {
  const auto f = SplitLine(line);
  if (f.empty()) return false;
  const bool isErr = f[0] == "ERR" && f.size() > 1 && f[1].substr(0, 8) == "FEEDBACK";
  if (f[0] != "FEEDBACK" && !isErr) return false;
  if (!Busy()) return true;
  if (isErr)
    Finish(false, FeedbackErrorText(f[1]));
  else if (f.size() >= 3 && f[1] == "OK" && SameTextAscii(f[2], FMsgID))
    Finish(true, {});
  return true;
}

void TFeedbackSender::Abandon() {
  FMsgID.clear();
  FParts.clear();
}

void TFeedbackSender::Finish(bool ok, const std::string& reason) {
  Abandon();
  if (OnDone) OnDone(ok, reason);
}

}  // namespace tovik
