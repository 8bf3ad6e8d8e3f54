// Two PCs keep their saved PCs in sync through the real tovik-relay program on loopback, with real
// sockets, real settings files and the key-file protection of the secret: a code offered on one PC and
// typed on the other gives both the merged list, and the secret is found neither in the settings
// files nor in the relay's database. Real time (a few seconds).
#include <arpa/inet.h>
#include <csignal>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <thread>

#include "tests/support/LoopbackPort.h"
#include "app/TovikMainBook.h"
#include "base/TovikTimed.h"
#include "net/TovikNet.h"
#include "net/TovikSocket.h"
#include "tests/app/TempSettingsPaths.h"

using namespace tovik;
namespace fs = std::filesystem;

namespace {

using test::FreeLoopbackPort;

struct TBookPC {
  TBookPC(const fs::path& ADir, std::uint16_t AUdp)
      : Store(test::TempSettingsPaths(ADir.string()), BuiltIn), Backend(INetBackend::Create()) {
    Store.EnsureUserFolder();
    Client = std::make_unique<TTovikClient>(*Backend, "127.0.0.1", AUdp, "");
    Client->OnBook = [this](const std::string& l) { Book->Sync().HandleLine(l); };
    Book = std::make_unique<TMainBook>(*Client, Store, nullptr,
                                       std::make_unique<TKeyFileProtector>((ADir / "data/Tovik/SettingsKey").string()));
  }
  ~TBookPC() {
    Client->OnBook = nullptr;
    Book.reset();
  }
  TIniText BuiltIn;
  TSettingsStore Store;
  std::unique_ptr<INetBackend> Backend;
  std::unique_ptr<TTovikClient> Client;
  std::unique_ptr<TMainBook> Book;
};

std::string ReadAll(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

// Every file under ADir that holds the text (any case).
std::vector<std::string> FilesHolding(const fs::path& ADir, const std::string& AText) {
  std::vector<std::string> out;
  for (const auto& e : fs::recursive_directory_iterator(ADir)) {
    if (!e.is_regular_file()) continue;
    const std::string body = AsciiLower(ReadAll(e.path()));
    if (body.find(AsciiLower(AText)) != std::string::npos) out.push_back(e.path().string());
  }
  return out;
}

}  // namespace

TEST(BookLoopback, PairingThroughTheRealRelayMergesBothListsAndKeepsTheSecretOutOfFiles) {
  const std::uint16_t udp = FreeLoopbackPort(SOCK_DGRAM), tcp = FreeLoopbackPort(SOCK_STREAM);
  const fs::path root = fs::temp_directory_path() / ("tovik-bookloop-" + std::to_string(::getpid()));
  const fs::path relayDir = root / "relay";
  fs::create_directories(relayDir);
  const pid_t pid = ::fork();
  if (pid == 0) {
    const std::string u = std::to_string(udp), t = std::to_string(tcp), d = relayDir.string();
    const int devnull = ::open("/dev/null", O_WRONLY);
    ::dup2(devnull, 1);
    ::dup2(devnull, 2);
    ::execl(TOVIK_RELAY_BIN, "tovik-relay", "run", "--data", d.c_str(), "--listen", "127.0.0.1", "--udp-port",
            u.c_str(), "--tcp-ports", t.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  TcpPortsText = std::to_string(tcp);
  std::string secret;
  {
    TBookPC a(root / "a", udp), b(root / "b", udp);
    a.Book->List().Add("111111111");
    a.Book->List().Rename("111111111", "Shop");
    b.Book->List().Add("222222222");
    TTimedGroup group;
    for (TBookPC* pc : {&a, &b}) {
      pc->Client->Start(TickMs());
      group.Add(*pc->Client);
      group.Add(pc->Book->Sync());
    }
    const auto runUntil = [&](const std::function<bool()>& f, int seconds) {
      const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
      while (std::chrono::steady_clock::now() < end) {
        group.HandleTimeout(TickMs());
        if (f()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
      return f();
    };
    ASSERT_TRUE(runUntil([&] { return a.Client->RelaySecure() && b.Client->RelaySecure(); }, 15));
    std::string code;
    ASSERT_TRUE(a.Book->Sync().StartPairing(code));
    ASSERT_TRUE(runUntil([&] { return a.Book->Sync().PairState() == bpOffered; }, 10));
    b.Book->Sync().JoinWithCode(code);
    const auto joined = std::chrono::steady_clock::now();
    const std::vector<std::string> want = {"111111111=Shop", "222222222="};
    const bool merged = runUntil(
        [&] {
          auto la = a.Book->List().Lines(), lb = b.Book->List().Lines();
          std::sort(la.begin(), la.end());
          std::sort(lb.begin(), lb.end());
          return la == want && lb == want && a.Book->List().Lines() == b.Book->List().Lines();
        },
        10);
    EXPECT_TRUE(merged) << "after " << std::chrono::duration<double>(std::chrono::steady_clock::now() - joined).count()
                        << " s";
    secret = a.Book->Sync().Secret();
    EXPECT_EQ(b.Book->Sync().Secret(), secret);
    // Let the last uploads settle before the files are read.
    runUntil([&] { return !a.Book->Sync().UploadInFlight() && !b.Book->Sync().UploadInFlight(); }, 5);
    group.Remove(a.Book->Sync());
    group.Remove(b.Book->Sync());
  }
  ::kill(pid, SIGTERM);
  ::waitpid(pid, nullptr, 0);
  ASSERT_EQ(secret.size(), 64u);
  EXPECT_NE(ReadAll(root / "a/user/Tovik.ini").find("Secret=dpapi:"), std::string::npos);
  EXPECT_EQ(FilesHolding(root, secret), std::vector<std::string>{});
  EXPECT_FALSE(fs::is_empty(relayDir));
  TcpPortsText = "8443,443,80";
  fs::remove_all(root);
}
