#include "app/TovikSettingsApply.h"

#include <charconv>

#include "base/TovikBytes.h"

namespace tovik {

int ParsePortText(std::string_view AText, int ADefault) {
  const std::string_view t = TrimView(AText);
  if (t.empty()) return ADefault;
  std::string_view digits = t;
  if (digits.front() == '+' || digits.front() == '-') digits.remove_prefix(1);
  if (digits.empty() || digits.find_first_not_of("0123456789") != std::string_view::npos) return ADefault;
  int value = 0;
  const char* first = t.data() + (t.front() == '+' ? 1 : 0);
  const auto [end, ec] = std::from_chars(first, t.data() + t.size(), value);
  if (ec != std::errc() || end != t.data() + t.size()) return ADefault;
  return value;
}

std::optional<TSettingsRefusal> CheckSettingsForm(std::string_view AHost, std::string_view APort) {
  if (TrimView(AHost).empty()) return TSettingsRefusal{"Network", "Enter the server name, or click Default server."};
  const int port = ParsePortText(APort, 0);
  if (port < 1 || port > 65535) return TSettingsRefusal{"Network", "The port must be a number from 1 to 65535."};
  return std::nullopt;
}

std::pair<std::string, int> DefaultServer(const TIniText& ABuiltIn) {
  const std::string host = Trim(ABuiltIn.ReadString("Relay", "Host", ""));
  if (!host.empty()) return {host, ABuiltIn.ReadInt("Relay", "Port", kDefaultRelayPort)};
  return {std::string(kDefaultRelayHost), kDefaultRelayPort};
}

std::string ProfilePictureTarget(const std::string& AUserFolder, const std::string& AChosen) {
  const std::size_t slash = AChosen.find_last_of('/');
  const std::size_t dot = AChosen.find_last_of('.');
  std::string ext;
  if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) ext = AChosen.substr(dot);
  for (char& c : ext)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return AUserFolder + "/profile" + ext;
}

std::vector<TIniEdit> SettingsEdits(const TTovikSettings& ABefore, const TTovikSettings& AAfter) {
  auto sw = [](bool on) { return std::string(on ? "1" : "0"); };
  std::vector<TIniEdit> e{
      {"Session", "EdgeSwitch", sw(AAfter.EdgeSwitch)},
      {"Session", "HideWallpaper", sw(AAfter.HideWallpaper)},
      {"Session", "RecordFolder", AAfter.RecordFolder},
      {"Admin", "AutoElevate", sw(AAfter.AutoElevate)},
      {"Profile", "Name", AAfter.ProfileName},
      {"Profile", "Company", AAfter.Company},
      {"Profile", "Email", AAfter.Email},
      {"Profile", "Phone", AAfter.Phone},
      {"Profile", "Picture", AAfter.PicturePath},
  };
  const bool hostChanged = !SameTextAscii(AAfter.RelayHost, ABefore.RelayHost);
  if (AAfter.RelayHost != ABefore.RelayHost || AAfter.RelayPort != ABefore.RelayPort) {
    e.push_back({"Relay", "Host", AAfter.RelayHost});
    e.push_back({"Relay", "Port", std::to_string(AAfter.RelayPort)});
    // Another server has another key: it is learned on the first contact.
    if (hostChanged) e.push_back({"Relay", "Key", std::string()});
  }
  return e;
}

TApplyResult ApplySettings(const TSettingsStore& AStore, ISettingsEffects& AEffects, const TTovikSettings& ABefore,
                           TTovikSettings AAfter) {
  // The picture first: the batch below stores the path it ends up at.
  if (AAfter.PicturePath != ABefore.PicturePath && !AAfter.PicturePath.empty()) {
    const std::string target = ProfilePictureTarget(AStore.Paths().UserFolder, AAfter.PicturePath);
    std::string error;
    if (AAfter.PicturePath != target) error = AEffects.CopyFile(AAfter.PicturePath, target);
    if (error.empty()) {
      AAfter.PicturePath = target;
    } else {
      AEffects.Log("Could not copy the profile picture: " + error);
      AEffects.Tell("The new profile picture could not be copied (" + error + "). The previous picture stays.", true);
      AAfter.PicturePath = ABefore.PicturePath;
    }
  }

  const TFileResult written = AStore.WriteBatch(SettingsEdits(ABefore, AAfter));
  if (!written) {
    AEffects.Log("Could not save the settings: " + written.Error);
    AEffects.Tell("The settings could not be saved, so nothing was changed: " + written.Error, true);
    return TApplyResult::arNotWritten;
  }

  if (AAfter.RdpKeepDrawing != ABefore.RdpKeepDrawing) AEffects.SetRdpKeepDrawing(AAfter.RdpKeepDrawing);

  if (AAfter.StartWithDesktop) AEffects.TurnKeepIDOn();
  if (AAfter.StartWithDesktop != ABefore.StartWithDesktop) {
    const std::string error = AEffects.SetStartWithDesktop(AAfter.StartWithDesktop);
    if (!error.empty()) {
      AEffects.Log("Could not change the start with the desktop: " + error);
      AEffects.Tell("Starting with the desktop could not be changed: " + error, true);
    } else if (AAfter.StartWithDesktop && !AAfter.Unattended && AEffects.Ask(std::string(kAskUnattendedWithAutostart))) {
      AAfter.Unattended = true;
    }
  }

  if (AAfter.Unattended != ABefore.Unattended) AEffects.SetUnattended(AAfter.Unattended);

  if (AAfter.RelayHost != ABefore.RelayHost || AAfter.RelayPort != ABefore.RelayPort) {
    if (AEffects.Ask(std::string(kAskRestartForServer))) AEffects.RestartProgram();
  }
  return TApplyResult::arApplied;
}

}  // namespace tovik
