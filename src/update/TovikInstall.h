// Putting a checked program file in place of the program, in steps that a kill at any moment cannot
// break: the program's path always holds a complete program, the old one or the new one.
//
//   1 the ready file is copied to "<program>.new" (mode 0755) and its size and SHA-256 are checked on
//     the bytes copied, so a file swapped after the download's check is refused here;
//   2 the running program's built-in settings are written into it (when it carries any);
//   3 "<program>.old" becomes a second name of the running program (a hard link; a copy where links
//     are not possible), so the previous build stays at hand for a rollback;
//   4 "<program>.new" is renamed over the program's path: rename(2) replaces the name in one step,
//     and the running process keeps its own (now nameless) file.
// Leftovers of an interrupted install ("<program>.new", "<program>.old*") are deleted at the next
// start (DeleteOldCopies).
//
// Any thread; never raises.
#pragma once

#include <functional>
#include <string>

#include "base/TovikBytes.h"
#include "base/TovikClock.h"
#include "update/TovikUpdateFile.h"

namespace tovik {

std::string NewFileName(const std::string& AProgram);
// "<program>.old", or "<program>.old<ANow>" when that exists and cannot be deleted.
std::string ChooseOldName(const std::string& AProgram, TTick ANow);
// Deletes "<program>.new" and every "<program>.old*" beside the program; failures are ignored.
void DeleteOldCopies(const std::string& AProgram);
// Whether a file can be made in the program's folder ("TovikUpdate.tmp" made and deleted).
bool FolderWritable(const std::string& AProgram);

// Called before each step (1 to 4) and once after the last (5): the tests kill the process there.
using TInstallStepHook = std::function<void(int AStep)>;

// Installs AReady (checked against AInfo) as AProgram with ASettings built in (none when empty).
// "" on success, AOldName then names the previous build; otherwise the reason, and the program's
// path is untouched ("<program>.new" removed).
std::string InstallProgramFile(const std::string& AReady, const TUpdateInfo& AInfo, const std::string& AProgram,
                               const std::string& ASettings, TTick ANow, std::string& AOldName,
                               const TInstallStepHook& AHook = {});

// Puts the previous build back: renames AOldName over AProgram. "" on success, else why not.
std::string RollBackInstall(const std::string& AProgram, const std::string& AOldName);

// The elevated step of an update ("/applyupdate <target> <ready file> <update file>", run with
// administrator rights through the polkit action that names the installed program's path). It is the
// installed, trusted program that runs it, and it trusts nothing its caller says: it replaces only its
// own program file (ATarget must be AOwnProgram, links resolved), reads the update file itself (at
// most kMaxUpdateFileText bytes, not through a link), checks its signature with AVendorKey and that
// its build is newer than AOwnBuild, and installs the ready file only when the bytes it copies match
// the signed size and SHA-256. Returns the exit code: 0 when the new build is in place, else 1, with
// the reason in AWhy.
int ApplyUpdateElevated(const std::string& ATarget, const std::string& AOwnProgram, const std::string& AReady,
                        const std::string& AUpdateFile, TByteView AVendorKey, int AOwnBuild, TTick ANow,
                        std::string& AWhy);

}  // namespace tovik
