#include "app/TovikAutostart.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/TovikFiles.h"

namespace tovik {

std::string AutostartExec(const std::string& AProgramFile) {
  if (AProgramFile.empty() || AProgramFile.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) return {};
  std::string quoted = "\"";
  for (char c : AProgramFile) {
    // Inside quotes the Exec key escapes these with a backslash; a string value escapes the backslash
    // itself once more.
    if (c == '"' || c == '`' || c == '$') quoted += "\\\\";
    if (c == '\\') quoted += "\\\\\\";
    quoted += c;
  }
  return quoted + "\" /tray";
}

TXdgAutostart::TXdgAutostart(std::string AFolder, std::string AProgramFile)
    : FFolder(std::move(AFolder)), FProgram(std::move(AProgramFile)) {}

std::string TXdgAutostart::FolderFor(const std::string& AUserFolder) {
  const std::size_t slash = AUserFolder.find_last_of('/');
  return (slash == std::string::npos ? std::string(".") : AUserFolder.substr(0, slash)) + "/autostart";
}

bool TXdgAutostart::Enabled() const {
  struct stat st {};
  return ::stat(EntryPath().c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string TXdgAutostart::SetEnabled(bool AOn) {
  if (!AOn) {
    if (::unlink(EntryPath().c_str()) != 0 && errno != ENOENT) return std::strerror(errno);
    return {};
  }
  const std::string exec = AutostartExec(FProgram);
  if (exec.empty()) return "the program's path cannot be started from an autostart entry";
  if (TFileResult r = MakeFolders(FFolder); !r) return r.Error;
  const std::string text = "[Desktop Entry]\nType=Application\nName=Tovik\nComment=Remote assistance\nExec=" + exec +
                           "\nTerminal=false\nX-GNOME-Autostart-enabled=true\n";
  if (TFileResult r = WriteFileAtomic(EntryPath(), text, 0644); !r) return r.Error;
  return {};
}

}  // namespace tovik
