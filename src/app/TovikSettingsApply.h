// The settings dialog's record and what the main window does with it, without Qt: the checks the
// dialog makes on OK, the rules of its Store, and the application of a confirmed record.
//
// Applying: every key the dialog owns ([Session] EdgeSwitch, HideWallpaper, RecordFolder; [Admin]
// AutoElevate; [Profile] Name, Company, Email, Phone, Picture; and, when the endpoint changed, [Relay]
// Host, Port and Key) goes into the per-user file in one batched write, so a failing write leaves the
// file and the program as they were and nothing else is applied. The sessions read these keys when
// they start, so the written file is the shared state. After the write the steps with effects outside
// the file follow in their fixed order: the Remote Desktop drawing value, the keep-ID switch and the
// desktop's autostart entry, the unattended switch, and the question about restarting for a new
// server. The profile picture is copied before the write; a failed copy keeps the previous picture.
//
// Threads: GUI thread only.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/TovikSettings.h"
#include "base/TovikIni.h"

namespace tovik {

// What the dialog shows and the user may change. The callables may be empty.
struct TTovikSettings {
  std::string StartPage;  // caption of the tab to show first; empty: the first tab
  bool EdgeSwitch = true;
  bool Unattended = false;
  bool AutoElevate = false;
  bool HideWallpaper = true;
  bool StartWithDesktop = false;  // the autostart entry exists
  std::string RecordFolder;
  std::string RelayHost;
  int RelayPort = kDefaultRelayPort;
  std::string RelayStatus;  // read-only description of the server link
  bool RdpKeepDrawing = false;
  std::function<std::string()> UpdateStatus;
  std::function<bool()> UpdateReady;
  std::function<void()> OnCheckUpdate;
  std::function<void()> OnInstallUpdate;
  std::string ProfileName, Company, Email, Phone;
  std::string PicturePath;
  std::string ComputerName, WindowsUser, TovikID;  // read-only
};

// The port box read as an integer: ADefault when it is not a decimal number (or out of int range).
int ParsePortText(std::string_view AText, int ADefault);

// The check on OK: nullopt when the values may be stored, else the tab to bring to the front and the
// warning to show.
struct TSettingsRefusal {
  std::string Page;
  std::string Message;
};
std::optional<TSettingsRefusal> CheckSettingsForm(std::string_view AHost, std::string_view APort);

// The endpoint of the "Default server" button: the built-in block's [Relay] Host (trimmed) with its
// Port (default 47800), else the default relay endpoint.
std::pair<std::string, int> DefaultServer(const TIniText& ABuiltIn);

// The stored profile picture for a chosen file: the per-user folder + "/profile" + the file's
// extension in lower case ("" when it has none).
std::string ProfilePictureTarget(const std::string& AUserFolder, const std::string& AChosen);

// What the application of AAfter (over ABefore) writes to the per-user file, in one batch.
std::vector<TIniEdit> SettingsEdits(const TTovikSettings& ABefore, const TTovikSettings& AAfter);

// The effects of applying a record outside the settings file. The main window implements them.
class ISettingsEffects {
 public:
  virtual ~ISettingsEffects() = default;
  virtual void Log(const std::string& AText) = 0;
  // A message for the user (after the current handler).
  virtual void Tell(const std::string& AText, bool AWarning) = 0;
  virtual bool Ask(const std::string& AText) = 0;
  // Copies a file over the target; "" or the error text.
  virtual std::string CopyFile(const std::string& AFrom, const std::string& ATo) = 0;
  virtual void SetRdpKeepDrawing(bool AOn) = 0;
  // The keep-ID switch turned on through its normal handler (asks the server to keep the ID).
  virtual void TurnKeepIDOn() = 0;
  // Writes or removes the desktop's autostart entry; "" or the error text.
  virtual std::string SetStartWithDesktop(bool AOn) = 0;
  // The unattended switch through its normal handler (turning it on asks for its password).
  virtual void SetUnattended(bool AOn) = 0;
  // Starts the program again and closes this one for good.
  virtual void RestartProgram() = 0;
};

enum class TApplyResult {
  arApplied,     // everything was applied
  arNotWritten,  // the settings file could not be written: nothing was applied
};

inline constexpr std::string_view kAskUnattendedWithAutostart =
    "Starting with the desktop is meant for helpers who connect while nobody is at this PC, which "
    "needs Unattended access. Turn on Unattended access as well? You set its password next.";
inline constexpr std::string_view kAskRestartForServer = "Tovik connects to the new server after a restart. Restart now?";

// Applies a confirmed record: the picture copy, the one batched write, then the other steps in order.
// ABefore is the record as it was prepared; AAfter what the dialog stored. Turning on the autostart
// entry while unattended access stays off asks whether to turn that on too; it is never switched on
// silently, and it still needs its password.
TApplyResult ApplySettings(const TSettingsStore& AStore, ISettingsEffects& AEffects, const TTovikSettings& ABefore,
                           TTovikSettings AAfter);

}  // namespace tovik
