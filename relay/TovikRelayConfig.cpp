#include "TovikRelayConfig.h"

#include "base/TovikBytes.h"
#include "net/TovikWire.h"

namespace tovik {

namespace {

std::optional<bool> ParseBool(std::string_view v) {
  const std::string s = AsciiLower(TrimView(v));
  if (s == "1" || s == "yes" || s == "true" || s == "on") return true;
  if (s == "0" || s == "no" || s == "false" || s == "off") return false;
  return std::nullopt;
}

// Applies one key; returns an error text or empty.
std::string ApplyKey(TRelaySettings& st, std::string_view keyIn, std::string_view value) {
  const std::string key = AsciiLower(keyIn);
  const std::string v = Trim(value);
  auto number = [&](std::uint64_t max) { return ParseDecimal(v, max); };
  if (key == "datadir") {
    if (v.empty()) return "DataDir is empty";
    st.DataDir = v;
  } else if (key == "listen") {
    if (!ParseIPv4(v)) return "Listen must be an IPv4 address: " + v;
    st.Listen = v;
  } else if (key == "udpport") {
    const auto n = number(65535);
    if (!n) return "UdpPort must be 0 to 65535 (0: any free port): " + v;
    st.UdpPort = static_cast<std::uint16_t>(*n);
  } else if (key == "tcpports") {
    st.TcpPorts = ParsePortList(v);
  } else if (key == "announceports" || key == "relaying" || key == "companymode") {
    const auto b = ParseBool(v);
    if (!b) return std::string(keyIn) + " must be 0 or 1";
    (key == "announceports" ? st.AnnouncePorts : key == "relaying" ? st.Relaying : st.CompanyMode) = *b;
  } else if (key == "brandname") {
    st.BrandName = v;
  } else if (key == "logofile") {
    st.LogoFile = v;
  } else if (key == "mailcommand") {
    st.MailCommand = v;
  } else if (key == "onetimeidseconds") {
    const auto n = number(86'400 * 30);
    if (!n || *n < 60) return "OneTimeIDSeconds must be 60 or more: " + v;
    st.OneTimeIDSeconds = static_cast<std::uint32_t>(*n);
  } else if (key == "maxsessions") {
    const auto n = number(10'000'000);
    if (!n || *n < 1) return "MaxSessions must be a positive number: " + v;
    st.MaxSessions = static_cast<std::uint32_t>(*n);
  } else {
    return "unknown setting " + std::string(keyIn);
  }
  return {};
}

}  // namespace

void ApplyIni(TRelaySettings& ASettings, std::string_view AText, std::vector<std::string>& AErrors) {
  std::string section;
  std::size_t lineNo = 0, start = 0;
  while (start < AText.size()) {
    std::size_t end = AText.find('\n', start);
    if (end == std::string_view::npos) end = AText.size();
    const std::string_view line = TrimView(AText.substr(start, end - start));
    start = end + 1;
    ++lineNo;
    if (line.empty() || line[0] == ';' || line[0] == '#') continue;
    if (line.front() == '[') {
      section = AsciiLower(TrimView(line.substr(1, line.find(']') == std::string_view::npos ? line.size() - 1
                                                                                         : line.find(']') - 1)));
      continue;
    }
    if (!section.empty() && section != "relay") continue;
    const std::size_t eq = line.find('=');
    if (eq == std::string_view::npos) {
      AErrors.push_back("line " + std::to_string(lineNo) + ": no '='");
      continue;
    }
    const std::string err = ApplyKey(ASettings, TrimView(line.substr(0, eq)), line.substr(eq + 1));
    if (!err.empty()) AErrors.push_back("line " + std::to_string(lineNo) + ": " + err);
  }
}

bool ParseArgs(TRelaySettings& ASettings, const std::vector<std::string>& AArgs, std::string& AError) {
  static const std::pair<const char*, const char*> kFlags[] = {
      {"--data", "datadir"}, {"--listen", "listen"}, {"--udp-port", "udpport"}, {"--tcp-ports", "tcpports"}};
  for (std::size_t i = 0; i < AArgs.size(); ++i) {
    std::string a = AArgs[i];
    std::string value;
    bool hasValue = false;
    if (a.rfind("--", 0) == 0) {
      const std::size_t eq = a.find('=');
      if (eq != std::string::npos) {
        value = a.substr(eq + 1);
        a = a.substr(0, eq);
        hasValue = true;
      }
    }
    auto takeValue = [&]() -> bool {
      if (hasValue) return true;
      if (i + 1 >= AArgs.size()) {
        AError = a + " needs a value";
        return false;
      }
      value = AArgs[++i];
      return true;
    };
    if (a == "--help" || a == "-h") {
      ASettings.Command = TRelaySettings::TCommand::ckHelp;
    } else if (a == "--version") {
      ASettings.Command = TRelaySettings::TCommand::ckVersion;
    } else if (a == "--config") {
      if (!takeValue()) return false;
      ASettings.ConfigFile = value;
    } else if (a == "key" || a == "feedback" || a == "reports" || a == "usage" || a == "run") {
      ASettings.Command = a == "key"        ? TRelaySettings::TCommand::ckKey
                          : a == "feedback" ? TRelaySettings::TCommand::ckFeedback
                          : a == "reports"  ? TRelaySettings::TCommand::ckReports
                          : a == "usage"    ? TRelaySettings::TCommand::ckUsage
                                            : TRelaySettings::TCommand::ckRun;
    } else {
      const char* key = nullptr;
      for (const auto& [flag, k] : kFlags)
        if (a == flag) key = k;
      if (!key) {
        AError = "unknown argument " + a;
        return false;
      }
      if (!takeValue()) return false;
      const std::string err = ApplyKey(ASettings, key, value);
      if (!err.empty()) {
        AError = a + ": " + err;
        return false;
      }
    }
  }
  return true;
}

const char* RelayUsageText() {
  return "Usage: tovik-relay [command] [options]\n"
         "\n"
         "Commands:\n"
         "  run              serve clients (the default)\n"
         "  key              print the relay key's fingerprint and its public key\n"
         "  feedback         list the stored feedback messages\n"
         "  reports          list the stored session reports\n"
         "  usage            list the stored sessions (number, start and end in UTC, length, the\n"
         "                   helper's ID, the helped PC's ID, direct or relay)\n"
         "\n"
         "Options:\n"
         "  --config FILE    INI file with a [Relay] section (keys: DataDir, Listen, UdpPort, TcpPorts,\n"
         "                   AnnouncePorts, Relaying, CompanyMode, BrandName, LogoFile, MailCommand,\n"
         "                   OneTimeIDSeconds, MaxSessions); flags override it\n"
         "  --data DIR       data folder (key file and database); default /var/lib/tovik-relay\n"
         "  --listen ADDR    IPv4 address to listen on; default 0.0.0.0\n"
         "  --udp-port N     UDP port; default 47800\n"
         "  --tcp-ports LIST up to four TCP fallback ports; default 8443,443,80; 0 for none\n"
         "  --help           this text\n"
         "  --version        the version\n";
}

}  // namespace tovik
