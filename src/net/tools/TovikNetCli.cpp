// tovik-netcli: one network client in a plain loop, for trying a relay by hand and from scripts.
//
// It registers with the relay, prints its ID and every state change, optionally connects to a
// partner and sends one text message, and ends after a time limit (or on SIGINT/SIGTERM, saying BYE
// to the partner and the relay). Output on stdout is one event a line, a word first, so scripts can
// grep it:
//   ID 123456789            the relay gave this PC an ID
//   STATE registered        a state change (offline, registered, punching, connected)
//   CHECK 123 456           the check number of a link that came up
//   PEER 10.0.0.2:40000     the partner's address ("relay" when the link goes through the relay)
//   LINK <text>             the one-line account of the last link attempt
//   MSG <text>              a text message from the partner
//   SENT <text>             --send went out
//   FAILED <text>           a connection attempt failed
//   DISCONNECTED            a live link ended
//   KEY <fingerprint>       a relay key was pinned (and stored in --data)
// The client's log lines go to stderr.
//
// Exit code: 0 when the client got an ID and everything asked for happened (--connect: a link came
// up; --send: the text went out); 1 otherwise; 2 for a bad command line.
//
// The client and the tool's own checks run in a TTimedLoop (net/tools/TovikTimedLoop.h): a plain loop in real
// time that sleeps until the next deadline or until the client says that datagrams arrived.
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/TovikClock.h"
#include "base/TovikIni.h"
#include "base/TovikTimed.h"
#include "net/tools/TovikTimedLoop.h"
#include "net/TovikNet.h"
#include "net/TovikWire.h"

using namespace tovik;

namespace {

volatile sig_atomic_t GStop = 0;

void OnSignal(int) { GStop = 1; }

constexpr std::uint16_t KDefaultRelayPort = 47800;
constexpr std::uint64_t KMaxSeconds = 7 * 24 * 3600;
constexpr TTick KRetryConnectMs = 3000;
// How often the tool looks at signals, at state changes without an event and at a due connection.
constexpr TTick KCheckMs = 50;

const char* const KUsage =
    "Usage: tovik-netcli --relay HOST[:PORT] [options]\n"
    "\n"
    "Runs one Tovik network client against a relay and prints what happens, one event a line.\n"
    "\n"
    "Options:\n"
    "  --relay HOST[:PORT]  the relay (IPv4 address or name); port 47800 when left out\n"
    "  --relay-key HEX      pin this relay key (128 hexadecimal digits)\n"
    "  --data DIR           folder of Tovik.ini, where a pinned relay key ([Relay] Key) and the\n"
    "                       relay's TCP fallback ports ([Relay] TcpPort) are kept\n"
    "  --tcp-ports LIST     TCP fallback ports, e.g. 8443,443,80 (0 for none)\n"
    "  --connect ID         connect to the partner with this 9-digit ID (retried on failure)\n"
    "  --send TEXT          send TEXT as a message once the link is up\n"
    "  --unattended         announce unattended access\n"
    "  --seconds N          end after N seconds (default 30)\n"
    "  --help               this text\n";

struct TOptions {
  std::string RelayHost;
  std::uint16_t RelayPort = KDefaultRelayPort;
  std::string RelayKey;
  std::string DataDir;
  std::optional<std::string> TcpPorts;
  std::string ConnectID;
  std::optional<std::string> SendText;
  bool Unattended = false;
  std::uint64_t Seconds = 30;
  bool Help = false;
};

// Reads the command line. Returns an error text, empty on success.
std::string ParseArgs(int argc, char** argv, TOptions& AOpt) {
  bool haveRelay = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      AOpt.Help = true;
      return {};
    }
    if (arg == "--unattended") {
      AOpt.Unattended = true;
      continue;
    }
    if (i + 1 >= argc) return "missing value after " + arg;
    const std::string value = argv[++i];
    if (arg == "--relay") {
      const std::size_t colon = value.rfind(':');
      AOpt.RelayHost = value.substr(0, colon);
      if (colon != std::string::npos) {
        const auto port = ParseDecimal(std::string_view(value).substr(colon + 1), 65535);
        if (!port || *port == 0) return "bad relay port in " + value;
        AOpt.RelayPort = static_cast<std::uint16_t>(*port);
      }
      if (AOpt.RelayHost.empty()) return "empty relay host in " + value;
      haveRelay = true;
    } else if (arg == "--relay-key") {
      const std::string key = Trim(value);
      if (key.size() != 2 * kPublicKeySize || !IsHexText(key)) return "--relay-key needs 128 hexadecimal digits";
      AOpt.RelayKey = key;
    } else if (arg == "--data") {
      if (value.empty()) return "empty --data folder";
      AOpt.DataDir = value;
    } else if (arg == "--tcp-ports") {
      AOpt.TcpPorts = value;
    } else if (arg == "--connect") {
      if (!IsPartnerID(value)) return "--connect needs a 9-digit ID";
      AOpt.ConnectID = value;
    } else if (arg == "--send") {
      AOpt.SendText = value;
    } else if (arg == "--seconds") {
      const auto n = ParseDecimal(value, KMaxSeconds);
      if (!n || *n == 0) return "--seconds needs a number from 1 to " + std::to_string(KMaxSeconds);
      AOpt.Seconds = *n;
    } else {
      return "unknown option " + arg;
    }
  }
  if (!haveRelay) return "--relay is required";
  return {};
}

const char* StateName(TTovikState AState) {
  switch (AState) {
    case rsOffline: return "offline";
    case rsRegistered: return "registered";
    case rsPunching: return "punching";
    case rsConnected: return "connected";
  }
  return "?";
}

// One event line on stdout, flushed at once so a script reading a pipe sees it.
void Out(const std::string& AText) {
  std::fputs(EscapeForLog(AText, 4096).c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

void Err(const std::string& AText) {
  const std::time_t t = std::time(nullptr);
  std::tm tm{};
  localtime_r(&t, &tm);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%H:%M:%S", &tm);
  std::fprintf(stderr, "%s  %s\n", stamp, EscapeForLog(AText, 4096).c_str());
}

// Run state of one invocation: what was asked for and what has happened.
struct TRun {
  TOptions Opt;
  std::string IniPath;
  bool GotID = false;
  bool Linked = false;
  bool Sent = false;
  bool ConnectPending = false;  // a ConnectTo is due
  TTick ConnectDue = 0;
};

// The tool's own timed work beside the client: at once, starting the client; then every 50 ms the
// state lines that no event reported, the connection request once it is due and the relay is ready,
// saving TCP ports the relay announced, and the end (a signal or the time limit), which stops the loop.
class TCliChecks final : public ITimedObject {
 public:
  TCliChecks(TTovikClient& AClient, TRun& ARun, TTimedLoop& ALoop, std::function<void()> AShowState)
      : FClient(AClient), FRun(ARun), FLoop(ALoop), FShowState(std::move(AShowState)) {}
  TTick NextDeadline() const override { return FBegun ? EarliestDeadline({FCheck.Due(), FEnd}) : 0; }
  void HandleTimeout(TTick ANow) override {
    if (!FBegun) {
      FBegun = true;
      FEnd = ANow + FRun.Opt.Seconds * 1000;
      FCheck.Start(ANow);
      FClient.Start(ANow);
    }
    FCheck.Fire(ANow);
    FShowState();
    if (FRun.ConnectPending && ANow >= FRun.ConnectDue && FClient.RelaySecure() &&
        (FClient.State() == rsRegistered || FClient.State() == rsOffline)) {
      FRun.ConnectPending = false;
      FClient.ConnectTo(FRun.Opt.ConnectID);
    }
    if (TcpPortsChanged && !FRun.IniPath.empty()) {
      TcpPortsChanged = false;
      const TFileResult r = IniWriteString(FRun.IniPath, "Relay", "TcpPort", TcpPortsText);
      if (!r) Err("Could not save the TCP ports in " + FRun.IniPath + ": " + r.Error);
    }
    if (GStop || ANow >= FEnd) {
      FCheck.Stop();
      FEnd = kNoDeadline;
      FLoop.Stop();
    }
  }

 private:
  TTovikClient& FClient;
  TRun& FRun;
  TTimedLoop& FLoop;
  std::function<void()> FShowState;
  TPeriodicTick FCheck{KCheckMs};
  TTick FEnd = kNoDeadline;
  bool FBegun = false;
};

}  // namespace

int main(int argc, char** argv) {
  TRun run;
  const std::string error = ParseArgs(argc, argv, run.Opt);
  if (run.Opt.Help) {
    std::fputs(KUsage, stdout);
    return 0;
  }
  if (!error.empty()) {
    std::fprintf(stderr, "tovik-netcli: %s\n\n%s", error.c_str(), KUsage);
    return 2;
  }
  const TOptions& opt = run.Opt;

  std::string relayKey = opt.RelayKey;
  if (!opt.DataDir.empty()) {
    std::error_code ec;
    std::filesystem::create_directories(opt.DataDir, ec);
    if (ec) {
      std::fprintf(stderr, "tovik-netcli: cannot create %s: %s\n", opt.DataDir.c_str(), ec.message().c_str());
      return 2;
    }
    run.IniPath = (std::filesystem::path(opt.DataDir) / "Tovik.ini").string();
    if (relayKey.empty()) relayKey = IniReadString(run.IniPath, "Relay", "Key", "");
    const std::string ports = IniReadString(run.IniPath, "Relay", "TcpPort", "");
    if (!ports.empty()) TcpPortsText = ports;
  }
  if (opt.TcpPorts) TcpPortsText = *opt.TcpPorts;

  StopOnSignals(OnSignal);

  std::unique_ptr<INetBackend> backend = INetBackend::Create();
  TTimedLoop loop;
  // Owned through a pointer so it can be destroyed explicitly below, while the handlers' state lives.
  auto owned = std::make_unique<TTovikClient>(*backend, opt.RelayHost, opt.RelayPort, relayKey);
  TTovikClient& client = *owned;
  client.SetUnattended(opt.Unattended);
  client.SetRxWake([&loop] { loop.Wake(); });

  // State changes are printed before the event that caused them, and again from the loop for changes
  // without an event (the first ID moving offline to registered, an introduction starting punching).
  TTovikState shown = client.State();
  Out(std::string("STATE ") + StateName(shown));
  const auto showState = [&] {
    if (client.State() == shown) return;
    shown = client.State();
    Out(std::string("STATE ") + StateName(shown));
  };

  client.OnLog = [&](const std::string& s) {
    showState();
    Err(s);
  };
  client.OnID = [&] {
    showState();
    run.GotID = true;
    Out("ID " + client.MyID());
    if (!opt.ConnectID.empty() && !run.Linked && !run.ConnectPending) {
      run.ConnectPending = true;
      run.ConnectDue = client.Now();
    }
  };
  client.OnConnected = [&] {
    showState();
    run.Linked = true;
    Out("CHECK " + client.CheckNumber());
    Out("PEER " + (client.ViaRelay() ? std::string("relay") : client.PeerAddress()));
    Out("LINK " + LastLinkInfo);
    if (opt.SendText && !run.Sent) {
      client.SendText(*opt.SendText);
      run.Sent = true;
      Out("SENT " + *opt.SendText);
    }
  };
  client.OnMessage = [](const std::string& s) { Out("MSG " + s); };
  client.OnDisconnected = [&] {
    showState();
    Out("DISCONNECTED");
  };
  client.OnFailed = [&](const std::string& s) {
    showState();
    Out("FAILED " + s);
    if (!opt.ConnectID.empty() && !run.Linked) {
      run.ConnectPending = true;
      run.ConnectDue = client.Now() + KRetryConnectMs;
    }
  };
  client.OnRelayKeyPinned = [&](const std::string& hex) {
    Out("KEY " + client.RelayFingerprint());
    if (run.IniPath.empty()) return;
    const TFileResult r = IniWriteString(run.IniPath, "Relay", "Key", hex);
    if (!r) Err("Could not save the relay key in " + run.IniPath + ": " + r.Error);
  };
  client.OnRelayStatus = [](const std::string& s) { Err("Relay status: " + s); };

  TCliChecks checks(client, run, loop, showState);
  loop.Add(client);
  loop.Add(checks);
  if (!GStop) loop.Run();
  const bool ok = run.GotID && (opt.ConnectID.empty() || run.Linked) && (!opt.SendText || run.Sent);
  // Destroying the client ends a live link with BYE and says BYE to the relay; its events still fire.
  owned.reset();
  return ok ? 0 : 1;
}
