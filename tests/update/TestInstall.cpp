// Putting a checked program file in place: the steps, a kill at every step, the build record and the
// package manager's file lists.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "base/TovikFiles.h"
#include "crypto/TovikCrypto.h"
#include "update/TovikEmbed.h"
#include "update/TovikDownload.h"
#include "update/TovikInstall.h"
#include "update/TovikUpdate.h"
#include "update/TovikVersion.h"

namespace tovik {
namespace {

namespace fs = std::filesystem;

std::string ReadFile(const std::string& path) {
  std::string out;
  ReadWholeFile(path, out, 1 << 30);
  return out;
}

class InstallFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/tovik-inst-XXXXXX";
    Dir = ::mkdtemp(tmpl);
    Program = Dir + "/tovik";
    Ready = Dir + "/ready";
    WriteFileAtomic(Program, Old, 0755);
    WriteFileAtomic(Ready, New, 0600);
    Info = TUpdateInfo{413, static_cast<std::int64_t>(New.size()), AsciiLower(BytesToHex(Sha256(Utf8Bytes(New)))),
                       "https://x/y"};
  }
  void TearDown() override { fs::remove_all(Dir); }

  std::string Dir, Program, Ready;
  std::string Old = std::string(100'000, 'o');
  std::string New = std::string(150'000, 'n');
  TUpdateInfo Info;
};

TEST_F(InstallFiles, KeepsSettingsAndThePreviousBuild) {
  std::string old;
  ASSERT_EQ(InstallProgramFile(Ready, Info, Program, "[Update]\nUrl=http://company/tovik/update.txt\n", 77, old), "");
  EXPECT_EQ(old, Program + ".old");
  EXPECT_EQ(ReadFile(old), Old);
  EXPECT_EQ(ReadBuiltInSettings(Program), "[Update]\nUrl=http://company/tovik/update.txt\n");
  EXPECT_EQ(ReadFile(Program).substr(0, New.size()), New);
  EXPECT_TRUE(fs::status(Program).permissions() == static_cast<fs::perms>(0755));
  EXPECT_FALSE(fs::exists(NewFileName(Program)));
  ASSERT_EQ(RollBackInstall(Program, old), "");
  EXPECT_EQ(ReadFile(Program), Old);
}

TEST_F(InstallFiles, OldNameTakesTheTickWhenTheOldCopyStays) {
  // "<program>.old" that cannot be deleted (a folder of that name here): the tick count makes it unique.
  fs::create_directory(Program + ".old");
  EXPECT_EQ(ChooseOldName(Program, 123456), Program + ".old123456");
  fs::remove(Program + ".old");
  EXPECT_EQ(ChooseOldName(Program, 123456), Program + ".old");
  WriteFileAtomic(Program + ".old42", "x");
  WriteFileAtomic(Program + ".new", "x");
  WriteFileAtomic(Program + ".older-notes", "x");
  DeleteOldCopies(Program);
  EXPECT_FALSE(fs::exists(Program + ".old42"));
  EXPECT_FALSE(fs::exists(Program + ".new"));
  EXPECT_TRUE(fs::exists(Program + ".older-notes"));
}

// A kill -9 at any step leaves a complete program, the old or the new one, at the program's path.
TEST_F(InstallFiles, KillAtEveryStepLeavesAWorkingProgram) {
  for (int killAt = 1; killAt <= 5; ++killAt) {
    WriteFileAtomic(Program, Old, 0755);
    ::chmod(Program.c_str(), 0755);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      std::string old;
      InstallProgramFile(Ready, Info, Program, "", 1, old, [killAt](int step) {
        if (step == killAt) ::raise(SIGKILL);
      });
      ::_exit(0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status)) << "step " << killAt;
    const std::string now = ReadFile(Program);
    EXPECT_TRUE(now == Old || now == New) << "step " << killAt << ": " << now.size() << " bytes";
    EXPECT_EQ(now == New, killAt == 5) << "step " << killAt;
    EXPECT_EQ(::access(Program.c_str(), X_OK), 0) << "step " << killAt;
    DeleteOldCopies(Program);
  }
}

TEST_F(InstallFiles, BuildRecordIsReadAndStamped) {
  // This test program carries the record of the update library; a copy gets another number.
  const std::string copy = Dir + "/copy";
  fs::copy_file("/proc/self/exe", copy);
  EXPECT_EQ(ReadFileBuild(copy), OwnBuild());
  ASSERT_TRUE(StampFileBuild(copy, 4242));
  EXPECT_EQ(ReadFileBuild(copy), 4242);
  EXPECT_EQ(ReadFileBuild(Program), 0);  // no record
  EXPECT_FALSE(StampFileBuild(Program, 1));
  const TBytes key = TEcdsaKey::CreateNew().Public();
  EXPECT_TRUE(StampFileUpdateKey(copy, key));
  EXPECT_EQ(ReadFileBuild(copy), 4242) << "the key record is not the build record";
  EXPECT_FALSE(StampFileUpdateKey(copy, TBytes(63, 1)));
  EXPECT_FALSE(StampFileUpdateKey(Program, key));
}

TEST_F(InstallFiles, PackageManagerListsNameTheProgram) {
  const std::string info = Dir + "/info";
  fs::create_directory(info);
  WriteFileAtomic(info + "/other.list", "/.\n/usr\n/usr/bin/tovik-relay\n");
  EXPECT_FALSE(InstalledByDpkg(Program, info));
  WriteFileAtomic(info + "/tovik.list", "/.\n/usr\n" + Program + "\n/usr/share/tovik");
  EXPECT_TRUE(InstalledByDpkg(Program, info));
  EXPECT_FALSE(InstalledByDpkg(Program + "x", info));
  EXPECT_FALSE(InstalledByDpkg(Program, Dir + "/none"));
}

}  // namespace
}  // namespace tovik

namespace tovik {
namespace {

// The elevated step replaces only its own program file, and only with bytes that the update file it
// reads itself has signed.
TEST_F(InstallFiles, ElevatedApplyTrustsNothingItIsTold) {
  const TEcdsaKey vendor = TEcdsaKey::CreateNew();  // a test key pair
  const TEcdsaKey other = TEcdsaKey::CreateNew();
  const std::string signedFile = Dir + "/update.txt";
  const std::string forged = Dir + "/forged.txt";
  WriteFileAtomic(signedFile, SignUpdateFile(Info, vendor));
  WriteFileAtomic(forged, SignUpdateFile(Info, other));
  const std::string elsewhere = Dir + "/other/tovik";  // any other file of that name
  fs::create_directory(Dir + "/other");
  WriteFileAtomic(elsewhere, Old, 0755);
  const std::string link = Dir + "/update-link.txt";
  fs::create_symlink(signedFile, link);
  std::string swapped = New;
  swapped[5] = 'X';
  const std::string swappedReady = Dir + "/swapped";
  WriteFileAtomic(swappedReady, swapped);

  struct Case {
    const char* What;
    std::string Target, Ready, UpdateFile;
    int OwnBuild;
    std::string Why;
  };
  const Case cases[] = {
      {"another file named tovik", elsewhere, Ready, signedFile, 412, "only the installed program itself can be replaced"},
      {"signed with another key", Program, Ready, forged, 412,
       "update file refused: the signature of the update file is not valid"},
      {"update file through a link", Program, Ready, link, 412, "cannot read the update file"},
      {"not newer", Program, Ready, signedFile, 413, "build 413 is not newer than 413"},
      {"ready file swapped", Program, swappedReady, signedFile, 412, kWrongHash},
      {"all checked", Program, Ready, signedFile, 412, ""},
  };
  for (const Case& c : cases) {
    std::string why;
    const int code = ApplyUpdateElevated(c.Target, Program, c.Ready, c.UpdateFile, vendor.Public(), c.OwnBuild, 1, why);
    EXPECT_EQ(why, c.Why) << c.What;
    EXPECT_EQ(code, c.Why.empty() ? 0 : 1) << c.What;
    EXPECT_TRUE(ReadFile(elsewhere) == Old) << c.What;
    EXPECT_EQ(ReadFile(Program) == New, c.Why.empty()) << c.What;
  }
}

}  // namespace
}  // namespace tovik
