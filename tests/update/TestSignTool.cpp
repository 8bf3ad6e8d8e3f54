// tovik-sign, run as a program: a new key pair, stamps, and an update file that the parser accepts
// with the printed public key (and only with it).
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>

#include "base/TovikFiles.h"
#include "crypto/TovikCrypto.h"
#include "update/TovikDownload.h"
#include "update/TovikUpdateFile.h"
#include "update/TovikVersion.h"

namespace tovik {
namespace {

namespace fs = std::filesystem;

// Runs the tool with the arguments; its standard output, and its exit code in ACode.
std::string Sign(const std::string& args, int& ACode) {
  std::string out;
  FILE* p = ::popen((std::string(TOVIK_SIGN_BIN) + " " + args + " 2>/dev/null").c_str(), "r");
  if (!p) return out;
  char buf[512];
  while (std::fgets(buf, sizeof buf, p)) out += buf;
  const int status = ::pclose(p);
  ACode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return out;
}

TEST(SignTool, MakesUpdateFilesTheProgramAccepts) {
  char tmpl[] = "/tmp/tovik-sign-XXXXXX";
  const std::string dir = ::mkdtemp(tmpl);
  const std::string key = dir + "/vendor.key";
  int code = -1;
  const std::string made = Sign("--new-key " + key, code);
  ASSERT_EQ(code, 0);
  ASSERT_EQ(made.rfind("TOVIK_UPDATE_KEY=", 0), 0u) << made;
  const std::string pub = made.substr(17, 128);
  EXPECT_EQ(fs::status(key).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(Sign("--public " + key, code), made);
  Sign("--new-key " + key, code);
  EXPECT_EQ(code, 1) << "an existing key file is never overwritten";

  // A program file with a build record: this test program, copied and stamped.
  const std::string program = dir + "/tovik";
  fs::copy_file("/proc/self/exe", program);
  Sign("--stamp-build 4321 " + program, code);
  ASSERT_EQ(code, 0);
  EXPECT_EQ(ReadFileBuild(program), 4321);
  Sign("--stamp-key " + pub + " " + program, code);
  EXPECT_EQ(code, 0);
  Sign("--stamp-key 1234 " + program, code);
  EXPECT_EQ(code, 1);

  const std::string text = Sign("--key " + key + " --url https://example.invalid/tovik " + program, code);
  ASSERT_EQ(code, 0);
  TUpdateInfo info;
  std::string reason;
  ASSERT_TRUE(ParseUpdateFile(text, HexToBytes(pub), info, reason)) << reason;
  EXPECT_EQ(info.Build, 4321);
  EXPECT_EQ(info.Size, static_cast<std::int64_t>(fs::file_size(program)));
  EXPECT_EQ(info.Sha256, FileSha256(program));
  EXPECT_FALSE(ParseUpdateFile(text, TEcdsaKey::CreateNew().Public(), info, reason));
  EXPECT_EQ(Sign("--key " + key + " --url https://x/y --build 0 " + program, code), "");
  EXPECT_EQ(code, 1);
  Sign("--bogus", code);
  EXPECT_EQ(code, 2);
  fs::remove_all(dir);
}

}  // namespace
}  // namespace tovik
