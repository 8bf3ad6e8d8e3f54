// A private PulseAudio server for the sound tests and measurements: its own runtime folder and socket,
// two null sinks ("host", the default, at 48,000 stereo, and "viewer" at 44,100 stereo) and no sound
// card. Started by the constructor, ended (by its process id) by the destructor.
#pragma once

#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace tovik::test {

class TPrivatePulse {
 public:
  TPrivatePulse() {
    char dir[] = "/tmp/tovik-pulse-XXXXXX";
    if (!mkdtemp(dir)) return;
    FDir = dir;
    const std::string sock = FDir + "/native";
    std::vector<std::string> args = {"pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--system=false",
                                     "--use-pid-file=false", "--log-target=file:" + FDir + "/log",
                                     "-L", "module-null-sink sink_name=host rate=48000 channels=2",
                                     "-L", "module-null-sink sink_name=viewer rate=44100 channels=2",
                                     "-L", "module-native-protocol-unix socket=" + sock + " auth-anonymous=1"};
    std::vector<std::string> env = {"HOME=" + FDir, "XDG_RUNTIME_DIR=" + FDir, "PATH=/usr/bin:/bin"};
    std::vector<char*> argv, envp;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    if (posix_spawnp(&FPid, "pulseaudio", nullptr, nullptr, argv.data(), envp.data()) != 0) {
      FPid = -1;
      return;
    }
    // Poll for the socket with a bounded deadline: the server is up once it listens.
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    struct stat st{};
    while (std::chrono::steady_clock::now() < end && stat(sock.c_str(), &st) != 0)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (stat(sock.c_str(), &st) == 0) FServer = "unix:" + sock;
  }
  ~TPrivatePulse() {
    if (FPid > 0) {
      kill(FPid, SIGTERM);
      int status = 0;
      waitpid(FPid, &status, 0);
    }
    std::error_code ec;
    if (!FDir.empty()) std::filesystem::remove_all(FDir, ec);
  }
  TPrivatePulse(const TPrivatePulse&) = delete;
  TPrivatePulse& operator=(const TPrivatePulse&) = delete;

  bool Ok() const { return !FServer.empty(); }
  // The server string for TSoundEndpoint::Server.
  const std::string& Server() const { return FServer; }
  const std::string& Dir() const { return FDir; }

 private:
  pid_t FPid = -1;
  std::string FDir;
  std::string FServer;
};

}  // namespace tovik::test
