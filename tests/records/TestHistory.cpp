// Reading Sessions.csv into the history list and the export rows.
#include <gtest/gtest.h>

#include <string>

#include "records/TovikHistory.h"
#include "tests/base/TestTempDir.h"

namespace tovik {
namespace {

using test::TTempDir;

const char* kHeader = "Start;End;Minutes;Role;Partner ID;Partner;Remote PC;Files sent;Files received;Chat messages\r\n";

std::string Line(const std::string& start, const std::string& role, const std::string& id, const std::string& name,
                 const std::string& pc = "", const std::string& minutes = "15") {
  return start + ";" + start + ";" + minutes + ";" + role + ";" + id + ";" + name + ";" + pc + ";1;2;3\r\n";
}

class HistoryFile : public ::testing::Test {
 protected:
  std::vector<THistoryRecord> Read(const std::string& text, std::size_t cap = kMaxSessionsCsvBytes) {
    test::WriteFile(Dir / "Sessions.csv", text);
    std::vector<THistoryRecord> records;
    EXPECT_TRUE(ReadSessionsFile(Dir / "Sessions.csv", records, cap).Ok());
    return records;
  }
  TTempDir Dir;
};

TEST_F(HistoryFile, ListIsNewestFirstWithFormattedIdsAndComputer) {
  const auto records = Read(std::string(kHeader) + Line("2026-01-01 10:00", "Helper", "123456789", "Ann", "PC1|ann|Linux") +
                            "short;line\r\n" + Line("2026-01-02 10:00", "Helped", "987654321", "Bob", "onlyone"));
  ASSERT_EQ(records.size(), 2u);
  const auto rows = BuildHistoryList(records, {}, false);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].Start, "2026-01-02 10:00");
  EXPECT_EQ(rows[0].Computer, "");  // one part only
  EXPECT_EQ(rows[1].ID, "123 456 789");
  EXPECT_EQ(rows[1].Name, "Ann");
  EXPECT_EQ(rows[1].Computer, "PC1 (ann)");
  EXPECT_EQ(rows[1].Minutes, "15");
  EXPECT_EQ(rows[1].FilesSent, "1");
  EXPECT_EQ(rows[1].FilesReceived, "2");
  EXPECT_EQ(rows[1].Chats, "3");
}

TEST_F(HistoryFile, OnlyHelperKeepsHelperInAnyCaseAndExportFollowsTheList) {
  const auto records = Read(std::string(kHeader) + Line("a", "helper", "1", "x") + Line("b", "Helped", "2", "y") +
                            Line("c", "HELPER", "3", "z", "PC|u|Win 11|extra"));
  const auto rows = BuildHistoryList(records, {}, true);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].Start, "c");
  EXPECT_EQ(rows[1].Start, "a");
  const auto out = BuildHistoryExport(records, {}, true);
  ASSERT_EQ(out.size(), 2u);
  ASSERT_EQ(out[0].size(), kHistoryExportColumns);
  EXPECT_EQ(out[0][7], "PC");
  EXPECT_EQ(out[0][8], "u");
  EXPECT_EQ(out[0][9], "Win 11");
  EXPECT_EQ(out[1][7], "");
  EXPECT_EQ(BuildHistoryExport(records, {}, false).size(), 3u);
}

TEST_F(HistoryFile, SavedNamesWinOverTheRecordedName) {
  const std::map<std::string, std::string> names = {{"123456789", "Mum's laptop"}};
  const auto records = Read(std::string(kHeader) + Line("a", "Helper", "123456789", "Recorded") +
                            Line("b", "Helper", "555000111", "Kept"));
  const auto rows = BuildHistoryList(records, names, false);
  EXPECT_EQ(rows[1].Name, "Mum's laptop");
  EXPECT_EQ(rows[0].Name, "Kept");
  const auto out = BuildHistoryExport(records, names, false);
  EXPECT_EQ(out[1][5], "Mum's laptop");
  EXPECT_EQ(out[1][6], "Recorded");
  EXPECT_EQ(out[0][5], "");
}

TEST_F(HistoryFile, MissingFileIsAnEmptyHistory) {
  std::vector<THistoryRecord> records{{"x"}};
  EXPECT_TRUE(ReadSessionsFile(Dir / "none.csv", records).Ok());
  EXPECT_TRUE(records.empty());
}

// A file above the cap is read from its end: the newest sessions stay, the partial first line goes.
TEST_F(HistoryFile, OversizedFileIsReadFromItsEnd) {
  std::string text = kHeader;
  for (int i = 0; i < 1000; ++i) text += Line("row" + std::to_string(i), "Helper", "1", "n");
  const auto records = Read(text, 4096);
  ASSERT_FALSE(records.empty());
  EXPECT_LT(records.size(), 1000u);
  EXPECT_EQ(records.back()[0], "row999");
  for (const auto& r : records) EXPECT_EQ(r.size(), kHistoryFieldCount);  // no half line taken
}

TEST(HistoryNames, ProposedExportName) {
  EXPECT_EQ(ProposedExportName(2026, 3, 7), "Tovik sessions 2026-03-07.xlsx");
}

}  // namespace
}  // namespace tovik
