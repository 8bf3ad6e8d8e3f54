// Whole-file reads and crash-safe replacement of files.
//
// Every function opens the file by name and closes it before returning; nothing is held open between
// calls. A replacement is written to a temporary file in the same folder and renamed over the
// original, so a crash or kill at any moment leaves either the old or the new file, never a mix.
// All functions may be called from any thread; two writers of the same file race (the last rename wins).
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tovik {

// Outcome of a file operation: Errno 0 means success; otherwise Error holds the system's text.
struct TFileResult {
  int Errno = 0;
  std::string Error;

  bool Ok() const { return Errno == 0; }
  explicit operator bool() const { return Ok(); }
  static TFileResult Success() { return {}; }
  static TFileResult Fail(int err, std::string text);
  // From errno: the system's message for it, after an optional context.
  static TFileResult FromErrno(int err, std::string_view context = {});
};

// Owner of one file descriptor, like a std::unique_ptr: closes it when the owner goes or takes another.
// Move-only; one thread at a time.
class TFd {
 public:
  TFd() = default;
  explicit TFd(int AFd) : FFd(AFd) {}
  TFd(TFd&& AOther) noexcept : FFd(AOther.Release()) {}
  TFd& operator=(TFd&& AOther) noexcept {
    if (this != &AOther) Reset(AOther.Release());
    return *this;
  }
  TFd(const TFd&) = delete;
  TFd& operator=(const TFd&) = delete;
  ~TFd() { Reset(); }

  // The descriptor; -1 for none.
  int Get() const { return FFd; }
  explicit operator bool() const { return FFd >= 0; }
  // Gives the descriptor up without closing it.
  int Release() noexcept {
    const int fd = FFd;
    FFd = -1;
    return fd;
  }
  // Closes the descriptor held (if any) and takes AFd.
  void Reset(int AFd = -1) noexcept;

 private:
  int FFd = -1;
};

// Writes all of data to fd, going on after short writes and interruptions.
TFileResult WriteAll(int fd, std::string_view data);

// Reads the whole file into out. Files larger than maxBytes are refused with EFBIG (out untouched);
// a missing file gives Errno ENOENT.
TFileResult ReadWholeFile(const std::string& path, std::string& out, std::size_t maxBytes);

// What a replacement does with a symbolic link as its target.
enum class TLinkTarget {
  ltFollow,   // its destination is replaced
  ltReplace,  // the link itself is replaced by the new file; its destination is never touched
};

// A replacement of one file under construction. Write the new content, then Commit(): it is flushed
// to disk and renamed over the target. Without Commit() the temporary file is removed and the
// target stays as it was. The temporary file is made with O_EXCL and mode 0600 beside the target.
// One thread at a time.
class TAtomicFile {
 public:
  // newMode applies when the target does not exist yet; an existing target keeps its mode.
  TAtomicFile(const std::string& target, mode_t newMode = 0600, TLinkTarget links = TLinkTarget::ltFollow);
  ~TAtomicFile();
  TAtomicFile(const TAtomicFile&) = delete;
  TAtomicFile& operator=(const TAtomicFile&) = delete;

  // The outcome of opening the temporary file; Write and Commit fail after a failed open.
  const TFileResult& OpenResult() const { return FOpen; }
  TFileResult Write(std::string_view data);
  // Sets the mode the new file gets (instead of the target's or newMode).
  void SetMode(mode_t mode) { FMode = mode; }
  TFileResult Commit();

 private:
  std::string FTarget;
  std::string FTemp;
  int FFd = -1;
  mode_t FMode = 0600;
  TFileResult FOpen;
};

// Replaces the file with data through a TAtomicFile.
TFileResult WriteFileAtomic(const std::string& path, std::string_view data, mode_t newMode = 0600);

// Creates the folder and its missing parents (mode 0700 for the ones it creates).
TFileResult MakeFolders(const std::string& path);

// Takes every right of group and others from an existing file (a symbolic link is followed, as the
// writers above do). A missing file is success.
TFileResult RestrictToOwner(const std::string& path);

// --- Files only this user may touch ----------------------------------------------------------------
//
// The rule: a file is this user's own when no other local user can replace, redirect or read it.
// Every folder from the root down to the file's folder (with symbolic links resolved) must be owned
// by this user or by root, and must not be writable by group or others unless it has the sticky bit
// (like /tmp: there others may add names, but not remove or rename ours). The file itself is never
// opened by name: a new file is made with O_EXCL (mode 0600) and renamed over the name, so a link an
// attacker placed there is replaced, not followed, and a name another user owns in a sticky folder
// cannot be taken over (the rename fails). Access control lists are not looked at.

// The folder rule for one folder of the path.
bool FolderIsPrivate(mode_t mode, uid_t owner, uid_t me);
// "" when every folder on the way to path keeps to the rule, else why not.
std::string SharedFolderProblem(const std::string& path);
// Replaces path with data as this user's own file (mode 0600) under the rule above; fails with
// EPERM, naming the folder, when a folder on the way breaks it.
TFileResult WritePrivateFile(const std::string& path, std::string_view data);

}  // namespace tovik
