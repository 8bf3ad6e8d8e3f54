#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "base/TovikIni.h"
#include "TestTempDir.h"

using namespace tovik;
using namespace tovik::test;

namespace {

const char* const kSample =
    "\xEF\xBB\xBF"
    "Stray=before any section\r\n"
    "; a comment=not a key\r\n"
    "[Relay]\r\n"
    "  host  =  relay.example.org  \r\n"
    "Port=47801\n"
    "Key=\r"
    "Quoted=\"  spaced  \"\r\n"
    "Single='x'\r\n"
    "Half=\"x\r\n"
    "Host=second value loses\r\n"
    "# Hash=comment\r\n"
    "[ relay ]\r\n"
    "Extra=in a later section of the same name\r\n"
    "[UI]\r\n"
    "Theme = 7\r\n"
    "Empty=\r\n";

}  // namespace

TEST(IniText, ReadsLikePrivateProfile) {
  TIniText ini(kSample);
  struct Case {
    const char* Section;
    const char* Key;
    std::optional<std::string> Want;
  };
  const Case cases[] = {
      {"relay", "HOST", "relay.example.org"},  // case, blanks round name and value
      {"Relay", "Port", "47801"},              // LF line end
      {"Relay", "Key", ""},                    // CR line end, present and empty
      {"Relay", "Quoted", "  spaced  "},       // one pair of quotes removed, inside kept
      {"Relay", "Single", "x"},
      {"Relay", "Half", "\"x"},
      {"Relay", "Extra", std::nullopt},  // only the first section of a name counts
      {"Relay", "Hash", std::nullopt},
      {"", "Stray", std::nullopt},
      {"UI", "Theme", "7"},
      {"UI", "Empty", ""},
      {"UI", "Missing", std::nullopt},
      {"Nope", "Theme", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(ini.Find(c.Section, c.Key), c.Want) << c.Section << "/" << c.Key;
  EXPECT_EQ(ini.ReadString("UI", "Empty", "def"), "");  // empty hides the default
  EXPECT_EQ(ini.ReadString("UI", "Missing", "def"), "def");
  EXPECT_EQ(ini.ReadInt("UI", "Theme", 0), 7);
  EXPECT_EQ(ini.ReadInt("UI", "Empty", 5), 5);
}

TEST(IniText, ParsesIntegersOrGivesDefault) {
  struct Case {
    const char* Text;
    std::int32_t Want;
  };
  const Case cases[] = {{"0", 0},           {"42", 42},         {" -1 ", -1},       {"+7", 7},
                        {"0x1F", 31},       {"$ff", 255},       {"2147483647", 2147483647},
                        {"-2147483648", INT32_MIN},             {"2147483648", -99}, {"", -99},
                        {"12a", -99},       {"0x", -99},        {"-", -99},         {"1 2", -99}};
  for (const auto& c : cases) EXPECT_EQ(ParseIniInt(c.Text, -99), c.Want) << c.Text;
  EXPECT_EQ(ParseIniInt64("1700000000000", 0), 1700000000000);
}

class IniFile : public ::testing::Test {
 protected:
  TTempDir FDir;
  std::string FPath = FDir / "Tovik.ini";
};

TEST_F(IniFile, MissingFileReadsDefaults) {
  EXPECT_EQ(IniFind(FPath, "Relay", "Host"), std::nullopt);
  EXPECT_EQ(IniReadString(FPath, "Relay", "Host", "d"), "d");
  EXPECT_EQ(IniReadInt(FPath, "Relay", "Port", 47800), 47800);
}

TEST_F(IniFile, WritesKeepOtherLinesAndUseCrLf) {
  WriteFile(FPath, "; settings\n[Relay]\nHost=a\n\n[UI]\nTheme=1\n");
  ASSERT_TRUE(IniWriteString(FPath, "relay", "HOST", "b"));      // replaced in place
  ASSERT_TRUE(IniWriteString(FPath, "Relay", "Port", "5000"));   // added before the blank line
  ASSERT_TRUE(IniWriteInt(FPath, "ID", "Pinned", 123456789));    // new section at the end
  EXPECT_EQ(ReadFile(FPath),
            "; settings\r\n[Relay]\r\nHOST=b\r\nPort=5000\r\n\r\n[UI]\r\nTheme=1\r\n\r\n[ID]\r\nPinned=123456789\r\n");
  EXPECT_EQ(IniReadString(FPath, "relay", "host", ""), "b");
}

TEST_F(IniFile, CreatesMissingFile) {
  ASSERT_TRUE(IniWriteString(FPath, "UI", "Theme", "2"));
  EXPECT_EQ(ReadFile(FPath), "[UI]\r\nTheme=2\r\n");
  struct stat st {};
  ASSERT_EQ(::stat(FPath.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(IniFile, DeleteEraseAndWriteSection) {
  WriteFile(FPath, "[Recent]\r\nCount=2\r\nId1=1\r\nId2=2\r\n\r\n[UI]\r\nTheme=1\r\n[recent]\r\nId9=9\r\n");
  ASSERT_TRUE(IniDeleteKey(FPath, "RECENT", "id1"));
  EXPECT_EQ(IniFind(FPath, "Recent", "Id1"), std::nullopt);
  EXPECT_EQ(IniFind(FPath, "Recent", "Id2"), "2");

  ASSERT_TRUE(IniWriteSection(FPath, "Recent", {{"Count", "1"}, {"Id1", "7"}}));
  EXPECT_EQ(ReadFile(FPath), "[Recent]\r\nCount=1\r\nId1=7\r\n\r\n[UI]\r\nTheme=1\r\n");

  ASSERT_TRUE(IniEraseSection(FPath, "recent"));
  EXPECT_EQ(ReadFile(FPath), "[UI]\r\nTheme=1\r\n");

  // Nothing to remove: success, and the file is not rewritten.
  struct stat before {}, after {};
  ::stat(FPath.c_str(), &before);
  EXPECT_TRUE(IniEraseSection(FPath, "Nope"));
  EXPECT_TRUE(IniDeleteKey(FPath, "UI", "Nope"));
  EXPECT_TRUE(IniDeleteKey(FDir / "missing.ini", "UI", "Theme"));
  ::stat(FPath.c_str(), &after);
  EXPECT_EQ(before.st_ino, after.st_ino);
  EXPECT_FALSE(Exists(FDir / "missing.ini"));
}

// A batch lands whole: every edit in one write, or none when any of them is invalid.
TEST_F(IniFile, BatchWritesAllOrNothing) {
  WriteFile(FPath, "[Relay]\r\nHost=a\r\nKey=K\r\n[UI]\r\nTheme=1\r\n");
  ASSERT_TRUE(IniWriteBatch(FPath, {{"Relay", "host", "b"}, {"Relay", "Key", std::nullopt}, {"Profile", "Name", "Anna"},
                                    {"UI", "Theme", "2"}}));
  EXPECT_EQ(ReadFile(FPath), "[Relay]\r\nhost=b\r\n[UI]\r\nTheme=2\r\n\r\n[Profile]\r\nName=Anna\r\n");
  const std::string before = ReadFile(FPath);
  EXPECT_FALSE(IniWriteBatch(FPath, {{"UI", "Theme", "0"}, {"Profile", "Name", "x\ny=1"}}));
  EXPECT_FALSE(IniWriteBatch(FPath, {{"UI", "Theme", "0"}, {"Bad]", "K", "v"}}));
  EXPECT_EQ(ReadFile(FPath), before);
  // Removing what is not there changes nothing and leaves the file as it was.
  struct stat a {}, b {};
  ::stat(FPath.c_str(), &a);
  EXPECT_TRUE(IniWriteBatch(FPath, {{"UI", "Nope", std::nullopt}}));
  EXPECT_TRUE(IniWriteBatch(FPath, {}));
  ::stat(FPath.c_str(), &b);
  EXPECT_EQ(a.st_ino, b.st_ino);
}

TEST_F(IniFile, RefusesWritesThatWouldForgeLines) {
  WriteFile(FPath, "[UI]\r\nTheme=1\r\n");
  const std::string before = ReadFile(FPath);
  EXPECT_FALSE(IniWriteString(FPath, "Profile", "Name", "Bob\r\n[Admin]\r\nAutoElevate=1"));
  EXPECT_FALSE(IniWriteString(FPath, "Profile", "Na=me", "x"));
  EXPECT_FALSE(IniWriteString(FPath, "Pro]file", "Name", "x"));
  EXPECT_FALSE(IniWriteString(FPath, "", "Name", "x"));
  EXPECT_FALSE(IniWriteSection(FPath, "Recent", {{"Id1", "a\nb"}}));
  EXPECT_EQ(ReadFile(FPath), before);
}

TEST_F(IniFile, NeverOverwritesAFileItCannotRead) {
  // A file above the size limit is unreadable for the settings: a write must fail, not replace it.
  WriteFile(FPath, "[UI]\r\nTheme=1\r\n");
  ASSERT_EQ(::truncate(FPath.c_str(), static_cast<off_t>(kMaxIniBytes) + 1), 0);
  TFileResult r = IniWriteString(FPath, "UI", "Theme", "2");
  EXPECT_FALSE(r);
  EXPECT_FALSE(r.Error.empty());
  EXPECT_EQ(std::filesystem::file_size(FPath), kMaxIniBytes + 1);
  EXPECT_EQ(IniFind(FPath, "UI", "Theme"), std::nullopt);
}

TEST_F(IniFile, WriteFailureReportsTheSystemText) {
  TFileResult r = IniWriteString(FDir / "no/such/folder/Tovik.ini", "UI", "Theme", "1");
  EXPECT_FALSE(r);
  EXPECT_EQ(r.Errno, ENOENT);
  EXPECT_EQ(r.Error, "No such file or directory");
}

TEST_F(IniFile, WritesThroughASymbolicLink) {
  const std::string real = FDir / "real.ini";
  WriteFile(real, "[UI]\r\nTheme=1\r\n");
  std::filesystem::create_symlink(real, FPath);
  ASSERT_TRUE(IniWriteString(FPath, "UI", "Theme", "2"));
  EXPECT_TRUE(std::filesystem::is_symlink(FPath));
  EXPECT_EQ(IniFind(real, "UI", "Theme"), "2");
}

// At no moment does the file on disk hold anything but a complete old or new content, so a process
// killed at any moment of a write leaves one of them. A child rewrites the file in a loop while this
// process looks at it many times, then kills the child.
TEST_F(IniFile, KillDuringWritesLeavesOldOrNewFile) {
  auto state = [](char c) {
    TIniPairs keys;
    for (int i = 0; i < 100; ++i) keys.emplace_back("Key" + std::to_string(i), std::string(100, c));
    return keys;
  };
  ASSERT_TRUE(IniWriteSection(FPath, "Recent", state('B')));
  const std::string b = ReadFile(FPath);
  ASSERT_TRUE(IniWriteSection(FPath, "Recent", state('A')));
  const std::string a = ReadFile(FPath);

  for (int round = 0; round < 3; ++round) {
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::close(ready[0]);
      for (int n = 0;; ++n) {
        IniWriteSection(FPath, "Recent", state(n % 2 ? 'A' : 'B'));
        if (n == 1) [[maybe_unused]] auto w = ::write(ready[1], "x", 1);
      }
    }
    ::close(ready[1]);
    char c;
    ASSERT_EQ(::read(ready[0], &c, 1), 1);  // the child is now busy writing
    int broken = 0;
    std::string seen;
    for (int look = 0; look < 100; ++look)
      if (!ReadWholeFile(FPath, seen, kMaxIniBytes) || (seen != a && seen != b)) ++broken;
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ::close(ready[0]);
    EXPECT_EQ(broken, 0) << "round " << round;
    const std::string now = ReadFile(FPath);
    EXPECT_TRUE(now == a || now == b) << "round " << round << ": " << now.size() << " bytes";
    const std::string last = IniReadString(FPath, "Recent", "Key99", "");
    EXPECT_TRUE(last == std::string(100, 'A') || last == std::string(100, 'B'));
  }
}
