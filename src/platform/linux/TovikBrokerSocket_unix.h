// The desktop broker over Unix stream sockets: the agent's server and the interactive program's
// transport. One socket per user with a session on seat0, "/run/tovik/desktop-<uid>.sock", owned by
// that user with mode 0600 in a root-owned folder; the server also checks every peer (SO_PEERCRED for
// the uid, the program through a pidfd) before it reads a byte from it.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "service/TovikBroker.h"
#include "service/TovikBrokerClient.h"

namespace tovik {

inline constexpr const char* kBrokerSocketDir = "/run/tovik";
std::string BrokerSocketPath(const std::string& ADir, std::uint32_t AUid);

// What the server learns about a connected peer. The Linux one reads SO_PEERCRED and the peer's
// program through a pidfd; tests that cannot run as another user or program put a fake in its place.
class IBrokerPeerInspector {
 public:
  virtual ~IBrokerPeerInspector() = default;
  virtual TBrokerPeer Inspect(int AFd) = 0;
  static std::unique_ptr<IBrokerPeerInspector> Create();
};

// The client's transport to a socket path (connect and every read and write bounded by time-outs).
std::unique_ptr<IBrokerTransport> CreateUnixBrokerTransport(std::string APath);

// The agent's server: listens on the sockets of the uids it is told, serves one client at a time on
// its own thread with a TBrokerConnection over ADesktop. ADesktop is used on the server's thread only.
class TBrokerSocketServer {
 public:
  struct TConfig {
    std::string Dir = kBrokerSocketDir;
    std::string Program;                      // the program a client must run
    std::shared_ptr<IBrokerPeerInspector> Inspector;
    TBrokerLogFn Log;                         // the service log (thread-safe)
    // Time a client may take to finish a request it began (ms).
    int RequestTimeoutMs = 5000;
  };
  // ADesktop is created on the server's thread by AMakeDesktop (the X connection lives there).
  TBrokerSocketServer(TConfig AConfig, std::function<std::unique_ptr<IBrokerDesktop>()> AMakeDesktop);
  ~TBrokerSocketServer();  // stops the thread and removes the sockets
  TBrokerSocketServer(const TBrokerSocketServer&) = delete;
  TBrokerSocketServer& operator=(const TBrokerSocketServer&) = delete;

  // The users to serve (owners of sessions on seat0); sockets are made and removed to match. Any thread.
  void SetUsers(const std::vector<std::uint32_t>& AUids);
  // False once the thread has ended (it could not start, or failed).
  bool Running() const { return FRunning.load(); }

 private:
  struct TImpl;
  std::unique_ptr<TImpl> FImpl;
  std::atomic<bool> FRunning{false};
};

}  // namespace tovik
