// tovik-relay: entry point. Reads the settings, loads or creates the signing key in the data
// folder, opens the database and serves until SIGTERM or SIGINT.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>

#include "TovikRelayConfig.h"
#include "TovikRelayCore.h"
#include "TovikRelayServer.h"
#include "TovikRelayStore.h"

using namespace tovik;

namespace {

#ifndef TOVIK_VERSION
#define TOVIK_VERSION "0"
#endif

TRelayServer* GServer = nullptr;

// One line per message on stderr. Under systemd (JOURNAL_STREAM set) the journal adds the time,
// so lines carry only a priority prefix; elsewhere they start with the UTC time.
void LogLine(std::string_view text, int priority = 6) {
  static const bool journal = getenv("JOURNAL_STREAM") != nullptr;
  std::string line;
  if (journal) {
    line = "<" + std::to_string(priority) + ">";
  } else {
    char stamp[32];
    const time_t t = time(nullptr);
    struct tm tm;
    gmtime_r(&t, &tm);
    strftime(stamp, sizeof(stamp), "%Y-%m-%d %H:%M:%S ", &tm);
    line = stamp;
  }
  for (char c : text) line += (c == '\n' || c == '\r') ? ' ' : c;
  line += '\n';
  (void)!write(2, line.data(), line.size());
}

void OnSignal(int) {
  if (GServer) GServer->RequestStop();
}

bool ReadFile(const std::string& path, std::string& out, std::size_t max) {
  std::ifstream f(path, std::ios::binary);
  if (!f) return false;
  std::ostringstream s;
  s << f.rdbuf();
  out = s.str();
  return out.size() <= max;
}

bool EnsureDir(const std::string& dir, std::string& err) {
  struct stat st;
  if (stat(dir.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return true;
    err = dir + " is not a folder";
    return false;
  }
  if (mkdir(dir.c_str(), 0700) != 0) {
    err = "cannot create " + dir + ": " + strerror(errno);
    return false;
  }
  return true;
}

// Loads the signing key from <data>/relay.key, creating it (mode 0600) on first start.
std::optional<TEcdsaKey> LoadOrCreateKey(const std::string& dir, bool create, std::string& err) {
  const std::string path = dir + "/relay.key";
  std::string blob;
  if (ReadFile(path, blob, 4096)) {
    try {
      return TEcdsaKey::CreateFromPrivateBlob(BytesOf(blob));
    } catch (const ETovikCrypto& e) {
      err = path + ": " + e.what();
      return std::nullopt;
    }
  }
  if (!create) {
    err = "no key in " + path + " yet; start the relay once to create it";
    return std::nullopt;
  }
  TEcdsaKey key = TEcdsaKey::CreateNew();
  TBytes data = key.PrivateBlob();
  const std::string tmp = path + ".new";
  const int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  bool ok = fd >= 0 && write(fd, data.data(), data.size()) == static_cast<ssize_t>(data.size()) && fsync(fd) == 0;
  if (fd >= 0) close(fd);
  WipeBytes(data);
  ok = ok && rename(tmp.c_str(), path.c_str()) == 0;
  if (!ok) {
    err = "cannot write " + path + ": " + strerror(errno);
    unlink(tmp.c_str());
    return std::nullopt;
  }
  LogLine("Created a new relay key in " + path);
  return key;
}

// Delivers a feedback message through the configured command: the decoded text on its standard
// input (the address line emptied unless it is a valid address), the message ID in TOVIK_FEEDBACK_ID
// and the checked address (or nothing) in TOVIK_FEEDBACK_EMAIL. Runs detached; the loop does not wait.
void Deliver(const std::string& command, const TStoredMessage& m) {
  const auto decoded = Base64Decode(m.Payload);
  if (!decoded) return;
  std::string email;
  const std::string mailText =
      FeedbackTextForMail(std::string_view(reinterpret_cast<const char*>(decoded->data()), decoded->size()), &email);
  const std::string* text = &mailText;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return;
  const pid_t pid = fork();
  if (pid < 0) {
    close(fds[0]);
    close(fds[1]);
    LogLine("Could not start the mail command: " + std::string(strerror(errno)), 3);
    return;
  }
  if (pid == 0) {
    dup2(fds[0], 0);
    setenv("TOVIK_FEEDBACK_ID", m.MsgID.c_str(), 1);
    setenv("TOVIK_FEEDBACK_EMAIL", email.c_str(), 1);
    execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(fds[0]);
  // Payloads are at most 8 x 800 Base64 characters, well inside a pipe's buffer.
  (void)!write(fds[1], text->data(), text->size());
  close(fds[1]);
}

// "YYYY-MM-DD HH:MM:SS" in UTC of a time in ms since 1970.
std::string UtcText(std::int64_t ms) {
  char when[32];
  const time_t t = static_cast<time_t>(ms / 1000);
  struct tm tm;
  if (!gmtime_r(&t, &tm) || strftime(when, sizeof(when), "%Y-%m-%d %H:%M:%S", &tm) == 0) return "?";
  return when;
}

int ListMessages(IRelayStore& store, bool feedback) {
  const auto list = feedback ? store.Feedback(1000) : store.Reports(1000);
  for (const auto& m : list) {
    const std::string when = UtcText(m.Stamp);
    const auto text = Base64Decode(m.Payload);
    std::string body = text ? StringOf(*text) : "(damaged)";
    for (char& c : body)
      if (c == '\n') c = '|';
    std::cout << m.Id << "  " << when << "  " << m.MsgID << "  " << m.Sender << "  " << body << "\n";
  }
  if (list.empty()) std::cout << (feedback ? "No feedback stored.\n" : "No reports stored.\n");
  return 0;
}

// The usage records written when a helper's session ends, oldest first: number, start, end,
// length (H:MM:SS), helper's ID, helped PC's ID and how the pair was linked.
int ListUsage(IRelayStore& store) {
  const auto list = store.Usage(1000);
  for (const auto& r : list) {
    const std::int64_t secs = std::max<std::int64_t>(0, (r.EndMs - r.StartMs) / 1000);
    char length[32];
    snprintf(length, sizeof(length), "%lld:%02lld:%02lld", static_cast<long long>(secs / 3600),
             static_cast<long long>(secs / 60 % 60), static_cast<long long>(secs % 60));
    std::cout << r.Id << "  " << UtcText(r.StartMs) << "  " << UtcText(r.EndMs) << "  " << length << "  "
              << r.ViewerID << "  " << r.HostID << "  " << r.Transport << "\n";
  }
  if (list.empty()) std::cout << "No usage records stored.\n";
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  TRelaySettings st;
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string err;
  if (!ParseArgs(st, args, err)) {
    std::cerr << "tovik-relay: " << err << "\n" << RelayUsageText();
    return 2;
  }
  if (st.Command == TRelaySettings::TCommand::ckHelp) {
    std::cout << RelayUsageText();
    return 0;
  }
  if (st.Command == TRelaySettings::TCommand::ckVersion) {
    std::cout << "tovik-relay " << TOVIK_VERSION << "\n";
    return 0;
  }
  if (!st.ConfigFile.empty()) {
    std::string text;
    if (!ReadFile(st.ConfigFile, text, 1 << 20)) {
      std::cerr << "tovik-relay: cannot read " << st.ConfigFile << "\n";
      return 2;
    }
    std::vector<std::string> errors;
    ApplyIni(st, text, errors);
    for (const auto& e : errors) LogLine(st.ConfigFile + ": " + e, 4);
    ParseArgs(st, args, err);  // flags win over the file
  }

  const bool run = st.Command == TRelaySettings::TCommand::ckRun;
  if (run && !EnsureDir(st.DataDir, err)) {
    LogLine(err, 3);
    return 1;
  }
  auto key = LoadOrCreateKey(st.DataDir, run, err);
  if (st.Command == TRelaySettings::TCommand::ckKey) {
    if (!key) {
      std::cerr << "tovik-relay: " << err << "\n";
      return 1;
    }
    std::cout << "Fingerprint: " << KeyFingerprint(key->Public()) << "\n"
              << "Public key:  " << BytesToHex(key->Public()) << "\n";
    return 0;
  }
  if (run && !key) {
    LogLine(err, 3);
    return 1;
  }
  auto store = TSqliteRelayStore::Open(st.DataDir + "/relay.db", err);
  if (!store) {
    LogLine("Cannot open the database: " + err, 3);
    return 1;
  }
  if (st.Command == TRelaySettings::TCommand::ckFeedback) return ListMessages(*store, true);
  if (st.Command == TRelaySettings::TCommand::ckReports) return ListMessages(*store, false);
  if (st.Command == TRelaySettings::TCommand::ckUsage) return ListUsage(*store);

  TRelayConfig cfg;
  cfg.Relaying = st.Relaying;
  cfg.CompanyMode = st.CompanyMode;
  cfg.BrandName = st.BrandName;
  cfg.OneTimeIDSeconds = st.OneTimeIDSeconds;
  cfg.MaxSessions = st.MaxSessions;
  cfg.OnLog = [](std::string_view s) { LogLine(s); };
  if (!st.LogoFile.empty()) {
    std::string logo;
    if (ReadFile(st.LogoFile, logo, 1 << 20)) cfg.Logo = BytesOf(logo);
    else LogLine("Cannot read the logo " + st.LogoFile + "; no logo is offered", 4);
  }
  if (!st.MailCommand.empty()) {
    const std::string cmd = st.MailCommand;
    cfg.OnFeedback = [cmd](const TStoredMessage& m) { Deliver(cmd, m); };
  }

  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  struct sigaction chld {};
  chld.sa_handler = SIG_DFL;
  chld.sa_flags = SA_NOCLDWAIT;  // mail commands are never waited for
  sigaction(SIGCHLD, &chld, nullptr);
  signal(SIGPIPE, SIG_IGN);

  TRelayServerOptions opt;
  opt.Listen = st.Listen;
  opt.UdpPort = st.UdpPort;
  opt.TcpPorts = st.TcpPorts;
  TRelayCore core(cfg, *store, *key);
  TRelayServer server(opt, core, [](std::string_view s) { LogLine(s, 4); });
  if (!server.Open(err)) {
    LogLine(err, 3);
    return 1;
  }
  // PORTS announces the TCP ports that were really bound.
  if (st.AnnouncePorts) core.SetAnnouncePorts(server.TcpPorts());
  std::string tcp;
  for (auto p : server.TcpPorts()) tcp += (tcp.empty() ? "" : ",") + std::to_string(p);
  LogLine("tovik-relay " + std::string(TOVIK_VERSION) + " listening on UDP " + st.Listen + ":" +
          std::to_string(server.UdpPort()) + ", TCP " + (tcp.empty() ? "none" : tcp) + "; key " +
          KeyFingerprint(key->Public()) + "; data " + st.DataDir);
  GServer = &server;
  server.Run();
  GServer = nullptr;
  LogLine("Stopped");
  return 0;
}
