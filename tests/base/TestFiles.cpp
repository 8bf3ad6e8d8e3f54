// The descriptor owner, WriteAll, and files only this user may touch.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <utility>

#include "base/TovikFiles.h"
#include "TestTempDir.h"

using namespace tovik;
using namespace tovik::test;

namespace {

bool IsOpen(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

TEST(Fd, OwnsOneDescriptorLikeAUniquePointer) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  {
    TFd a(fds[0]);
    TFd b(fds[1]);
    EXPECT_TRUE(a);
    EXPECT_EQ(a.Get(), fds[0]);

    TFd moved(std::move(a));  // the new owner closes it, the old one holds nothing
    EXPECT_FALSE(a);
    EXPECT_EQ(a.Get(), -1);
    EXPECT_EQ(moved.Get(), fds[0]);

    b = std::move(moved);  // b's own descriptor is closed, the moved one taken
    EXPECT_FALSE(IsOpen(fds[1]));
    EXPECT_EQ(b.Get(), fds[0]);

    const int released = b.Release();  // given up, not closed
    EXPECT_EQ(released, fds[0]);
    EXPECT_FALSE(b);
    EXPECT_TRUE(IsOpen(fds[0]));
    b.Reset(released);
    b.Reset(released);  // taking the same descriptor again does not close it
    EXPECT_TRUE(IsOpen(fds[0]));
  }
  EXPECT_FALSE(IsOpen(fds[0]));  // closed with its owner
  TFd none;
  EXPECT_FALSE(none);
  none.Reset();  // nothing to close
}

TEST(Fd, WriteAllWritesEverythingOrSaysWhy) {
  TTempDir dir;
  const std::string path = dir / "out.bin";
  std::string data(1 << 20, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
  {
    TFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    ASSERT_TRUE(fd);
    EXPECT_TRUE(WriteAll(fd.Get(), data));
    EXPECT_TRUE(WriteAll(fd.Get(), ""));
  }
  EXPECT_EQ(ReadFile(path), data);

  TFd readOnly(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  const TFileResult r = WriteAll(readOnly.Get(), "x");
  EXPECT_FALSE(r);
  EXPECT_EQ(r.Errno, EBADF);
  EXPECT_FALSE(r.Error.empty());
  EXPECT_EQ(WriteAll(-1, "x").Errno, EBADF);
}

mode_t ModeOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
  return st.st_mode & 07777;
}

// The folder rule: owned by this user or root, and not writable by group or others unless sticky.
TEST(PrivateFiles, TheFolderRule) {
  constexpr uid_t me = 1000, other = 1001, root = 0;
  struct Case { mode_t Mode; uid_t Owner; bool Private; };
  const Case cases[] = {
      {0700, me, true},     {0755, me, true},      {0755, root, true},   {0500, me, true},
      {0775, me, false},    {0757, me, false},     {0777, root, false},  {0770, root, false},
      {01777, root, true},  {01777, me, true},     {01770, me, true},    {01777, other, false},
      {0700, other, false}, {0755, other, false},
  };
  for (const Case& k : cases)
    EXPECT_EQ(FolderIsPrivate(S_IFDIR | k.Mode, k.Owner, me), k.Private) << std::oct << k.Mode << " owner " << std::dec << k.Owner;
}

// Writes land with mode 0600 where the folders keep to the rule, and are refused (naming the folder)
// where they do not; a link at the name is replaced, never followed.
TEST(PrivateFiles, WritesOnlyWhereNoOtherUserCanReachTheFile) {
  TTempDir dir;
  struct Case { const char* Folder; mode_t Mode; bool Written; };
  const Case cases[] = {
      {"own", 0700, true},         {"readable", 0755, true},         {"sticky-shared", 01777, true},
      {"group-writable", 0770, false}, {"world-writable", 0777, false}, {"sticky-group", 01770, true},
  };
  for (const Case& k : cases) {
    const std::string folder = dir / k.Folder;
    ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
    ASSERT_EQ(::chmod(folder.c_str(), k.Mode), 0);
    const std::string file = folder + "/status";
    const TFileResult r = WritePrivateFile(file, "id=1\n");
    EXPECT_EQ(r.Ok(), k.Written) << k.Folder << ": " << r.Error;
    EXPECT_EQ(Exists(file), k.Written) << k.Folder;
    if (k.Written) {
      EXPECT_EQ(ModeOf(file), 0600u) << k.Folder;
      EXPECT_EQ(ReadFile(file), "id=1\n") << k.Folder;
    } else {
      EXPECT_EQ(r.Errno, EPERM) << k.Folder;
      EXPECT_NE(r.Error.find(folder + " can be changed by another user"), std::string::npos) << r.Error;
    }
  }
  // Below a folder that breaks the rule, a private folder does not help: it can be renamed away.
  const std::string inner = dir / "world-writable/inner";
  ASSERT_EQ(::mkdir(inner.c_str(), 0700), 0);
  EXPECT_EQ(WritePrivateFile(inner + "/status", "x").Errno, EPERM);

  // An existing file is replaced with mode 0600; a link at the name is replaced, its target untouched.
  const std::string own = dir / "own";
  WriteFile(own + "/old", "old");
  ASSERT_EQ(::chmod((own + "/old").c_str(), 0644), 0);
  EXPECT_TRUE(WritePrivateFile(own + "/old", "new"));
  EXPECT_EQ(ModeOf(own + "/old"), 0600u);
  WriteFile(own + "/precious", "keep");
  ASSERT_EQ(::symlink((own + "/precious").c_str(), (own + "/link").c_str()), 0);
  EXPECT_TRUE(WritePrivateFile(own + "/link", "hook"));
  EXPECT_EQ(ReadFile(own + "/precious"), "keep");
  EXPECT_EQ(ReadFile(own + "/link"), "hook");
  EXPECT_EQ(ModeOf(own + "/link"), 0600u);  // a file now, not a link
  EXPECT_FALSE(WritePrivateFile(own + "/missing/status", "x"));
}

// An existing file loses every right of group and others; a missing one is no error.
TEST(PrivateFiles, RestrictToOwner) {
  TTempDir dir;
  struct Case { mode_t Before, After; };
  for (const Case& k : {Case{0644, 0600}, Case{0666, 0600}, Case{0640, 0600}, Case{0600, 0600}, Case{0755, 0700},
                        Case{0400, 0400}}) {
    const std::string file = dir / "settings.ini";
    WriteFile(file, "[ID]\r\nSecret=1\r\n");
    ASSERT_EQ(::chmod(file.c_str(), k.Before), 0);
    EXPECT_TRUE(RestrictToOwner(file)) << std::oct << k.Before;
    EXPECT_EQ(ModeOf(file), k.After) << std::oct << k.Before;
  }
  EXPECT_TRUE(RestrictToOwner(dir / "missing.ini"));
}

}  // namespace
