// Settings of tovik-relay: an INI file plus command-line flags (flags win). Parsing only; the
// caller reads the file. Pure functions, any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tovik {

struct TRelaySettings {
  std::string ConfigFile;                 // --config
  std::string DataDir = "/var/lib/tovik-relay";
  std::string Listen = "0.0.0.0";         // IPv4 address to bind
  std::uint16_t UdpPort = 47800;
  std::vector<std::uint16_t> TcpPorts{8443, 443, 80};
  bool AnnouncePorts = true;              // tell clients the TCP ports with PORTS
  bool Relaying = true;
  bool CompanyMode = false;
  std::string BrandName;
  std::string LogoFile;
  std::string MailCommand;                // run with each feedback message on its standard input
  std::uint32_t OneTimeIDSeconds = 600;
  std::uint32_t MaxSessions = 250'000;

  // What the command line asks for.
  enum class TCommand { ckRun, ckKey, ckFeedback, ckReports, ckUsage, ckHelp, ckVersion };
  TCommand Command = TCommand::ckRun;
};

// Applies the keys of an INI text ([Relay] section or no section; keys case-insensitive).
// Unknown keys and bad values are reported in AErrors and otherwise ignored.
void ApplyIni(TRelaySettings& ASettings, std::string_view AText, std::vector<std::string>& AErrors);

// Parses argv (without argv[0]). Returns false with AError for an unknown flag or a bad value.
// --config is only recorded here; the caller loads it and then parses the flags again so that
// flags override the file.
bool ParseArgs(TRelaySettings& ASettings, const std::vector<std::string>& AArgs, std::string& AError);

const char* RelayUsageText();

}  // namespace tovik
