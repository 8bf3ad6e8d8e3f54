// The tovik-relay program on loopback for tests that talk to the real relay (TOVIK_RELAY_BINARY is
// its path), and a free TCP port for it.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <regex>
#include <string>

#include "tests/support/LoopbackPort.h"

namespace tovik::test {

inline std::uint16_t FreeTcpPort() { return FreeLoopbackPort(SOCK_STREAM); }

// The tovik-relay program on loopback with a data folder; stops it (SIGTERM) when it goes.
class TRelayProcess {
 public:
  // AUdpPort 0: the program picks one (UdpPort() tells which).
  // AConfig: an INI file with a [Relay] section, or "" for none.
  TRelayProcess(const std::string& ADataDir, std::uint16_t AUdpPort, const std::string& ATcpPorts,
                const std::string& AConfig = "") {
    int errPipe[2];
    if (::pipe(errPipe) != 0) return;
    const std::string udp = std::to_string(AUdpPort);
    FPid = ::fork();
    if (FPid == 0) {
      ::dup2(errPipe[1], 2);
      ::close(errPipe[0]);
      if (AConfig.empty())
        ::execl(TOVIK_RELAY_BINARY, "tovik-relay", "--data", ADataDir.c_str(), "--listen", "127.0.0.1", "--udp-port",
                udp.c_str(), "--tcp-ports", ATcpPorts.c_str(), static_cast<char*>(nullptr));
      else
        ::execl(TOVIK_RELAY_BINARY, "tovik-relay", "--config", AConfig.c_str(), "--data", ADataDir.c_str(),
                "--listen", "127.0.0.1", "--udp-port", udp.c_str(), "--tcp-ports", ATcpPorts.c_str(),
                static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(errPipe[1]);
    FErr = errPipe[0];
    // Read the start line to learn the UDP port the program got.
    std::smatch m;
    const std::regex started("listening on UDP 127\\.0\\.0\\.1:(\\d+), TCP (\\d+)");
    for (int i = 0; i < 500 && !std::regex_search(Log, m, started); ++i) {
      pollfd p{FErr, POLLIN, 0};
      if (::poll(&p, 1, 10) <= 0) continue;
      char buf[512];
      const ssize_t n = ::read(FErr, buf, sizeof(buf));
      if (n <= 0) break;
      Log.append(buf, static_cast<std::size_t>(n));
    }
    if (std::regex_search(Log, m, started)) {
      FUdpPort = static_cast<std::uint16_t>(std::stoi(m[1]));
      FTcpPort = m[2];
    }
  }
  ~TRelayProcess() { Stop(); }
  // SIGTERM and wait; the exit code (or -1).
  int Stop() {
    if (FPid <= 0) return -1;
    ::kill(FPid, SIGTERM);
    int status = 0;
    ::waitpid(FPid, &status, 0);
    FPid = -1;
    ::close(FErr);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  std::uint16_t UdpPort() const { return FUdpPort; }
  const std::string& TcpPort() const { return FTcpPort; }
  std::string Log;

 private:
  pid_t FPid = -1;
  int FErr = -1;
  std::uint16_t FUdpPort = 0;
  std::string FTcpPort;
};

}  // namespace tovik::test
