#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/TovikBytes.h"
#include "base/TovikIni.h"
#include "book/TovikRecent.h"
#include "tests/base/TestTempDir.h"

using namespace tovik;

namespace {

// The [Recent] section in memory; counts writes and can be told to fail them.
class TFakeRecentStore final : public IRecentStore {
 public:
  std::optional<TIniPairs> ReadSection() override { return Section; }
  TFileResult WriteSection(const TIniPairs& AKeys) override {
    ++Writes;
    if (Fail) return TFileResult::Fail(28, "No space left on device");
    Section = AKeys;
    return {};
  }
  std::string Path() const override { return "/home/u/.config/Tovik/Tovik.ini"; }

  std::optional<TIniPairs> Section = TIniPairs{};
  int Writes = 0;
  bool Fail = false;
};

std::string Id(int n) { return std::to_string(100'000'000 + n); }

struct RecentList : ::testing::Test {
  TFakeRecentStore Store;
  TRecentList List{Store};
  std::vector<std::vector<std::string>> Uploads;
  std::vector<std::string> Logs;
  void SetUp() override {
    List.OnUpload = [this](const std::vector<std::string>& l) { Uploads.push_back(l); };
    List.OnLog = [this](const std::string& s) { Logs.push_back(s); };
  }
  void Fill(int n, bool named) {
    std::vector<std::string> lines;
    for (int i = 0; i < n; ++i) lines.push_back(Id(i) + "=" + (named ? "PC " + std::to_string(i) : ""));
    List.ApplyFromSync(lines);
  }
};

}  // namespace

TEST(RecentText, NamesAreCleanedAndLinesSplit) {
  struct Case {
    const char* In;
    std::string Want;
  };
  const Case cases[] = {
      {"  Anna=Office ", "Anna Office"},
      {"tab\there\r\nnext", "tab here  next"},
      {"", ""},
      {"====", ""},
      {"\xFF" "bad", "\xEF\xBF\xBD" "bad"},
  };
  for (const auto& c : cases) EXPECT_EQ(CleanRecentName(c.In), c.Want) << c.In;
  EXPECT_EQ(CleanRecentName(std::string(100, 'x')), std::string(80, 'x'));
  // Cut after 80 characters (not bytes), then trimmed again.
  const std::string umlauts = std::string(79, 'a') + " " + std::string(30, 'b');
  EXPECT_EQ(CleanRecentName(umlauts), std::string(79, 'a'));
  std::string wide;
  for (int i = 0; i < 90; ++i) wide += "\xC3\xA4";
  EXPECT_EQ(Utf8Length(CleanRecentName(wide)), 80u);

  EXPECT_EQ(RecentItemID(" 123456789 = Anna = B"), "123456789");
  EXPECT_EQ(RecentItemName(" 123456789 = Anna = B"), "Anna = B");
  EXPECT_EQ(RecentItemID("123456789"), "123456789");
  EXPECT_EQ(RecentNames({"123456789=Anna", "987654321=", "555000111"}),
            (std::map<std::string, std::string>{{"123456789", "Anna"}}));
  EXPECT_EQ(RecentItemName("123456789"), "");
}

TEST_F(RecentList, LoadKeepsDigitsDropsBadIdsAndFirstOccurrenceWins) {
  Store.Section = TIniPairs{{"Count", "5"},          {"Id0", "111111111"}, {"Name0", "First"},
                            {"Id1", "123 456 789"},  {"Name1", "Spaced"},  {"Id2", "12345678"},
                            {"Name2", "Eight"},      {"Id3", "111111111"}, {"Name3", "Again"},
                            {"id4", "222222222"},    {"NAME4", "Case=Less"},
                            {"Id5", "333333333"},    {"Name5", "Beyond Count"}};
  List.Load();
  EXPECT_EQ(List.Lines(), (std::vector<std::string>{"111111111=First", "123456789=Spaced", "222222222=Case Less"}));
  EXPECT_FALSE(List.Dirty());
  EXPECT_EQ(Store.Writes, 0);
}

TEST_F(RecentList, LoadBoundsAHugeCountByTheKeysPresent) {
  Store.Section = TIniPairs{{"Count", "2147483647"}, {"Id999999", "444444444"}, {"Id7", "555555555"}};
  List.Load();
  EXPECT_EQ(List.Lines(), (std::vector<std::string>{"555555555="}));
  Store.Section = TIniPairs{{"Count", "-4"}, {"Id0", "555555555"}};
  List.Load();
  EXPECT_TRUE(List.Lines().empty());
  Store.Section = std::nullopt;  // unreadable file
  List.Load();
  EXPECT_TRUE(List.Lines().empty());
  // A file with more than 200 entries loads the first 200.
  TIniPairs many{{"Count", "250"}};
  for (int i = 0; i < 250; ++i) many.emplace_back("Id" + std::to_string(i), Id(i));
  Store.Section = many;
  List.Load();
  EXPECT_EQ(List.Count(), kMaxRecent);
}

TEST_F(RecentList, AddMovesToTopAndEvictsByTheRules) {
  struct Case {
    const char* What;
    int Start;          // entries before (ids 0..Start-1, newest first)
    bool Named;         // all of them named
    int UnnamedAt;      // with Named: this index unnamed (-1 none)
    std::string Added;
    std::vector<std::string> WantHead;  // the first lines afterwards
    std::size_t WantCount;
    std::string Gone;  // an id no longer in the list ("" none)
  };
  const std::vector<Case> cases = {
      {"new id on an empty list", 0, false, -1, Id(500), {Id(500) + "="}, 1, ""},
      {"known id keeps its name", 3, true, -1, Id(2), {Id(2) + "=PC 2", Id(0) + "=PC 0", Id(1) + "=PC 1"}, 3, ""},
      {"201st when all named drops the oldest", 200, true, -1, Id(900), {Id(900) + "="}, 200, Id(199)},
      {"201st drops the oldest unnamed", 200, true, 50, Id(900), {Id(900) + "="}, 200, Id(50)},
      {"201st with all unnamed drops the last", 200, false, -1, Id(900), {Id(900) + "="}, 200, Id(199)},
  };
  for (const auto& c : cases) {
    std::vector<std::string> lines;
    for (int i = 0; i < c.Start; ++i)
      lines.push_back(Id(i) + "=" + (c.Named && i != c.UnnamedAt ? "PC " + std::to_string(i) : ""));
    List.ApplyFromSync(lines);
    Uploads.clear();
    EXPECT_TRUE(List.Add(c.Added)) << c.What;
    EXPECT_EQ(List.Count(), c.WantCount) << c.What;
    for (std::size_t i = 0; i < c.WantHead.size(); ++i) EXPECT_EQ(List.Lines()[i], c.WantHead[i]) << c.What;
    if (!c.Gone.empty()) {
      EXPECT_LT(List.IndexOfID(c.Gone), 0) << c.What;
    }
    EXPECT_EQ(Uploads.size(), 1u) << c.What;
    EXPECT_FALSE(List.Dirty()) << c.What;
  }
  // Not 9 digits, or already on top: nothing changes.
  for (const char* bad : {"12345678", "1234567890", "12345678a", ""}) EXPECT_FALSE(List.Add(bad)) << bad;
  EXPECT_FALSE(List.Add(Id(900)));
}

TEST_F(RecentList, RenameAndForget) {
  Fill(3, false);
  Uploads.clear();
  EXPECT_TRUE(List.Rename(Id(1), "  Front=desk\t "));
  EXPECT_EQ(List.NameOf(Id(1)), "Front desk");
  EXPECT_FALSE(List.Rename(Id(1), "Front desk"));  // same name
  EXPECT_FALSE(List.Rename(Id(7), "Nobody"));      // not in the list
  EXPECT_TRUE(List.Rename(Id(1), ""));
  EXPECT_EQ(List.Lines()[1], Id(1) + "=");
  EXPECT_TRUE(List.Forget(Id(0)));
  EXPECT_FALSE(List.Forget(Id(0)));
  EXPECT_EQ(List.Lines(), (std::vector<std::string>{Id(1) + "=", Id(2) + "="}));
  EXPECT_EQ(Uploads.size(), 3u);
}

TEST_F(RecentList, SaveWritesTheWholeSectionOnceAndRoundTrips) {
  Fill(2, true);
  ASSERT_EQ(Store.Writes, 1);
  List.Rename(Id(0), "Anna");
  EXPECT_EQ(Store.Writes, 2);
  EXPECT_EQ(*Store.Section, (TIniPairs{{"Count", "2"}, {"Id0", Id(0)}, {"Name0", "Anna"}, {"Id1", Id(1)},
                                       {"Name1", "PC 1"}}));
  EXPECT_TRUE(List.Save());  // unchanged: no write
  EXPECT_EQ(Store.Writes, 2);
  TRecentList again(Store);
  again.Load();
  EXPECT_EQ(again.Lines(), List.Lines());
}

TEST_F(RecentList, AFailedSaveIsLoggedAndRetriedOnTheNextTickWhileTheTextDiffers) {
  Fill(2, false);
  Store.Fail = true;
  EXPECT_TRUE(List.Add(Id(5)));
  ASSERT_EQ(Logs.size(), 1u);
  EXPECT_EQ(Logs[0], "Could not save the saved PCs in /home/u/.config/Tovik/Tovik.ini: No space left on device");
  EXPECT_EQ(List.Lines().front(), Id(5) + "=");  // the list in memory keeps the change
  EXPECT_TRUE(List.Dirty());
  const int writes = Store.Writes;
  List.Tick();
  EXPECT_EQ(Store.Writes, writes + 1);
  Store.Fail = false;
  List.Tick();
  EXPECT_FALSE(List.Dirty());
  EXPECT_EQ(Store.Section->at(1).second, Id(5));
  const int done = Store.Writes;
  List.Tick();
  EXPECT_EQ(Store.Writes, done);
}

TEST_F(RecentList, AListFromSyncIsSavedButNotUploadedBack) {
  const std::vector<std::string> in = {"111111111=A", " 222222222 = B=C ", "bad=x", "111111111=dup", "333333333"};
  EXPECT_TRUE(List.ApplyFromSync(in));
  EXPECT_EQ(List.Lines(), (std::vector<std::string>{"111111111=A", "222222222=B C", "333333333="}));
  EXPECT_FALSE(List.Dirty());
  EXPECT_TRUE(Uploads.empty());
  EXPECT_FALSE(List.ApplyFromSync(in));
}

TEST(RecentFile, SectionWriteReplacesOnlyTheSection) {
  test::TTempDir dir;
  const std::string ini = dir / "Tovik.ini";
  test::WriteFile(ini, "[Book]\r\nStamp=5\r\n[Recent]\r\nCount=1\r\nId0=999999999\r\nStale=1\r\n[UI]\r\nTheme=2\r\n");
  TIniRecentStore store(ini);
  TRecentList list(store);
  list.Load();
  EXPECT_EQ(list.Lines(), (std::vector<std::string>{"999999999="}));
  list.Add("123456789");
  list.Rename("123456789", "Shop");
  const std::string text = test::ReadFile(ini);
  EXPECT_EQ(text,
            "[Book]\r\nStamp=5\r\n[Recent]\r\nCount=2\r\nId0=123456789\r\nName0=Shop\r\nId1=999999999\r\nName1=\r\n\r\n"
            "[UI]\r\nTheme=2\r\n");
}
