// The desktop broker's numbers (scripts/measure-broker runs it): round trips through the real Unix
// socket server against the same capture made in-process, side by side in one run, and how long the
// client's calls hold their caller (the GUI thread) when no agent runs or the agent hangs.
//
// The broker's display is a synthetic 1920 x 1080 desktop behind the real capturer and tile encoder;
// the peer check is a stand-in that accepts this program (the real one needs the installed program).
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "base/TovikFiles.h"
#include "platform/linux/TovikBrokerSocket_unix.h"
#include "tests/support/SyntheticScreen.h"

using namespace tovik;

namespace {

constexpr int kW = 1920, kH = 1080;

// Paints the synthetic desktop when its frame number moved (or the caller lost the picture) and
// reports no change otherwise, as a damage-driven grab of a still screen does.
struct TSynthGrab final : IScreenGrab {
  const int* Frame;
  int Painted = -1;
  explicit TSynthGrab(const int* AFrame) : Frame(AFrame) {}
  TGrabStatus CopyTo(TBitmap32& B, bool AKeep, std::span<const TRect>, TGrabChanges& C) override {
    if (!AKeep || Painted != *Frame) {
      test::PaintDesktop(B.Row(0), B.Stride(), B.Width(), B.Height(), *Frame);
      Painted = *Frame;
      C.All = true;
    }
    return TGrabStatus::gsOk;
  }
};

// A display whose capture answers with a fixed number of bytes: the socket's own cost.
struct TCannedDesk final : IBrokerDesktop {
  TBytes Reply;
  std::vector<TMonitorInfo> Monitors() override { return {{"S", {0, 0, kW, kH}, true}}; }
  void SetArea(const TRect&) override {}
  TBytes CaptureUpdate(bool) override { return Reply; }
  void InjectInput(const TInputEvent&) override {}
};

struct TSynthScreen final : IScreenBackend {
  int Frame = 0;
  std::vector<TMonitorInfo> Monitors() override { return {{"S", {0, 0, kW, kH}, true}}; }
  std::unique_ptr<IScreenGrab> CreateDup(const TRect&) override { return std::make_unique<TSynthGrab>(&Frame); }
  std::unique_ptr<IScreenGrab> CreatePlain(const TRect&) override { return std::make_unique<TSynthGrab>(&Frame); }
  bool GetPointer(TPointerImage&) override { return false; }
};

struct TCapturerDesk final : IBrokerDesktop {
  std::shared_ptr<TSynthScreen> Screen = std::make_shared<TSynthScreen>();
  TScreenCapturer Cap{Screen};
  std::vector<TMonitorInfo> Monitors() override { return Screen->Monitors(); }
  void SetArea(const TRect& A) override { Cap.SetArea(A); }
  TBytes CaptureUpdate(bool AFull) override { return Cap.CaptureUpdate(AFull); }
  void InjectInput(const TInputEvent&) override {}
};

struct TAcceptSelf final : IBrokerPeerInspector {
  TBrokerPeer Inspect(int) override { return {0, ::getpid(), ::getuid(), 0, "/measure"}; }
};

using TClock = std::chrono::steady_clock;
double Ms(TClock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

struct TStats {
  std::vector<double> V;
  double P(double q) {
    std::sort(V.begin(), V.end());
    return V.empty() ? 0 : V[std::min(V.size() - 1, static_cast<std::size_t>(q * V.size()))];
  }
  void Print(const char* AWhat) {
    std::printf("%-52s n=%zu  p50 %.3f ms  p95 %.3f ms  max %.3f ms\n", AWhat, V.size(), P(0.5), P(0.95), P(1.0));
  }
};

// A whole sweep of the picture (every tile), request by request, timed as one.
template <class F>
double Sweep(F ACapture) {
  const auto t0 = TClock::now();
  bool first = true;
  for (int guard = 0; guard < 1000; ++guard) {
    const TBytes u = ACapture(first);
    first = false;
    if (u.empty()) break;
  }
  return Ms(TClock::now() - t0);
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(5, std::atoi(argv[1])) : 20;
  const std::string dir = (std::filesystem::temp_directory_path() / ("tovik-broker-" + std::to_string(::getpid()))).string();
  std::filesystem::create_directories(dir);

  TBrokerSocketServer::TConfig config;
  config.Dir = dir;
  config.Program = "/measure";
  config.Inspector = std::make_shared<TAcceptSelf>();
  TBrokerSocketServer server(config, [] { return std::make_unique<TCapturerDesk>(); });
  server.SetUsers({::getuid()});
  const std::string path = BrokerSocketPath(dir, ::getuid());
  for (int i = 0; i < 1000 && ::access(path.c_str(), F_OK) != 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));

  TBrokerClient client(CreateUnixBrokerTransport(path), nullptr);
  client.UseBroker(true);
  if (!client.InUse()) {
    std::fprintf(stderr, "the broker did not answer\n");
    return 1;
  }
  TCapturerDesk direct;  // the same capture in this process, for the ratio

  // A complete sweep first, then no-change round trips.
  Sweep([&](bool f) { return client.Capture(f, {}).value_or(TBytes{}); });
  Sweep([&](bool f) { return direct.CaptureUpdate(f); });
  TStats nochangeSock, nochangeDirect;
  for (int i = 0; i < rounds * 10; ++i) {
    auto t0 = TClock::now();
    const auto u = client.Capture(false, {});
    nochangeSock.V.push_back(Ms(TClock::now() - t0));
    if (!u || !u->empty()) std::fprintf(stderr, "unexpected update\n");
    t0 = TClock::now();
    direct.CaptureUpdate(false);
    nochangeDirect.V.push_back(Ms(TClock::now() - t0));
  }
  nochangeSock.Print("no-change capture through the broker socket");
  nochangeDirect.Print("no-change capture in-process (same capturer)");

  // Full 1080p pictures: every tile sent again, over as many updates as it takes.
  TStats fullSock, fullDirect, updateSock;
  for (int i = 0; i < rounds; ++i) {
    fullSock.V.push_back(Sweep([&](bool f) {
      const auto t0 = TClock::now();
      TBytes u = client.Capture(f, {}).value_or(TBytes{});
      updateSock.V.push_back(Ms(TClock::now() - t0));
      return u;
    }));
    fullDirect.V.push_back(Sweep([&](bool f) { return direct.CaptureUpdate(f); }));
  }
  fullSock.Print("full 1080p picture through the broker socket");
  fullDirect.Print("full 1080p picture in-process (same capturer)");
  updateSock.Print("one update (<= 64 tiles) through the broker socket");
  std::printf("ratio socket/in-process: no-change p50 %.2f, full picture p50 %.2f\n",
              nochangeSock.P(0.5) / std::max(1e-6, nochangeDirect.P(0.5)), fullSock.P(0.5) / std::max(1e-6, fullDirect.P(0.5)));
  client.UseBroker(false);

  // The socket alone: captures answered with a fixed payload (the largest tile update, and a
  // whole 1080p picture of 24-bit pixels in one reply), against the same bytes copied in-process.
  const std::string cannedPath = dir + "/canned";
  std::filesystem::create_directories(cannedPath);
  TBrokerSocketServer::TConfig cannedConfig = config;
  cannedConfig.Dir = cannedPath;
  TCannedDesk* canned = nullptr;
  TBrokerSocketServer cannedServer(cannedConfig, [&canned] {
    auto d = std::make_unique<TCannedDesk>();
    canned = d.get();
    return d;
  });
  cannedServer.SetUsers({::getuid()});
  const std::string cannedSock = BrokerSocketPath(cannedPath, ::getuid());
  for (int i = 0; i < 1000 && ::access(cannedSock.c_str(), F_OK) != 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  TBrokerClient cannedClient(CreateUnixBrokerTransport(cannedSock), nullptr);
  cannedClient.UseBroker(true);
  for (std::size_t size : {std::size_t{0}, kMaxUpdateBytes, std::size_t{kW} * kH * 3}) {
    canned->Reply.assign(size, 0x5A);  // the server thread reads it only during a request
    TStats sock, copy;
    for (int i = 0; i < rounds * 5; ++i) {
      auto t0 = TClock::now();
      const auto u = cannedClient.Capture(false, {});
      sock.V.push_back(Ms(TClock::now() - t0));
      if (!u || u->size() != size) std::fprintf(stderr, "short reply\n");
      t0 = TClock::now();
      TBytes copied(canned->Reply);
      copy.V.push_back(Ms(TClock::now() - t0));
    }
    const std::string what = "capture reply of " + std::to_string(size) + " bytes through the socket";
    sock.Print(what.c_str());
    const std::string whatCopy = "  the same bytes copied in-process";
    copy.Print(whatCopy.c_str());
  }
  cannedClient.UseBroker(false);

  // No agent: the calls a GUI thread makes (status, capture tick, input, admin button).
  TBrokerClient none(CreateUnixBrokerTransport(dir + "/desktop-none.sock"), nullptr);
  none.UseBroker(true);
  TStats blockNone;
  for (int i = 0; i < rounds * 50; ++i) {
    auto t0 = TClock::now();
    none.BrokerAvailable();
    none.Capture(false, {});
    none.Input({1, ikMove, 1, 1, 0}, {});
    blockNone.V.push_back(Ms(TClock::now() - t0));
    if (i % 50 == 49) std::this_thread::sleep_for(std::chrono::milliseconds(kBrokerRetryMs + 10));  // retries too
  }
  blockNone.Print("no agent: BrokerAvailable + Capture + Input");

  // A hung agent (accepts, never answers): each call is bounded by the exchange time-out.
  const std::string hungPath = dir + "/hung.sock";
  TFd hung(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, hungPath.c_str(), sizeof addr.sun_path - 1);
  if (::bind(hung.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 && ::listen(hung.Get(), 8) == 0) {
    TBrokerClient stuck(CreateUnixBrokerTransport(hungPath), nullptr);
    TStats blockHung;
    for (int i = 0; i < 5; ++i) {
      const auto t0 = TClock::now();
      stuck.BrokerAvailable();
      blockHung.V.push_back(Ms(TClock::now() - t0));
      std::this_thread::sleep_for(std::chrono::milliseconds(kBrokerRetryMs + 10));
    }
    blockHung.Print("hung agent: BrokerAvailable (exchange time-out)");
  }
  std::filesystem::remove_all(dir);
  return 0;
}
