#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>

#include "base/TovikClock.h"
#include "base/TovikLog.h"
#include "TestTempDir.h"

using namespace tovik;
using namespace tovik::test;

namespace {

// Local time is UTC for these tests, and the wall clock reads 2023-11-14 22:13:20.042.
class LogFile : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* tz = std::getenv("TZ")) FOldTz = tz;
    ::setenv("TZ", "UTC", 1);
    ::tzset();
  }
  void TearDown() override {
    if (FOldTz) ::setenv("TZ", FOldTz->c_str(), 1);
    else ::unsetenv("TZ");
    ::tzset();
  }
  TManualClock FClock{1'000'000, 1'700'000'000'042};
  TTempDir FDir;
  std::string FPath = FDir / "Tovik.log";
  std::optional<std::string> FOldTz;
};

}  // namespace

TEST_F(LogFile, LineFormats) {
  TLogWriter log(FPath);
  log.Line("--- Tovik started (build 412) ---");
  AppendSessionLine(FPath, "session created (viewer=True)");
  log.Line("Grüße \xE2\x9C\x93");
  EXPECT_EQ(ReadFile(FPath),
            "2023-11-14 22:13:20  --- Tovik started (build 412) ---\r\n"
            "2023-11-14 22:13:20.042  [sess] session created (viewer=True)\r\n"
            "2023-11-14 22:13:20  Grüße \xE2\x9C\x93\r\n");
  EXPECT_EQ(FormatLocalStamp(-1, true), "1969-12-31 23:59:59.999");
  // The line the session log writes, for any stamp.
  EXPECT_EQ(SessionLine("destroy end", 1700000000123), "2023-11-14 22:13:20.123  [sess] destroy end");
  EXPECT_EQ(SessionLine("", 0), "1970-01-01 00:00:00.000  [sess] ");
}

TEST_F(LogFile, RotatesOnlyAboveTwoMebibytes) {
  const std::string line = "2023-11-14 22:13:20  next\r\n";
  const std::string rotated = FPath + ".1";
  WriteFile(rotated, "an older generation");
  WriteFile(FPath, std::string(kLogRotateBytes, 'x'));  // exactly 2,097,152 bytes: not above the limit
  TLogWriter log(FPath);

  log.Line("next");
  EXPECT_EQ(std::filesystem::file_size(FPath), kLogRotateBytes + line.size());
  EXPECT_EQ(ReadFile(rotated), "an older generation");

  log.Line("next");  // now above: the log becomes ".1" and a new one begins with this line
  EXPECT_EQ(ReadFile(FPath), line);
  EXPECT_EQ(std::filesystem::file_size(rotated), kLogRotateBytes + line.size());

  AppendSessionLine(FPath, "no rotation here");
  log.Line("next");
  EXPECT_EQ(ReadFile(FPath), line + "2023-11-14 22:13:20.042  [sess] no rotation here\r\n" + line);
}

TEST_F(LogFile, FailuresAreSilent) {
  const std::string inMissingFolder = FDir / "missing/Tovik.log";
  EXPECT_NO_THROW(TLogWriter(inMissingFolder).Line("lost"));
  EXPECT_NO_THROW(AppendSessionLine(inMissingFolder, "lost"));
  EXPECT_NO_THROW(TLogWriter().Line("no path"));
  EXPECT_FALSE(Exists(FDir / "missing"));
  std::filesystem::create_directory(FPath);  // the log path is a folder
  EXPECT_NO_THROW(TLogWriter(FPath).Line("lost"));
  EXPECT_TRUE(std::filesystem::is_directory(FPath));
}
