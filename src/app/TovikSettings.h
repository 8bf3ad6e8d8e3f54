// The settings store: where the settings files live, every key with its type, default and layers,
// the values computed from several keys (relay endpoint, TCP fallback ports, branding, accent), the
// build number text and the "Could not save ..." log lines.
//
// Layers: the per-user file ($XDG_CONFIG_HOME/Tovik/Tovik.ini, written by the program), the
// program-side files (the program path with ".ini", and /etc/tovik/Tovik.ini for a program under
// /usr; never written) and the block built into the program file (never written). Writes always go
// to the per-user file. Every read and write opens the file by name and closes it again.
//
// No Qt and no global state: the paths and the built-in block are handed in, so tests use temporary
// folders. Threads: a TSettingsStore is used from the GUI thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/TovikIni.h"

namespace tovik {

// Deployment values.
inline constexpr std::string_view kDefaultRelayHost = "relay.tovik.net";
inline constexpr int kDefaultRelayPort = 47800;
inline constexpr std::string_view kDefaultTcpPorts = "8443,443,80";
inline constexpr std::string_view kDefaultUpdateUrl = "https://update.tovik.net/tovik-update.txt";
inline constexpr std::string_view kStandardName = "Tovik";

// --- Places -------------------------------------------------------------------------------------

struct TSettingsPaths {
  std::string UserFolder;               // per-user folder, created when the main window is created
  std::string UserIni;                  // UserFolder + "/Tovik.ini"
  std::string LogPath;                  // UserIni with ".log" instead of ".ini"
  std::string ProgramFile;              // the running program file
  std::string ProgramFolder;            // its folder
  std::vector<std::string> ProgramIni;  // program-side files; the first one holding a key wins
  std::string ServiceIni;               // "Tovik.ini" in the program folder (service settings)
  std::string UserName;                 // default for [Profile] Name
};

// Looks up an environment variable; nullopt when unset.
using TEnvLookup = std::function<std::optional<std::string>(const char* name)>;

// The real process environment (getenv).
std::optional<std::string> ProcessEnv(const char* name);
// The running program file (/proc/self/exe), or empty when it cannot be read.
std::string RunningProgramFile();

// Places from the environment: the per-user folder is $XDG_CONFIG_HOME/Tovik, else $HOME/.config/Tovik,
// else the account's home folder + "/.config/Tovik". The user name is $USER, else $LOGNAME, else the
// account's name.
TSettingsPaths ComputeSettingsPaths(const TEnvLookup& env, const std::string& programFile);

// --- Catalogue ----------------------------------------------------------------------------------

enum class TSettingType {
  stText,    // free text, trimmed when read
  stInt,     // decimal integer
  stSwitch,  // 0 off, anything else on; written as 0 or 1
};

enum class TSettingLayers {
  slUser,                  // per-user file only
  slUserProgram,           // program-side value is the default of the per-user read
  slUserProgramBuiltIn,    // built-in value is the default of the program-side read (own algorithms
                           // for the relay endpoint, the accent and the update address)
  slBuiltIn,               // the built-in block only
  slProgramFolder,         // "Tovik.ini" in the program folder only (the service reads it)
};

struct TSettingDef {
  std::string_view Section;
  std::string_view Key;
  TSettingType Type;
  std::string_view Default;
  TSettingLayers Layers;
  bool Numbered = false;          // Key is a prefix followed by a number (Id1, Name1, ...)
  bool DefaultIsUserName = false;  // the default is TSettingsPaths::UserName
  bool Secret = false;             // the value is a secret: see TSettingsStore::KeepSecretsPrivate
};

// Every key the program knows.
std::span<const TSettingDef> SettingCatalogue();
// The catalogue entry of a key (names compare without regard to case), or nullptr.
const TSettingDef* FindSetting(std::string_view section, std::string_view key);

// --- Derived values -----------------------------------------------------------------------------

struct TRelayEndpoint {
  std::string Host;
  int Port = kDefaultRelayPort;
  std::string Key;           // hexadecimal public key; empty: learn it on first contact
  bool FromBuiltIn = false;  // Host, Port and Key came from the built-in block
};

// Accent colour as 0xRRGGBB and its darker variant.
struct TAccent {
  std::uint32_t Color = 0x2563EB;
  std::uint32_t Darker = 0x1D4ED8;
  bool Custom = false;
};

// "#RRGGBB" or "RRGGBB" (trimmed) gives that colour with each channel of the darker variant reduced
// by a sixth of itself (rounded down); anything else gives the standard blue.
TAccent ParseAccent(std::string_view text);

struct TLocalBranding {
  std::string Name;          // per-user over program-side [Brand] Name, trimmed
  std::string Logo;          // per-user over program-side [Brand] Logo, trimmed, as written
  std::string LogoPath;      // Logo with a bare file name taken from the program folder
  std::string BuiltInName;   // built-in [Brand] Name, trimmed
  std::string BuiltInLogo;   // path of the stored built-in logo, empty when there is none
  std::string CaptionName;   // Name, else BuiltInName, else "Tovik"
  std::string AccentText;    // the accent text that was used
  TAccent Accent;
};

// Values loaded once at start and shared by the whole program.
struct TShellValues {
  std::string UserIni;
  bool EdgeSwitch = true;
  bool HideWallpaper = true;
  std::string RecordFolder;
  int ViewScale = 0;
  std::string TcpPortsText;
  bool TcpPortsChanged = false;
  TAccent Accent;
};

// Which guarded write failed; each has its own log line.
enum class TSaveFailure {
  sfRelayKey,    // a [Relay] key: needs the key name and the settings path
  sfTheme,       // [UI] Theme
  sfUnattended,  // [Session] Unattended
  sfUnattendedPassword,  // [Session] UnattendedPassword
  sfTabs,        // [UI] TabbedSessions
  sfBookKey,     // a [Book] key: needs the key name
  sfRecentFile,  // [Recent] with a system error: needs the settings path
  sfRecent,      // [Recent] otherwise
  sfServerLogo,  // the stored server logo
};

// The log line for a failed write, beginning "Could not save ".
std::string SaveFailureLine(TSaveFailure what, std::string_view keyName, std::string_view settingsPath,
                            std::string_view error);

// "yyyymmdd.hhnn" of a file's modification time (local time), or nullopt.
std::optional<std::string> FileTimeText(const std::string& path);
// The build number: compiledIn when it is set and not "0", else the program file's time, else "?".
std::string BuildNumberText(std::string_view compiledIn, const std::string& programFile);
// The same with the build number CMake compiled in (TOVIK_BUILD_NUMBER).
std::string BuildNumberText(const std::string& programFile);

// --- The store ----------------------------------------------------------------------------------

using TLogSink = std::function<void(std::string_view line)>;

class TSettingsStore {
 public:
  // builtIn must outlive the store (normally BuiltInSettings()).
  TSettingsStore(TSettingsPaths paths, const TIniText& builtIn);

  const TSettingsPaths& Paths() const { return FPaths; }
  const TIniText& BuiltIn() const { return FBuiltIn; }

  // Creates the per-user folder when it is missing.
  TFileResult EnsureUserFolder() const;

  // Catalogue reads: the key's own default and layers. A key missing from the catalogue reads from
  // the per-user file with an empty (or 0) default.
  std::string ReadText(std::string_view section, std::string_view key) const;
  std::int32_t ReadInt(std::string_view section, std::string_view key) const;
  bool ReadSwitch(std::string_view section, std::string_view key) const;

  // Single layers with a caller's default.
  std::string ReadUserText(std::string_view section, std::string_view key, std::string_view def) const;
  std::int32_t ReadUserInt(std::string_view section, std::string_view key, std::int32_t def) const;
  // Program-side files in order, the first holding the key wins.
  std::optional<std::string> FindProgramSide(std::string_view section, std::string_view key) const;

  // Writes go to the per-user file. A write that leaves a secret in it makes it private first (see
  // KeepSecretsPrivate) and fails, writing nothing, when that cannot be done for a secret it adds.
  TFileResult WriteText(std::string_view section, std::string_view key, std::string_view value) const;
  TFileResult WriteInt(std::string_view section, std::string_view key, std::int64_t value) const;
  TFileResult WriteSwitch(std::string_view section, std::string_view key, bool on) const;
  TFileResult DeleteKey(std::string_view section, std::string_view key) const;
  TFileResult EraseSection(std::string_view section) const;
  TFileResult WriteSection(std::string_view section, const TIniPairs& keys) const;
  // Several keys set or removed in one write of the per-user file: all of them land, or none.
  TFileResult WriteBatch(const std::vector<TIniEdit>& edits) const;

  // While the per-user file holds a secret (a non-empty value of a key marked Secret in the
  // catalogue), group and others have no rights on it (0600 as the program creates it). A write that
  // leaves a secret in the file tightens the existing file before it replaces it, and the new file
  // takes that mode, so the secret is never readable by others, not even for a moment; the program
  // calls this at start for a file written by hand or by an older build. Success when there is
  // nothing to do.
  TFileResult KeepSecretsPrivate() const;

  // A write whose failure is logged with its "Could not save " line and otherwise ignored.
  // Returns whether the write succeeded.
  bool WriteTextLogged(TSaveFailure what, std::string_view section, std::string_view key, std::string_view value,
                       const TLogSink& log) const;

  // Derived values.
  TRelayEndpoint RelayEndpoint() const;
  std::string TcpPortsText() const;
  // [UI] Theme as 0 Auto, 1 Day, 2 Night; other values read as 0.
  int Theme() const;
  // Update address: per-user over program-side, else the built-in block's, else the default.
  std::string UpdateUrl() const;
  // Reads the branding and stores the built-in logo (BuiltInLogo.jpg or .png in the per-user folder).
  TLocalBranding LocalBranding() const;
  TShellValues LoadShellValues() const;

 private:
  std::string ReadLayeredText(const TSettingDef& def) const;
  std::int32_t ReadLayeredInt(const TSettingDef& def) const;
  std::string DefaultOf(const TSettingDef& def) const;
  bool HoldsSecret() const;
  // Before a write to the per-user file; AAddsSecret: the write leaves a secret in it.
  TFileResult BeforeWrite(bool AAddsSecret) const;

  TSettingsPaths FPaths;
  const TIniText& FBuiltIn;
};

// --- Remote Desktop drawing default -------------------------------------------------------------

enum class TRemoteDesktopResult {
  rdNotApplicable,  // this system has no such setting
  rdAlreadySet,     // it was already on
  rdChanged,        // it has been switched on now
  rdFailed,         // it could not be read or written
};

// Keeps the system's Remote Desktop client drawing while it is minimized. One call at a time.
class IRemoteDesktopDefault {
 public:
  virtual ~IRemoteDesktopDefault() = default;
  virtual TRemoteDesktopResult KeepDrawingWhenMinimized() = 0;
  // The backend for this system (on Linux: "not applicable").
  static std::unique_ptr<IRemoteDesktopDefault> Create();
};

// Once per user: while [RemoteDesktop] DefaultSet is 0, applies the default and then sets DefaultSet
// to 1 (logging the change when one was made). A system without the setting leaves the file
// untouched and logs nothing; a failure leaves DefaultSet at 0 so the next start tries again.
void ApplyRemoteDesktopDefaultOnce(const TSettingsStore& store, IRemoteDesktopDefault& backend, const TLogSink& log);

}  // namespace tovik
