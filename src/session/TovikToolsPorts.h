// What the session tools reach outside the session core, as small interfaces: the clipboard, the
// chat and files window, the files on disk, the PC's restart, the history file and the wall clock.
// The Qt window, QClipboard and the POSIX backends implement them elsewhere and the composition root
// hands them in through TToolsServices; tests pass fakes. No Qt and no I/O here.
//
// Threads: every call in either direction happens on the GUI thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/TovikBytes.h"
#include "session/TovikSessionHistory.h"
#include "session/TovikSessionIntf.h"

namespace tovik {

// ---- clipboard ------------------------------------------------------------------------------------

// The desktop's clipboard (its text only).
class IToolsClipboard {
 public:
  virtual ~IToolsClipboard() = default;
  // The clipboard's text; none when it holds no text or cannot be read.
  virtual std::optional<std::string> Text() = 0;
  // Puts the text on the clipboard; errors are ignored.
  virtual void SetText(const std::string& AText) = 0;
  // From now on, AChanged runs after every change of the clipboard (also the ones SetText makes) until
  // Listen is called again or the clipboard object goes. An empty function stops listening.
  virtual void Listen(std::function<void()> AChanged) = 0;
};

// ---- the chat and files window ----------------------------------------------------------------------

// What the tools window tells the tools. The tools implement it and outlive every call (they free
// the window with FreeSafely before they go).
class IToolsEvents {
 public:
  virtual ~IToolsEvents() = default;
  virtual void OnSendText(const std::string& AText) = 0;
  // Existing files chosen in the file dialog or dropped on the window (UTF-8 paths).
  virtual void OnSendFiles(const std::vector<std::string>& AFiles) = 0;
};

class IToolsWindow {
 public:
  virtual ~IToolsWindow() = default;
  // Adds one line (the window puts the local time before it); AShow brings a hidden window up.
  virtual void AddLine(const std::string& AText, bool AShow) = 0;
  // The progress label; empty clears it.
  virtual void SetProgress(const std::string& AText) = 0;
  virtual void ShowWindow() = 0;
  // The "Share clipboard" box.
  virtual bool ShareClipboard() const = 0;
  // Ends the tools' ownership: no event is raised after this returns; the window frees itself now or
  // when its open file dialog closes.
  virtual void FreeSafely() = 0;
};

struct TToolsWindowRelease {
  void operator()(IToolsWindow* AWindow) const {
    if (AWindow) AWindow->FreeSafely();
  }
};
using TToolsWindowPtr = std::unique_ptr<IToolsWindow, TToolsWindowRelease>;
using TToolsWindowFactory = std::function<TToolsWindowPtr(IToolsEvents& AEvents, const std::string& ACaption)>;

// ---- files ----------------------------------------------------------------------------------------

// A file being sent, open for reading (others may read it too).
class IReadFile {
 public:
  virtual ~IReadFile() = default;
  virtual std::int64_t Size() const = 0;
  // Up to ACount bytes into ABuffer: the number read, 0 at the end, -1 on an error (AError set).
  virtual std::int64_t Read(std::uint8_t* ABuffer, std::size_t ACount, std::string& AError) = 0;
};

// A file being received: created new (never an existing file, never through a link), readable only by
// its owner until Finish.
class IWriteFile {
 public:
  virtual ~IWriteFile() = default;
  // Writes all of AData; false with AError on an error.
  virtual bool Write(TByteView AData, std::string& AError) = 0;
  // Closes the complete file and gives it the usual permissions; false with AError on an error.
  virtual bool Finish(std::string& AError) = 0;
  // Closes and deletes the file. Also what dropping an unfinished file does.
  virtual void Discard() = 0;
};

enum class TCreateOutcome { Created, Exists, Failed };
struct TCreateResult {
  TCreateOutcome Outcome = TCreateOutcome::Failed;
  std::unique_ptr<IWriteFile> File;  // when Created
  std::string Error;                 // when Failed
};

// The files of a transfer: the sender's files by path, the receiver's download folder.
class ITransferFiles {
 public:
  virtual ~ITransferFiles() = default;
  // True for an existing regular file (not a folder).
  virtual bool IsFile(const std::string& APath) = 0;
  virtual std::unique_ptr<IReadFile> OpenRead(const std::string& APath, std::string& AError) = 0;
  // Creates AName (a plain name, no folders) in the download folder, creating the folder when needed,
  // in one step that fails with Exists when anything by that name is there.
  virtual TCreateResult CreateNew(const std::string& AName) = 0;
  // Bytes free for an unprivileged user in the download folder; none when unknown.
  virtual std::optional<std::int64_t> FreeSpace() = 0;

  // The platform's files with received files saved in ADownloadFolder (defined by the platform
  // library).
  static std::shared_ptr<ITransferFiles> Create(const std::string& ADownloadFolder);
};

// ---- restart --------------------------------------------------------------------------------------

// Restarting the helped PC and starting this program once at the next sign-in.
class ISystemRestart {
 public:
  virtual ~ISystemRestart() = default;
  // Makes the program start once at the next sign-in; "" or the error text.
  virtual std::string AddRunOnce() = 0;
  virtual void RemoveRunOnce() = 0;
  // Asks the system to restart. ADone runs exactly once on the GUI thread, maybe later, with "" when
  // the restart is under way or the reason it was refused or failed.
  virtual void Reboot(std::function<void(const std::string& AError)> ADone) = 0;

  // The platform's restart for the program file AProgram (defined by the platform's window library:
  // logind over D-Bus, an XDG autostart entry).
  static std::shared_ptr<ISystemRestart> Create(const std::string& AProgram);
  // Removes a once-entry left from an earlier restart; the program calls it when it starts.
  static void ClearRunOnce();
};

// ---- history and time -----------------------------------------------------------------------------

// Appends one ended session to the history file; errors lose the row and nothing else.
class ISessionHistory {
 public:
  virtual ~ISessionHistory() = default;
  virtual void Append(const TSessionHistoryRow& ARow) = 0;

  // Appends to the file APath (its folder created when needed); defined by the platform library.
  static std::shared_ptr<ISessionHistory> Create(const std::string& APath);
};

// The helper's profile, as the settings hold it; the picture already scaled to 96 px on its longer
// side.
struct TToolsProfile {
  std::string Name, Company, Email, Phone;
  std::optional<TPicture24> Picture;
};

// Everything the tools use beside the session. Each part may be missing: the tools then do without it
// (no clipboard sharing, no files, no window (lines go to the log), no restart, no history row).
struct TToolsServices {
  std::shared_ptr<IToolsClipboard> Clipboard;
  std::shared_ptr<ITransferFiles> Files;
  TToolsWindowFactory MakeWindow;
  std::shared_ptr<ISystemRestart> Restart;
  std::shared_ptr<ISessionHistory> History;
  // The wall clock for the history row; none = no row.
  std::function<TWallTime()> WallNow;
  TToolsProfile Profile;  // viewer
  // Host: whether the helper's input already reaches administrator prompts (then elevation is
  // answered at once). None = it does not.
  std::function<bool()> AdminReachable;
  // Host: a thumbnail of one screen (desktop rectangle) scaled to AW x AH, our own windows blanked.
  std::function<std::optional<TPicture24>(const TRect& AScreen, int AW, int AH)> GrabThumb;
};

}  // namespace tovik
