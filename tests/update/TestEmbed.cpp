#include <gtest/gtest.h>
#include <sys/stat.h>

#include "base/TovikBytes.h"
#include "update/TovikEmbed.h"
#include "tests/base/TestTempDir.h"

using namespace tovik;
using namespace tovik::test;

namespace {

std::string Trailer(std::uint32_t len, std::string_view magic = kBuiltInMagic) {
  TBytes t;
  PutU32LE(t, len);
  Append(t, BytesOf(magic));
  return StringOf(t);
}

class Embed : public ::testing::Test {
 protected:
  void SetUp() override {
    for (int i = 0; i < 5000; ++i) FProgram.push_back(static_cast<char>(i * 7));
    WriteFile(FSource, FProgram);
    ::chmod(FSource.c_str(), 0755);
  }
  TTempDir FDir;
  std::string FSource = FDir / "tovik";
  std::string FDest = FDir / "tovik-custom";
  std::string FProgram;
};

}  // namespace

TEST_F(Embed, WritesAndReadsBack) {
  const std::string settings = "[Relay]\r\nHost=relay.example.org\r\nPort=5000\r\n";
  WriteWithSettings(FSource, FDest, settings);
  EXPECT_EQ(ReadFile(FDest), FProgram + settings + Trailer(settings.size()));
  EXPECT_EQ(ReadBuiltInSettings(FDest), settings);
  EXPECT_EQ(ReadBuiltInSettings(FSource), "");
  struct stat st {};
  ASSERT_EQ(::stat(FDest.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0755u);  // still a program
}

TEST_F(Embed, SecondWriteReplacesTheBlock) {
  const std::string copy = FDir / "copy";
  WriteWithSettings(FSource, FDest, "[Brand]\r\nName=First\r\n");
  WriteWithSettings(FDest, copy, "[Brand]\r\nName=Second\r\n");
  const std::string second = "[Brand]\r\nName=Second\r\n";
  EXPECT_EQ(ReadFile(copy), FProgram + second + Trailer(second.size()));
  WriteWithSettings(copy, copy, "");  // in place; an empty block reads as none
  EXPECT_EQ(ReadFile(copy), FProgram + Trailer(0));
  EXPECT_EQ(ReadBuiltInSettings(copy), "");
}

TEST_F(Embed, SizeLimitIsOneMebibyte) {
  const std::string largest(kMaxBuiltInSettings, 'a');
  WriteWithSettings(FSource, FDest, largest);
  EXPECT_EQ(ReadBuiltInSettings(FDest), largest);

  const std::string other = FDir / "other";
  try {
    WriteWithSettings(FSource, other, largest + "a");
    FAIL() << "no exception";
  } catch (const ETovikEmbed& e) {
    EXPECT_STREQ(e.what(), "The settings to build in are too large");
  }
  EXPECT_FALSE(Exists(other));
  // A block of more than 1 MiB in a file is not a block.
  WriteFile(other, FProgram + largest + "a" + Trailer(kMaxBuiltInSettings + 1));
  EXPECT_EQ(ReadBuiltInSettings(other), "");
}

TEST_F(Embed, DamagedTrailersCountAsNoBlock) {
  struct Case {
    const char* Name;
    std::string File;
  };
  const Case cases[] = {
      {"wrong magic", FProgram + "abc" + Trailer(3, "TOVIKCFX")},
      {"magic in lower case", FProgram + "abc" + Trailer(3, "tovikcfg")},
      {"zero length", FProgram + Trailer(0)},
      {"longer than the file", "abc" + Trailer(4)},
      {"shorter than a trailer", "TOVIKCFG"},
      {"empty file", ""},
  };
  for (const auto& c : cases) {
    WriteFile(FDest, c.File);
    EXPECT_EQ(ReadBuiltInSettings(FDest), "") << c.Name;
  }
  // Writing over a trailer that is not a block keeps those bytes as program bytes.
  const std::string damaged = "abc" + Trailer(4);
  WriteFile(FSource, damaged);
  WriteWithSettings(FSource, FDest, "x");
  EXPECT_EQ(ReadFile(FDest), damaged + "x" + Trailer(1));
  EXPECT_EQ(ReadBuiltInSettings(FDir / "missing"), "");
}

TEST_F(Embed, MalformedUtf8IsReplaced) {
  const std::string text = "[Brand]\nName=A\xFF";
  WriteFile(FDest, FProgram + text + Trailer(text.size()));
  EXPECT_EQ(ReadBuiltInSettings(FDest), "[Brand]\nName=A\xEF\xBF\xBD");
}

TEST_F(Embed, MissingSourceRaises) {
  EXPECT_THROW(WriteWithSettings(FDir / "missing", FDest, "x"), ETovikEmbed);
  EXPECT_FALSE(Exists(FDest));
}

TEST(EmbedRunning, TestProgramHasNoBlock) { EXPECT_TRUE(BuiltInSettings().Empty()); }
