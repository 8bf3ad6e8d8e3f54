// Feedback: the message text and its limit in wire bytes, the error texts, the maker's relay, and the
// sender's schedule and answers on a virtual clock.
#include <gtest/gtest.h>

#include "records/TovikFeedback.h"

namespace tovik {
namespace {

TEST(FeedbackText, KindsPayloadAndLimits) {
  ASSERT_EQ(FeedbackKinds().size(), 4u);
  EXPECT_STREQ(FeedbackKinds()[1].Text, "Problem");
  EXPECT_STREQ(FeedbackKinds()[3].Code, "other");
  EXPECT_EQ(FeedbackPlainText(0, " a@b.cd ", "123", " Hi\r\nthere\r "), "idea\na@b.cd\n123\nHi\nthere");
  std::string wide;
  for (int i = 0; i < 4000; ++i) wide += "\xC3\xA9";  // 4000 characters, 8000 bytes
  EXPECT_LT(FeedbackBytesLeft(FeedbackPlainText(0, "", "1", wide)), 0);
  EXPECT_GT(FeedbackBytesLeft(FeedbackPlainText(0, "", "1", std::string(4000, 'x'))), 0);
}

TEST(FeedbackText, ErrorTextsAndMakersRelay) {
  EXPECT_EQ(FeedbackErrorText("FEEDBACK_RATE"), "You have sent several messages in the last hour. Please try again later.");
  EXPECT_EQ(FeedbackErrorText("FEEDBACK_X"), "The server could not deliver the message (FEEDBACK_X).");
  const struct {
    const char* Host;
    bool Makers;
  } cases[] = {{"tovik.example", true}, {" Relay.Tovik.Example ", true}, {"eviltovik.example", false},
               {"tovik.example.evil", false}, {"", false}};
  for (const auto& c : cases) EXPECT_EQ(IsMakersRelay(c.Host, "tovik.example"), c.Makers) << c.Host;
}

struct TLink : IReportLink {
  bool Up = true;
  std::vector<std::string> Lines;
  bool HasChannel() const override { return Up; }
  bool CanSend() const override { return Up; }
  std::string RelayKey() const override { return "K"; }
  void SendLine(const std::string& line) override { Lines.push_back(line); }
};

class FeedbackSender : public ::testing::Test {
 protected:
  FeedbackSender() {
    Sender.OnDone = [this](bool ok, const std::string& reason) { Outcomes.push_back({ok, reason}); };
  }
  void RunTo(TTick t) {
    while (Sender.NextDeadline() <= t) Sender.HandleTimeout(Sender.NextDeadline());
  }
  TLink Link;
  TFeedbackSender Sender{Link, [] { return std::string("0a1b2c3d"); }};
  std::vector<std::pair<bool, std::string>> Outcomes;
  std::string Error;
};

TEST_F(FeedbackSender, WithoutAnAnswerItIsSentThreeTimesThenGivesUp) {
  ASSERT_TRUE(Sender.Start("idea\n\n1\nhello", 0, Error));
  EXPECT_EQ(Link.Lines.size(), 1u);
  EXPECT_EQ(Link.Lines[0], "FEEDBACK 0a1b2c3d 0 1 aWRlYQoKMQpoZWxsbw==");
  EXPECT_FALSE(Sender.Start("x", 0, Error));
  EXPECT_EQ(Error, "The last message is still on its way. Please wait a moment.");
  RunTo(29'999);
  EXPECT_EQ(Link.Lines.size(), 3u);
  EXPECT_TRUE(Outcomes.empty());
  RunTo(30'000);
  ASSERT_EQ(Outcomes.size(), 1u);
  EXPECT_FALSE(Outcomes[0].first);
  EXPECT_EQ(Outcomes[0].second.rfind("The server did not answer within 30 seconds", 0), 0u);
  EXPECT_FALSE(Sender.Busy());
}

TEST_F(FeedbackSender, AnswersAndRefusals) {
  ASSERT_TRUE(Sender.Start("m", 0, Error));
  EXPECT_TRUE(Sender.HandleLine("FEEDBACK OK 99999999"));
  EXPECT_TRUE(Outcomes.empty());
  EXPECT_TRUE(Sender.HandleLine("FEEDBACK OK 0A1B2C3D"));
  ASSERT_EQ(Outcomes.size(), 1u);
  EXPECT_TRUE(Outcomes[0].first);
  EXPECT_FALSE(Sender.HandleLine("REPORT OK 0a1b2c3d"));

  ASSERT_TRUE(Sender.Start("m", 0, Error));
  Sender.HandleLine("ERR FEEDBACK_MAIL");
  ASSERT_EQ(Outcomes.size(), 2u);
  EXPECT_EQ(Outcomes[1].second.rfind("This Tovik server cannot send e-mail yet", 0), 0u);

  std::string wide;
  for (int i = 0; i < 4000; ++i) wide += "\xC3\xA9";
  EXPECT_FALSE(Sender.Start(FeedbackPlainText(0, "", "1", wide), 0, Error));
  EXPECT_EQ(Error, "The message is too long to send. Please make it a little shorter.");
  Link.Up = false;
  EXPECT_FALSE(Sender.Start("m", 0, Error));
  EXPECT_EQ(Error, "Tovik is not connected to the server right now. Try again in a moment.");
}

}  // namespace
}  // namespace tovik
