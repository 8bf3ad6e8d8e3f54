// The desktop broker over real Unix sockets: the agent's server with a fake display and a stand-in for
// the peer check (tests cannot run as another user or program), the client's transport, and the real
// peer check on a socket pair.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <future>
#include <mutex>
#include <thread>

#include "base/TovikFiles.h"
#include "platform/linux/TovikBrokerSocket_unix.h"
#include "platform/linux/TovikServiceLinux.h"
#include "tests/base/TestTempDir.h"

namespace tovik {
namespace {

struct TDesk final : IBrokerDesktop {
  std::vector<TMonitorInfo> Monitors() override { return {{"A", {0, 0, 800, 600}, true}}; }
  void SetArea(const TRect&) override {}
  TBytes CaptureUpdate(bool) override { return BytesOf("tiles"); }
  void InjectInput(const TInputEvent&) override {}
};

struct TPeerStandIn final : IBrokerPeerInspector {
  std::mutex Lock;
  TBrokerPeer Peer;
  TBrokerPeer Inspect(int) override {
    std::lock_guard<std::mutex> l(Lock);
    return Peer;
  }
};

// The client's time-outs for talking to a real server thread: wide, because the machine may be loaded
// (sanitizers, parallel tests). The defaults are for a live desktop.
constexpr TBrokerTimeouts kPatient{5000, 10'000};

struct TServerFixture {
  test::TTempDir Dir;
  std::shared_ptr<TPeerStandIn> Peer = std::make_shared<TPeerStandIn>();
  std::mutex LogLock;
  std::vector<std::string> Log;
  std::unique_ptr<TBrokerSocketServer> Server;
  std::string Path = BrokerSocketPath(Dir.Path(), ::getuid());

  TServerFixture() {
    Peer->Peer = {0, ::getpid(), ::getuid(), 0, "/usr/bin/tovik"};
    TBrokerSocketServer::TConfig c;
    c.Dir = Dir.Path();
    c.Program = "/usr/bin/tovik";
    c.Inspector = Peer;
    c.Log = [this](const std::string& l) {
      std::lock_guard<std::mutex> lock(LogLock);
      Log.push_back(l);
    };
    Server = std::make_unique<TBrokerSocketServer>(c, [] { return std::make_unique<TDesk>(); });
    Server->SetUsers({::getuid()});
    // The server thread makes the socket; wait until it is there (bounded).
    for (int i = 0; i < 500 && ::access(Path.c_str(), F_OK) != 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  std::string LogText() {
    std::lock_guard<std::mutex> lock(LogLock);
    std::string all;
    for (const auto& l : Log) all += l + "\n";
    return all;
  }
};

TEST(BrokerSocket, ServesTheUsersProgramAfterAllow) {
  TServerFixture f;
  struct stat st {};
  ASSERT_EQ(::stat(f.Path.c_str(), &st), 0) << f.LogText();
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(st.st_uid, ::getuid());

  TBrokerClient client(CreateUnixBrokerTransport(f.Path), nullptr, kPatient);
  EXPECT_TRUE(client.BrokerAvailable());
  client.UseBroker(true);
  EXPECT_TRUE(client.InUse());
  EXPECT_EQ(client.Capture(false, {}), BytesOf("tiles"));
  EXPECT_TRUE(client.Input({1, ikMove, 5, 5, 0}, {}));
  client.UseBroker(false);

  // The user leaves the seat: the socket goes.
  f.Server->SetUsers({});
  for (int i = 0; i < 500 && ::access(f.Path.c_str(), F_OK) == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  EXPECT_NE(::access(f.Path.c_str(), F_OK), 0);
}

TEST(BrokerSocket, AnotherProgramIsRejectedBeforeItIsRead) {
  TServerFixture f;
  {
    std::lock_guard<std::mutex> l(f.Peer->Lock);
    f.Peer->Peer.Exe = "/home/someone/tovik";
  }
  TBrokerClient client(CreateUnixBrokerTransport(f.Path), nullptr, kPatient);
  client.UseBroker(true);
  EXPECT_FALSE(client.InUse());
  EXPECT_NE(f.LogText().find("Desktop broker rejected a client: Client PID " + std::to_string(::getpid()) +
                             " path \"/home/someone/tovik\" differs from broker path \"/usr/bin/tovik\""),
            std::string::npos)
      << f.LogText();
}

TEST(BrokerSocket, DeclaredLengthOverTheLimitClosesWithoutAReply) {
  TServerFixture f;
  auto t = CreateUnixBrokerTransport(f.Path);
  int err = 0;
  ASSERT_TRUE(t->Connect(1000, err)) << err;
  const TBytes head = EncodeBrokerHeader(bkCapture, kBrokerMaxPayload + 1);
  ASSERT_TRUE(t->Send(head, 1000, err));
  std::uint8_t reply[kBrokerHeaderBytes];
  EXPECT_FALSE(t->Receive(reply, sizeof reply, 2000, err));
  EXPECT_EQ(err, ECONNRESET);  // closed, not timed out
  EXPECT_NE(f.LogText().find("declares 16777217 bytes"), std::string::npos) << f.LogText();
}

TEST(BrokerSocket, TheRealPeerCheckReadsUidAndProgram) {
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  const TBrokerPeer p = IBrokerPeerInspector::Create()->Inspect(fds[0]);
  ::close(fds[0]);
  ::close(fds[1]);
  EXPECT_EQ(p.CredError, 0);
  EXPECT_EQ(p.Pid, ::getpid());
  EXPECT_EQ(p.Uid, ::getuid());
  EXPECT_EQ(p.ExeError, 0);
  EXPECT_EQ(p.Exe, OwnProgram());
  EXPECT_FALSE(p.Exe.empty());
}

TEST(BrokerSocket, ClientGivesUpQuicklyWithoutAnAgent) {
  test::TTempDir dir;
  TBrokerClient client(CreateUnixBrokerTransport(BrokerSocketPath(dir.Path(), 1)), nullptr);
  EXPECT_FALSE(client.BrokerAvailable());
  client.UseBroker(true);
  EXPECT_FALSE(client.Capture(false, {}));
}

TEST(BrokerSocket, ASilentBrokerCannotHoldTheClient) {
  // A socket that takes connections (the backlog) but never reads or answers: with the default
  // time-outs the client gives up on its own. The wait here only bounds the test, it measures nothing.
  test::TTempDir dir;
  const std::string path = BrokerSocketPath(dir.Path(), ::getuid());
  TFd silent(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un a {};
  a.sun_family = AF_UNIX;
  std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
  ASSERT_EQ(::bind(silent.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(::listen(silent.Get(), 4), 0);

  std::vector<std::string> lines;
  TBrokerClient client(CreateUnixBrokerTransport(path), [&lines](const std::string& l) { lines.push_back(l); });
  std::promise<bool> done;
  std::future<bool> result = done.get_future();
  std::thread asker([&] {
    client.UseBroker(true);
    done.set_value(client.InUse());
  });
  const bool returned = result.wait_for(std::chrono::seconds(60)) == std::future_status::ready;
  if (!returned) silent.Reset();  // lets a stuck client go, so that the thread can be joined
  asker.join();
  ASSERT_TRUE(returned) << "the client waited on a silent broker";
  EXPECT_FALSE(result.get());
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "Broker request failed (error " + std::to_string(ETIMEDOUT) + ")");
}

TEST(ServiceProgramCheck, OnlyARootOwnedProgramInRootOnlyFolders) {
  std::string why;
  // The shell is root's own in root-only folders on any Debian system.
  EXPECT_TRUE(ProgramFitForService("/bin/sh", why)) << why;
  // A copy in a private folder under /tmp: /tmp itself may be written by everyone.
  test::TTempDir dir;
  const std::string copy = dir.Path() + "/tovik";
  test::WriteFile(copy, "#!/bin/sh\n");
  ASSERT_EQ(::chmod(copy.c_str(), 0755), 0);
  EXPECT_FALSE(ProgramFitForService(copy, why));
  EXPECT_NE(why.find("the folder"), std::string::npos) << why;
  EXPECT_FALSE(ProgramFitForService("relative/tovik", why));
}

}  // namespace
}  // namespace tovik
