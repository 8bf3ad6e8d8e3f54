// Starting with the desktop: an XDG autostart entry ("tovik.desktop" in the autostart folder beside
// the per-user settings folder, $XDG_CONFIG_HOME/autostart) that starts the program file with "/tray"
// when the user signs in. It counts as on while the entry exists.
//
// Behind IAutostart so that the main window's logic and its tests need no desktop. The XDG entry is
// plain file work without Qt. Threads: GUI thread only.
#pragma once

#include <memory>
#include <string>

namespace tovik {

class IAutostart {
 public:
  virtual ~IAutostart() = default;
  virtual bool Enabled() const = 0;
  // Writes or removes the entry; "" or the error text. Removing a missing entry succeeds.
  virtual std::string SetEnabled(bool AOn) = 0;
};

// The Exec line of the entry: the program path in double quotes (with ", `, $ and \ escaped as the
// desktop entry format asks) followed by " /tray". Empty for a path with a line break or a NUL.
std::string AutostartExec(const std::string& AProgramFile);

class TXdgAutostart final : public IAutostart {
 public:
  // AFolder: the autostart folder (created when needed).
  TXdgAutostart(std::string AFolder, std::string AProgramFile);
  // The autostart folder for a per-user settings folder ".../Tovik": ".../autostart".
  static std::string FolderFor(const std::string& AUserFolder);
  bool Enabled() const override;
  std::string SetEnabled(bool AOn) override;
  std::string EntryPath() const { return FFolder + "/tovik.desktop"; }

 private:
  std::string FFolder;
  std::string FProgram;
};

}  // namespace tovik
