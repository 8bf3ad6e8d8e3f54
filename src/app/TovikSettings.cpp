#include "app/TovikSettings.h"

#include "update/TovikVersion.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "app/TovikBuildInfo.h"
#include "base/TovikBytes.h"

namespace tovik {

// --- Places -------------------------------------------------------------------------------------

std::optional<std::string> ProcessEnv(const char* name) {
  const char* v = std::getenv(name);
  if (!v) return std::nullopt;
  return std::string(v);
}

std::string RunningProgramFile() {
  char buf[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return {};
  return std::string(buf, static_cast<std::size_t>(n));
}

namespace {

std::string FolderOf(const std::string& path) {
  auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// The path with the extension of its last component replaced (or added).
std::string WithExtension(const std::string& path, std::string_view ext) {
  auto slash = path.rfind('/');
  auto dot = path.rfind('.');
  std::size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  // A leading dot names a hidden file, not an extension.
  if (dot != std::string::npos && dot > nameStart) return path.substr(0, dot) + std::string(ext);
  return path + std::string(ext);
}

std::string NonEmpty(const std::optional<std::string>& v) { return v ? *v : std::string(); }

std::string AccountHome() {
  if (const passwd* pw = ::getpwuid(::geteuid()); pw && pw->pw_dir) return pw->pw_dir;
  return {};
}

std::string AccountName() {
  if (const passwd* pw = ::getpwuid(::geteuid()); pw && pw->pw_name) return pw->pw_name;
  return {};
}

}  // namespace

TSettingsPaths ComputeSettingsPaths(const TEnvLookup& env, const std::string& programFile) {
  TSettingsPaths p;
  std::string config = NonEmpty(env("XDG_CONFIG_HOME"));
  if (config.empty() || config.front() != '/') {  // relative values are to be ignored
    std::string home = NonEmpty(env("HOME"));
    if (home.empty()) home = AccountHome();
    config = home + "/.config";
  }
  p.UserFolder = config + "/Tovik";
  p.UserIni = p.UserFolder + "/Tovik.ini";
  p.LogPath = WithExtension(p.UserIni, ".log");
  p.ProgramFile = programFile;
  if (!programFile.empty()) {
    p.ProgramFolder = FolderOf(programFile);
    p.ProgramIni.push_back(WithExtension(programFile, ".ini"));
    if (programFile.rfind("/usr/", 0) == 0) p.ProgramIni.push_back("/etc/tovik/Tovik.ini");
    p.ServiceIni = p.ProgramFolder + "/Tovik.ini";
  }
  p.UserName = NonEmpty(env("USER"));
  if (p.UserName.empty()) p.UserName = NonEmpty(env("LOGNAME"));
  if (p.UserName.empty()) p.UserName = AccountName();
  return p;
}

// --- Catalogue ----------------------------------------------------------------------------------

namespace {

using enum TSettingType;
using enum TSettingLayers;

constexpr TSettingDef kCatalogue[] = {
    {"Relay", "Host", stText, kDefaultRelayHost, slUserProgramBuiltIn},
    {"Relay", "Port", stInt, "47800", slUserProgramBuiltIn},
    {"Relay", "Key", stText, "", slUserProgramBuiltIn},
    {"Relay", "TcpPort", stText, kDefaultTcpPorts, slUserProgramBuiltIn},
    {"ID", "Pinned", stText, "", slUser},
    {"ID", "Secret", stText, "", slUser, false, false, /*Secret*/ true},
    {"Session", "Unattended", stSwitch, "0", slUser},
    // The salted verifier of the unattended-access password (crypto/TovikPassword.h), never the password.
    {"Session", "UnattendedPassword", stText, "", slUser, false, false, /*Secret*/ true},
    {"Session", "EdgeSwitch", stSwitch, "1", slUser},
    {"Session", "HideWallpaper", stSwitch, "1", slUser},
    {"Session", "RecordFolder", stText, "", slUser},
    {"Viewer", "Scale", stInt, "0", slUser},
    {"UI", "Theme", stInt, "0", slUser},
    {"UI", "TabbedSessions", stSwitch, "1", slUser},
    {"Brand", "Name", stText, "", slUserProgram},
    {"Brand", "Logo", stText, "", slUserProgram},
    {"Brand", "Accent", stText, "", slUserProgramBuiltIn},
    {"Brand", "LogoData", stText, "", slBuiltIn},
    {"ServerBrand", "Name", stText, "", slUser},
    {"ServerBrand", "LogoHash", stText, "", slUser},
    {"ServerBrand", "LogoFile", stText, "", slUser},
    {"Book", "Secret", stText, "", slUser, false, false, /*Secret*/ true},
    {"Book", "Stamp", stText, "0", slUser},
    {"Book", "NewName", stText, "", slUser},
    {"Profile", "Name", stText, "", slUser, false, true},
    {"Profile", "Company", stText, "", slUser},
    {"Profile", "Email", stText, "", slUser},
    {"Profile", "Phone", stText, "", slUser},
    {"Profile", "Picture", stText, "", slUser},
    {"Update", "Enabled", stSwitch, "1", slUserProgram},
    {"Update", "Url", stText, "", slUserProgramBuiltIn},
    {"Admin", "AutoElevate", stSwitch, "0", slUserProgram},
    {"RemoteDesktop", "DefaultSet", stSwitch, "0", slUser},
    {"Recent", "Count", stInt, "0", slUser},
    {"Recent", "Id", stText, "", slUser, true},
    {"Recent", "Name", stText, "", slUser, true},
    {"Reports", "Wanted", stSwitch, "0", slUser},
    // The connection test's two STUN servers (host:port); empty: the test's built-in ones.
    {"Diag", "Stun1", stText, "", slUserProgram},
    {"Diag", "Stun2", stText, "", slUserProgram},
    // Read by the service from "Tovik.ini" in the program folder.
    {"Service", "KeepScreenOnDisconnect", stInt, "-1", slProgramFolder},
    {"Update", "Url", stText, "", slProgramFolder},
    {"Update", "Enabled", stSwitch, "1", slProgramFolder},
};

bool KeyMatches(const TSettingDef& d, std::string_view key) {
  if (!d.Numbered) return SameTextAscii(d.Key, key);
  if (key.size() <= d.Key.size() || !SameTextAscii(key.substr(0, d.Key.size()), d.Key)) return false;
  for (char c : key.substr(d.Key.size()))
    if (c < '0' || c > '9') return false;
  return true;
}

}  // namespace

std::span<const TSettingDef> SettingCatalogue() { return kCatalogue; }

const TSettingDef* FindSetting(std::string_view section, std::string_view key) {
  for (const auto& d : kCatalogue)  // the program's own rows come before the service's
    if (SameTextAscii(d.Section, section) && KeyMatches(d, key)) return &d;
  return nullptr;
}

// --- Derived values -----------------------------------------------------------------------------

TAccent ParseAccent(std::string_view text) {
  TAccent a;
  std::string_view t = TrimView(text);
  if (!t.empty() && t.front() == '#') t.remove_prefix(1);
  if (t.size() != 6) return a;
  std::uint32_t v = 0;
  for (char c : t) {
    int d;
    if (c >= '0' && c <= '9') d = c - '0';
    else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
    else return a;
    v = (v << 4) | static_cast<std::uint32_t>(d);
  }
  auto darker = [](std::uint32_t ch) { return ch - ch / 6; };
  a.Color = v;
  a.Darker = (darker(v >> 16 & 0xFF) << 16) | (darker(v >> 8 & 0xFF) << 8) | darker(v & 0xFF);
  a.Custom = true;
  return a;
}

std::string SaveFailureLine(TSaveFailure what, std::string_view keyName, std::string_view settingsPath,
                            std::string_view error) {
  std::string line = "Could not save ";
  switch (what) {
    case TSaveFailure::sfRelayKey:
      line.append(keyName).append(" in ").append(settingsPath);
      break;
    case TSaveFailure::sfTheme: line += "the day / night choice"; break;
    case TSaveFailure::sfUnattended: line += "the unattended setting"; break;
    case TSaveFailure::sfUnattendedPassword: line += "the unattended password"; break;
    case TSaveFailure::sfTabs: line += "the tabs setting"; break;
    case TSaveFailure::sfBookKey: line.append("the sync setting ").append(keyName); break;
    case TSaveFailure::sfRecentFile: line.append("the saved PCs in ").append(settingsPath); break;
    case TSaveFailure::sfRecent: line += "the saved PCs"; break;
    case TSaveFailure::sfServerLogo: line += "the server logo"; break;
  }
  line.append(": ").append(error);
  return line;
}

std::optional<std::string> FileTimeText(const std::string& path) {
  struct stat st {};
  if (path.empty() || ::stat(path.c_str(), &st) != 0) return std::nullopt;
  std::time_t t = st.st_mtime;
  std::tm tm {};
  if (!::localtime_r(&t, &tm)) return std::nullopt;
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04d%02d%02d.%02d%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
                tm.tm_min);
  return std::string(buf);
}

std::string BuildNumberText(std::string_view compiledIn, const std::string& programFile) {
  std::string_view b = TrimView(compiledIn);
  if (!b.empty() && b != "0") return std::string(b);
  if (auto t = FileTimeText(programFile)) return *t;
  return "?";
}

std::string BuildNumberText(const std::string& programFile) {
  // The build record (stamped by the release step) first, then the number given at configure time.
  if (const int own = OwnBuild(); own > 0) return std::to_string(own);
  return BuildNumberText(kCompiledBuildNumber, programFile);
}

// --- The store ----------------------------------------------------------------------------------

TSettingsStore::TSettingsStore(TSettingsPaths paths, const TIniText& builtIn)
    : FPaths(std::move(paths)), FBuiltIn(builtIn) {}

TFileResult TSettingsStore::EnsureUserFolder() const { return MakeFolders(FPaths.UserFolder); }

std::string TSettingsStore::ReadUserText(std::string_view section, std::string_view key, std::string_view def) const {
  return IniReadString(FPaths.UserIni, section, key, def);
}

std::int32_t TSettingsStore::ReadUserInt(std::string_view section, std::string_view key, std::int32_t def) const {
  return IniReadInt(FPaths.UserIni, section, key, def);
}

std::optional<std::string> TSettingsStore::FindProgramSide(std::string_view section, std::string_view key) const {
  for (const auto& file : FPaths.ProgramIni)
    if (auto v = IniFind(file, section, key)) return v;
  return std::nullopt;
}

namespace {

// The program-side files in order of precedence as a chain of defaults, then the per-user file.
std::string ChainText(const std::vector<std::string>& programIni, const std::string* userIni, std::string_view section,
                      std::string_view key, std::string def) {
  for (auto it = programIni.rbegin(); it != programIni.rend(); ++it) def = IniReadString(*it, section, key, def);
  if (userIni) def = IniReadString(*userIni, section, key, def);
  return def;
}

std::int32_t ChainInt(const std::vector<std::string>& programIni, const std::string* userIni, std::string_view section,
                      std::string_view key, std::int32_t def) {
  for (auto it = programIni.rbegin(); it != programIni.rend(); ++it) def = IniReadInt(*it, section, key, def);
  if (userIni) def = IniReadInt(*userIni, section, key, def);
  return def;
}

bool ValidPort(std::int32_t p) { return p > 0 && p <= 65535; }

}  // namespace

std::string TSettingsStore::DefaultOf(const TSettingDef& def) const {
  return def.DefaultIsUserName ? FPaths.UserName : std::string(def.Default);
}

std::string TSettingsStore::ReadLayeredText(const TSettingDef& def) const {
  switch (def.Layers) {
    case slUser: return ReadUserText(def.Section, def.Key, DefaultOf(def));
    case slUserProgram: return ChainText(FPaths.ProgramIni, &FPaths.UserIni, def.Section, def.Key, DefaultOf(def));
    case slBuiltIn: return FBuiltIn.ReadString(def.Section, def.Key, DefaultOf(def));
    case slProgramFolder: return IniReadString(FPaths.ServiceIni, def.Section, def.Key, DefaultOf(def));
    case slUserProgramBuiltIn: break;
  }
  // Keys with their own algorithm.
  if (def.Section == "Relay" && def.Key == "Host") return RelayEndpoint().Host;
  if (def.Section == "Relay" && def.Key == "Key") return RelayEndpoint().Key;
  if (def.Section == "Relay" && def.Key == "Port") return std::to_string(RelayEndpoint().Port);
  if (def.Section == "Relay" && def.Key == "TcpPort") return TcpPortsText();
  if (def.Section == "Update" && def.Key == "Url") return UpdateUrl();
  std::string v = FBuiltIn.ReadString(def.Section, def.Key, DefaultOf(def));
  return ChainText(FPaths.ProgramIni, &FPaths.UserIni, def.Section, def.Key, v);
}

std::int32_t TSettingsStore::ReadLayeredInt(const TSettingDef& def) const {
  const std::int32_t d = ParseIniInt(def.Default, 0);
  switch (def.Layers) {
    case slUser: return ReadUserInt(def.Section, def.Key, d);
    case slUserProgram: return ChainInt(FPaths.ProgramIni, &FPaths.UserIni, def.Section, def.Key, d);
    case slBuiltIn: return FBuiltIn.ReadInt(def.Section, def.Key, d);
    case slProgramFolder: return IniReadInt(FPaths.ServiceIni, def.Section, def.Key, d);
    case slUserProgramBuiltIn: break;
  }
  if (def.Section == "Relay" && def.Key == "Port") return RelayEndpoint().Port;
  return ChainInt(FPaths.ProgramIni, &FPaths.UserIni, def.Section, def.Key, FBuiltIn.ReadInt(def.Section, def.Key, d));
}

std::string TSettingsStore::ReadText(std::string_view section, std::string_view key) const {
  const TSettingDef* def = FindSetting(section, key);
  if (!def) return ReadUserText(section, key, "");
  TSettingDef d = *def;
  d.Key = key;  // numbered keys carry their number
  return Trim(ReadLayeredText(d));
}

std::int32_t TSettingsStore::ReadInt(std::string_view section, std::string_view key) const {
  const TSettingDef* def = FindSetting(section, key);
  if (!def) return ReadUserInt(section, key, 0);
  TSettingDef d = *def;
  d.Key = key;
  return ReadLayeredInt(d);
}

bool TSettingsStore::ReadSwitch(std::string_view section, std::string_view key) const {
  return ReadInt(section, key) != 0;
}

namespace {
bool IsSecret(std::string_view section, std::string_view key) {
  const TSettingDef* def = FindSetting(section, key);
  return def && def->Secret;
}
}  // namespace

bool TSettingsStore::HoldsSecret() const {
  for (const TSettingDef& d : kCatalogue)
    if (d.Secret && !Trim(IniReadString(FPaths.UserIni, d.Section, d.Key, "")).empty()) return true;
  return false;
}

TFileResult TSettingsStore::BeforeWrite(bool AAddsSecret) const {
  if (!AAddsSecret && !HoldsSecret()) return {};
  TFileResult r = RestrictToOwner(FPaths.UserIni);
  // A secret already in the file is no more exposed by this write; a new one is not written.
  return AAddsSecret ? r : TFileResult{};
}

TFileResult TSettingsStore::KeepSecretsPrivate() const { return BeforeWrite(false); }

TFileResult TSettingsStore::WriteText(std::string_view section, std::string_view key, std::string_view value) const {
  if (auto r = BeforeWrite(IsSecret(section, key) && !TrimView(value).empty()); !r) return r;
  return IniWriteString(FPaths.UserIni, section, key, value);
}

TFileResult TSettingsStore::WriteInt(std::string_view section, std::string_view key, std::int64_t value) const {
  if (auto r = BeforeWrite(IsSecret(section, key)); !r) return r;
  return IniWriteInt(FPaths.UserIni, section, key, value);
}

TFileResult TSettingsStore::WriteSwitch(std::string_view section, std::string_view key, bool on) const {
  return WriteInt(section, key, on ? 1 : 0);
}

TFileResult TSettingsStore::DeleteKey(std::string_view section, std::string_view key) const {
  if (auto r = BeforeWrite(false); !r) return r;
  return IniDeleteKey(FPaths.UserIni, section, key);
}

TFileResult TSettingsStore::EraseSection(std::string_view section) const {
  if (auto r = BeforeWrite(false); !r) return r;
  return IniEraseSection(FPaths.UserIni, section);
}

TFileResult TSettingsStore::WriteSection(std::string_view section, const TIniPairs& keys) const {
  bool adds = false;
  for (const auto& [key, value] : keys) adds = adds || (IsSecret(section, key) && !TrimView(value).empty());
  if (auto r = BeforeWrite(adds); !r) return r;
  return IniWriteSection(FPaths.UserIni, section, keys);
}

TFileResult TSettingsStore::WriteBatch(const std::vector<TIniEdit>& edits) const {
  bool adds = false;
  for (const TIniEdit& e : edits)
    adds = adds || (e.Value && IsSecret(e.Section, e.Key) && !TrimView(*e.Value).empty());
  if (auto r = BeforeWrite(adds); !r) return r;
  return IniWriteBatch(FPaths.UserIni, edits);
}

bool TSettingsStore::WriteTextLogged(TSaveFailure what, std::string_view section, std::string_view key,
                                     std::string_view value, const TLogSink& log) const {
  TFileResult r = WriteText(section, key, value);
  if (!r && log) log(SaveFailureLine(what, key, FPaths.UserIni, r.Error));
  return r.Ok();
}

TRelayEndpoint TSettingsStore::RelayEndpoint() const {
  TRelayEndpoint e;
  const std::string* user = &FPaths.UserIni;
  e.Host = Trim(ChainText(FPaths.ProgramIni, user, "Relay", "Host", ""));
  if (e.Host.empty()) {
    e.Host = Trim(FBuiltIn.ReadString("Relay", "Host", ""));
    e.FromBuiltIn = !e.Host.empty();
  }
  if (e.Host.empty()) e.Host = std::string(kDefaultRelayHost);
  if (e.FromBuiltIn) {
    // The built-in endpoint is taken whole: the files' Port and Key belong to another relay.
    e.Port = FBuiltIn.ReadInt("Relay", "Port", kDefaultRelayPort);
    e.Key = Trim(FBuiltIn.ReadString("Relay", "Key", ""));
  } else {
    e.Port = ChainInt(FPaths.ProgramIni, user, "Relay", "Port", kDefaultRelayPort);
    e.Key = Trim(ChainText(FPaths.ProgramIni, user, "Relay", "Key", ""));
  }
  if (!ValidPort(e.Port)) e.Port = kDefaultRelayPort;
  return e;
}

std::string TSettingsStore::TcpPortsText() const {
  std::string builtIn = FBuiltIn.ReadString("Relay", "TcpPort", kDefaultTcpPorts);
  std::string v = Trim(ChainText(FPaths.ProgramIni, &FPaths.UserIni, "Relay", "TcpPort", builtIn));
  return v.empty() ? std::string(kDefaultTcpPorts) : v;
}

int TSettingsStore::Theme() const {
  int t = ReadUserInt("UI", "Theme", 0);
  return t >= 0 && t <= 2 ? t : 0;
}

std::string TSettingsStore::UpdateUrl() const {
  std::string url = Trim(ChainText(FPaths.ProgramIni, &FPaths.UserIni, "Update", "Url", ""));
  if (url.empty()) url = Trim(FBuiltIn.ReadString("Update", "Url", ""));
  if (url.empty()) url = std::string(kDefaultUpdateUrl);
  return url;
}

TLocalBranding TSettingsStore::LocalBranding() const {
  TLocalBranding b;
  b.Name = Trim(ChainText(FPaths.ProgramIni, &FPaths.UserIni, "Brand", "Name", ""));
  b.Logo = Trim(ChainText(FPaths.ProgramIni, &FPaths.UserIni, "Brand", "Logo", ""));
  b.LogoPath = b.Logo;
  if (!b.Logo.empty() && b.Logo.find('/') == std::string::npos && !FPaths.ProgramFolder.empty())
    b.LogoPath = FPaths.ProgramFolder + "/" + b.Logo;
  b.BuiltInName = Trim(FBuiltIn.ReadString("Brand", "Name", ""));

  std::string data = FBuiltIn.ReadString("Brand", "LogoData", "");
  if (!data.empty()) {
    auto bytes = Base64Decode(data);
    if (bytes && bytes->size() > 3) {
      bool jpeg = (*bytes)[0] == 0xFF && (*bytes)[1] == 0xD8;
      std::string path = FPaths.UserFolder + (jpeg ? "/BuiltInLogo.jpg" : "/BuiltInLogo.png");
      if (EnsureUserFolder() &&
          WriteFileAtomic(path, std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()), 0644))
        b.BuiltInLogo = path;
    }
  }

  b.CaptionName = !b.Name.empty() ? b.Name : !b.BuiltInName.empty() ? b.BuiltInName : std::string(kStandardName);
  b.AccentText = Trim(ChainText(FPaths.ProgramIni, &FPaths.UserIni, "Brand", "Accent", ""));
  if (b.AccentText.empty()) b.AccentText = FBuiltIn.ReadString("Brand", "Accent", "");
  b.Accent = ParseAccent(b.AccentText);
  return b;
}

TShellValues TSettingsStore::LoadShellValues() const {
  TShellValues v;
  v.UserIni = FPaths.UserIni;
  v.EdgeSwitch = ReadSwitch("Session", "EdgeSwitch");
  v.HideWallpaper = ReadSwitch("Session", "HideWallpaper");
  v.RecordFolder = ReadText("Session", "RecordFolder");
  v.ViewScale = ReadInt("Viewer", "Scale");
  v.TcpPortsText = TcpPortsText();
  std::string accent = Trim(ChainText(FPaths.ProgramIni, &FPaths.UserIni, "Brand", "Accent", ""));
  if (accent.empty()) accent = FBuiltIn.ReadString("Brand", "Accent", "");
  v.Accent = ParseAccent(accent);
  return v;
}

// --- Remote Desktop drawing default -------------------------------------------------------------

void ApplyRemoteDesktopDefaultOnce(const TSettingsStore& store, IRemoteDesktopDefault& backend, const TLogSink& log) {
  if (store.ReadSwitch("RemoteDesktop", "DefaultSet")) return;
  switch (backend.KeepDrawingWhenMinimized()) {
    case TRemoteDesktopResult::rdNotApplicable:
    case TRemoteDesktopResult::rdFailed:
      return;
    case TRemoteDesktopResult::rdChanged:
      if (log) log("Remote Desktop on this PC now keeps drawing when minimized (Settings > Network)");
      break;
    case TRemoteDesktopResult::rdAlreadySet:
      break;
  }
  store.WriteSwitch("RemoteDesktop", "DefaultSet", true);
}

}  // namespace tovik
