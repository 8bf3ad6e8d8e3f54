// The build number of a program file, the way a version resource carries it: a fixed record in the
// file's read-only data ("TOVIK" "BUILDREC:" and ten decimal digits), so that the build of a file on
// disk can be read without running it (the updater and the service compare builds on disk), and so
// that a release step can stamp the number into a finished file (tovik-sign --stamp-build).
//
// The vendor's update verification key lives in a record of the same kind ("TOVIK" "KEYREC:" and 128
// hexadecimal digits, all zeros for none): set at build time from TOVIK_UPDATE_KEY, or stamped into a
// finished file by the release step (tovik-sign --stamp-key). Changing it takes the same rights as
// changing the program's code.
//
// All functions are thread-safe; the file functions never raise.
#pragma once

#include <string>

#include "base/TovikBytes.h"

namespace tovik {

// The build of the running program (the record in memory); 0 when it has none.
int OwnBuild() noexcept;

// The build recorded in a program file; 0 when it has no record or cannot be read.
int ReadFileBuild(const std::string& AFile) noexcept;

// Writes ABuild (0 .. 2^31-1) into every build record of AFile in place; false when the file has
// none or cannot be written.
bool StampFileBuild(const std::string& AFile, int ABuild) noexcept;

// The verification key of the running program (64 bytes), or empty when it has none.
TBytes OwnUpdateKey() noexcept;

// Writes AKey (64 bytes) into every key record of AFile in place; false when the file has none, the
// key has another size, or the file cannot be written.
bool StampFileUpdateKey(const std::string& AFile, TByteView AKey) noexcept;

}  // namespace tovik
