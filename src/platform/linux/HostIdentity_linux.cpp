// The host's computer name, user and system for the hello message: gethostname, $USER and uname.
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdlib>

#include "session/TovikSessionIntf.h"

namespace tovik {

THostIdentity THostIdentity::Local() {
  THostIdentity id;
  char host[256] = {};
  id.Computer = gethostname(host, sizeof host - 1) == 0 && host[0] ? host : "?";
  const char* user = std::getenv("USER");
  id.User = user ? user : "";
  utsname u{};
  id.System = uname(&u) == 0 ? std::string(u.sysname) + " " + u.release : "Linux";
  return id;
}

}  // namespace tovik
