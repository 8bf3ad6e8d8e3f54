// The build and key records read from a program file of any content: never crashes, and a build read
// back is always what a stamp wrote when the file holds a record.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "update/TovikVersion.h"

using namespace tovik;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const int fd = ::memfd_create("record", MFD_CLOEXEC);
  if (fd < 0) return 0;
  if (::write(fd, data, size) != static_cast<ssize_t>(size)) {
    ::close(fd);
    return 0;
  }
  const std::string path = "/proc/self/fd/" + std::to_string(fd);
  const int build = ReadFileBuild(path);
  if (build < 0) std::abort();
  if (StampFileBuild(path, 123456) && ReadFileBuild(path) != 123456) std::abort();
  ::close(fd);
  return 0;
}
