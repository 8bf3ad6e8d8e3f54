// The descriptor owner and WriteAll.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
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

}  // namespace
