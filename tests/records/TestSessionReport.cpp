// Session reports: the relay's request and answers, the report text and its limits, the waiting
// requests and the queue with its file and resend schedule on a virtual clock.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "base/TovikBytes.h"
#include "records/TovikSessionReport.h"
#include "tests/base/TestTempDir.h"

namespace tovik {
namespace {

TEST(ReportAsk, RelayLinesAreCheckedBeforeUse) {
  const struct {
    const char* Line;
    bool Ok;
    std::int64_t Seconds;
  } cases[] = {
      {"REPORTASK 42 1700000000 1700000600 600 123456789", true, 600},
      {"REPORTASK 42 1700000000 1700000600 x 123456789", true, 600},        // unreadable seconds
      {"REPORTASK 42 1700000000 1700000600 9999999 123456789", true, 600},  // longer than the session
      {"REPORTASK 42 1700000000 1700000600 20 123456789", true, 20},        // the relay's value kept
      {"REPORTASK 42 1700000600 1700000000 600 123456789", false, 0},       // end before start
      {"REPORTASK 42 0 1700000000 600 123456789", false, 0},                // start 0
      {"REPORTASK 42 1700000000 1700000600 600", false, 0},                 // too few fields
      {"REPORTASK 42 1700000000 1700000600 600 12345678", false, 0},        // 8 digits
      {"REPORTASK 42 1700000000 1700000600 600 12345678x", false, 0},
      {"REPORTASK ../../etc 1700000000 1700000600 600 123456789", false, 0},
      {"REPORTASK 0123456789012345678901234 1700000000 1700000600 600 123456789", false, 0},  // 25 chars
      {"REPORTASK 42 99999999999999999999 1700000600 600 123456789", false, 0},
  };
  for (const auto& c : cases) {
    const auto ask = ParseReportAsk(c.Line);
    ASSERT_EQ(ask.has_value(), c.Ok) << c.Line;
    if (!ask) continue;
    EXPECT_EQ(ask->Seconds, c.Seconds) << c.Line;
    EXPECT_EQ(ask->Started, 1700000000);  // Unix seconds as the relay sent them
    EXPECT_EQ(ask->HelpedID, "123456789");
  }
  EXPECT_EQ(ParseReportAnswer("REPORT OK 0A1B2C3D")->MsgID, "0a1b2c3d");
  EXPECT_EQ(ParseReportAnswer("ERR REPORT_RATE")->Code, "REPORT_RATE");
  EXPECT_FALSE(ParseReportAnswer("REPORT OK zz"));
  EXPECT_FALSE(ParseReportAnswer("ERR REPORT_<script>"));
}

TEST(ReportText, DurationsAndBillMinutes) {
  EXPECT_EQ(DefaultBillMinutes(20), 15);
  EXPECT_EQ(DefaultBillMinutes(900), 15);
  EXPECT_EQ(DefaultBillMinutes(901), 30);
  EXPECT_EQ(DefaultBillMinutes(3600), 60);
  EXPECT_EQ(FormatDuration(20), "1 min");
  EXPECT_EQ(FormatDuration(900), "15 min");
  EXPECT_EQ(FormatDuration(3900), "1 h 05 min");
}

TEST(ReportText, FieldsAreCleanedAndCutOnCodePoints) {
  EXPECT_EQ(CleanReportField("  a\r\nb  "), "a  b");
  const std::string longName = std::string(199, 'x') + "\xC3\xA9\xC3\xA9";  // 201 characters
  EXPECT_EQ(CleanReportField(longName), std::string(199, 'x') + "\xC3\xA9");
  EXPECT_EQ(CleanReportText(" a\r\nb\rc\n "), "a\nb\nc");
  EXPECT_EQ(Utf8Length(CleanReportText(std::string(4001, 'y'))), 4000u);

  TReportAsk ask{"42", 1700000000, 1700000600, 600, "123456789", "K"};
  TReportFields f{"PC", "Helper", "ACME", "Ann", true, 123456, "done"};
  const std::string plain = ReportPlainText(ask, f);
  EXPECT_EQ(plain, "R1\n42\n1700000000\n1700000600\n600\n123456789\nPC\nHelper\nACME\nAnn\n1\n99999\ndone");
  const auto payload = BuildReportPayload(ask, f);
  ASSERT_TRUE(payload);
  const auto back = Base64Decode(*payload);
  ASSERT_TRUE(back);
  EXPECT_EQ(std::string(back->begin(), back->end()), plain);
}

// What the counter allows always fits the wire: the limit is in UTF-8 bytes of the encoded parts, so
// 4000 two-byte characters (allowed by a character count) are refused, and filling exactly the bytes
// left still sends.
TEST(ReportText, LimitIsCountedInWireBytes) {
  TReportAsk ask{"42", 1700000000, 1700000600, 600, "123456789", "K"};
  TReportFields f{"PC", "Helper", "ACME", "Ann", true, 15, ""};
  f.Text = "";
  for (int i = 0; i < 4000; ++i) f.Text += "\xC3\xA9";
  EXPECT_LT(ReportBytesLeft(ask, f), 0);
  EXPECT_FALSE(BuildReportPayload(ask, f));
  f.Text.clear();
  const std::int64_t left = ReportBytesLeft(ask, f);
  for (std::int64_t i = 0; i < left / 2; ++i) f.Text += "\xC3\xA9";
  if (left % 2) f.Text += "z";
  EXPECT_EQ(ReportBytesLeft(ask, f), 0);
  const auto payload = BuildReportPayload(ask, f);
  ASSERT_TRUE(payload);
  EXPECT_LE(payload->size(), kReportPartChars * kReportMaxParts);
}

TEST(ReportRequests, SameReferenceIgnoredAndAtMostTwentyWait) {
  TReportRequests r;
  TReportAsk a{"7", 1, 2, 1, "123456789", "K"};
  EXPECT_FALSE(r.Add(a, "7"));
  EXPECT_TRUE(r.Add(a, "8"));
  a.Ref = "-";
  EXPECT_TRUE(r.Add(a, "-"));  // local requests have no reference to compare
  for (int i = 0; i < 30; ++i) r.Add(a, "");
  EXPECT_EQ(r.Size(), kMaxWaitingReportAsks);
  EXPECT_EQ(r.TakeNext()->Ref, "7");
}

struct TFakeLink : IReportLink {
  bool Up = true;
  std::string Key = "AAAA";
  std::vector<std::string> Lines;
  bool HasChannel() const override { return Up; }
  bool CanSend() const override { return Up; }
  std::string RelayKey() const override { return Key; }
  void SendLine(const std::string& line) override { Lines.push_back(line); }
};

class ReportQueue : public ::testing::Test {
 protected:
  ReportQueue() { Make(); }
  void Make() {
    Queue = std::make_unique<TReportQueue>(
        File, Link, [this](const std::string& l) { Log.push_back(l); },
        [this] {
          char b[9];
          std::snprintf(b, sizeof b, "%08x", ++Ids);
          return std::string(b);
        });
  }
  // Runs the queue's ticks up to t on the virtual clock.
  void RunTo(TTick t) {
    while (Queue->NextDeadline() <= t) {
      Now = std::max(Now, Queue->NextDeadline());
      Queue->HandleTimeout(Now);
    }
    Now = t;
  }
  bool Logged(const std::string& text) const {
    for (const auto& l : Log)
      if (l.find(text) != std::string::npos) return true;
    return false;
  }
  test::TTempDir Dir;
  std::string File = Dir / "PendingReports.txt";
  TFakeLink Link;
  std::vector<std::string> Log;
  unsigned Ids = 0;
  TTick Now = 0;
  std::unique_ptr<TReportQueue> Queue;
};

TEST_F(ReportQueue, ResendScheduleOnTheVirtualClock) {
  Queue->Load(0);
  const std::string payload(1700, 'A');  // three parts
  Queue->Add(payload, "AAAA", 0);
  RunTo(0);
  ASSERT_EQ(Link.Lines.size(), 3u);
  EXPECT_EQ(Link.Lines[0], "REPORT 00000001 0 3 " + std::string(800, 'A'));
  EXPECT_EQ(Link.Lines[2], "REPORT 00000001 2 3 " + std::string(100, 'A'));
  EXPECT_EQ(Queue->CurrentID(), "00000001");
  RunTo(5'999);
  EXPECT_EQ(Link.Lines.size(), 3u);
  RunTo(6'000);
  EXPECT_EQ(Link.Lines.size(), 6u);
  RunTo(14'999);
  EXPECT_EQ(Link.Lines.size(), 6u);
  RunTo(15'000);
  EXPECT_EQ(Link.Lines.size(), 9u);
  RunTo(30'000);
  EXPECT_FALSE(Queue->Sending());
  RunTo(89'999);
  EXPECT_EQ(Link.Lines.size(), 9u);
  RunTo(90'000);
  EXPECT_EQ(Link.Lines.size(), 12u);
  Queue->Answered({true, "00000001", {}}, Now);
  EXPECT_TRUE(Queue->Items().empty());
  EXPECT_FALSE(test::Exists(File));
  EXPECT_TRUE(Logged("Session report: stored on the server"));
}

TEST_F(ReportQueue, AnswersKeepOrDropAndTheNextGoesOutAtOnce) {
  Queue->Load(0);
  Queue->Add("QQ==", "AAAA", 0);
  Queue->Add("Qg==", "AAAA", 0);
  RunTo(0);
  Queue->Answered({false, {}, "REPORT_RATE"}, Now);
  EXPECT_EQ(Queue->Items().size(), 2u);
  RunTo(59'999);
  EXPECT_EQ(Link.Lines.size(), 1u);
  RunTo(60'000);
  EXPECT_EQ(Link.Lines.size(), 2u);
  Queue->Answered({false, {}, "REPORT_BAD"}, Now);
  EXPECT_TRUE(Logged("not accepted by the server (REPORT_BAD); dropped"));
  ASSERT_EQ(Queue->Items().size(), 1u);
  RunTo(Now);
  EXPECT_EQ(Link.Lines.back(), "REPORT 00000002 0 1 Qg==");
  Queue->Answered({true, "00000009", {}}, Now);  // another ID: not this report
  EXPECT_EQ(Queue->Items().size(), 1u);
}

// A report goes only to the relay whose key asked for it, and only that relay's answer counts.
TEST_F(ReportQueue, ReportsGoOnlyToTheRelayThatAskedForThem) {
  Queue->Load(0);
  Queue->Add("QQ==", "AAAA", 0);
  Link.Key = "BBBB";
  RunTo(10'000);
  EXPECT_TRUE(Link.Lines.empty());
  Link.Key = "AAAA";
  RunTo(11'000);
  ASSERT_EQ(Link.Lines.size(), 1u);
  Link.Key = "BBBB";
  Queue->Answered({true, "00000001", {}}, Now);
  EXPECT_EQ(Queue->Items().size(), 1u);
  RunTo(20'000);
  EXPECT_EQ(Link.Lines.size(), 1u) << "no resend to another relay";
}

TEST_F(ReportQueue, FileSurvivesARestartAndBadLinesAreSkipped) {
  test::WriteFile(File, "0000000a\tAAAA\tQQ==\nshort\tQQ==\n0000000b\tAAAA\tQg==\r\nxyz\tAAAA\tQQ==\n"
                        "0000000c\tAAAA\tnot base64!\n");
  Queue->Load(0);
  EXPECT_EQ(Queue->Items().size(), 2u);
  EXPECT_TRUE(Logged("Session report: 2 report(s) still to send"));
  RunTo(0);
  Queue->Answered({true, "0000000a", {}}, Now);
  RunTo(Now);
  EXPECT_EQ(Link.Lines.back(), "REPORT 0000000b 0 1 Qg==");
  EXPECT_EQ(test::ReadFile(File), "0000000b\tAAAA\tQg==\n");
}

// A failed write of the queue file is logged and tried again until it succeeds.
TEST_F(ReportQueue, FailedWriteIsLoggedAndRetried) {
  File = Dir / "sub/PendingReports.txt";
  Make();
  Queue->Load(0);
  Link.Up = false;
  Queue->Add("QQ==", "AAAA", 0);
  EXPECT_TRUE(Logged("could not save"));
  RunTo(3'000);
  EXPECT_FALSE(test::Exists(File));
  ::mkdir((Dir / "sub").c_str(), 0700);
  RunTo(4'000);
  EXPECT_EQ(test::ReadFile(File), "00000001\tAAAA\tQQ==\n");
  EXPECT_TRUE(Logged("saved " + File + " again"));
}

}  // namespace
}  // namespace tovik
