// A port on 127.0.0.1 that is free at the moment of the call (the kernel picks it), for tests that
// start servers on loopback.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>

namespace tovik::test {

// AType: SOCK_STREAM or SOCK_DGRAM.
inline std::uint16_t FreeLoopbackPort(int AType = SOCK_STREAM) {
  const int fd = ::socket(AF_INET, AType, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a));
  socklen_t len = sizeof(a);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(fd);
  return ntohs(a.sin_port);
}

}  // namespace tovik::test
