// The Linux pieces of the support service shared by the service modes, the agent and their tests.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "service/TovikBroker.h"
#include "service/TovikServiceHost.h"

namespace tovik {

// Wakes the service loop on logind changes: a descriptor to poll (or -1) and the longest wait.
class ILoginWatch {
 public:
  virtual ~ILoginWatch() = default;
  virtual int Fd() = 0;
  virtual void Flush() = 0;
  virtual int PollMs() = 0;
  static std::unique_ptr<ILoginWatch> Create();
};

// The seat of the tests (see Logind_sdlogin.cpp for the file's lines).
TSeatState ReadTestSeat(const std::string& APath);
// True when TOVIK_TEST_LOGIND names a test seat: the service runs without systemd.
bool TestSeatMode();

// Where things live; the environment moves them for tests (TOVIK_SERVICE_LOG, TOVIK_BROKER_DIR).
std::string ServiceLogPath();  // /var/log/tovik/TovikService.log
std::string BrokerDir();       // /run/tovik

// The program file this process runs (/proc/self/exe).
std::string OwnProgram();

// Starts "<program> /agent" on a session's display (DISPLAY, and XAUTHORITY from the X server's own
// arguments), and watches it through a pidfd.
std::unique_ptr<IAgentLauncher> CreateAgentLauncher(std::string AProgram);
// The pidfd of an agent that launcher started (readable when it ends), or -1.
int AgentPidFd(IAgentProcess* AAgent);

// The agent's view of its display: capture, input and the "This PC is being helped" marker over X11.
// nullptr when the display cannot be opened.
std::unique_ptr<IBrokerDesktop> CreateX11BrokerDesktop();

// Whether APath may be registered as the service's program: owned by root and writable by root only,
// in a folder owned by root and writable by root only. AWhy receives the reason otherwise.
bool ProgramFitForService(const std::string& APath, std::string& AWhy);

}  // namespace tovik
