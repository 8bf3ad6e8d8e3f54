// The build number of a program file, the way a version resource carries it: a fixed record in the
// file's read-only data ("TOVIK" "BUILDREC:" and ten decimal digits), so that the build of a file on
// disk can be read without running it (the updater and the service compare builds on disk), and so
// that a release step can stamp the number into a finished file.
//
// All functions are thread-safe; the file functions never raise.
#pragma once

#include <string>

namespace tovik {

// The build of the running program (the record in memory); 0 when it has none.
int OwnBuild() noexcept;

// The build recorded in a program file; 0 when it has no record or cannot be read.
int ReadFileBuild(const std::string& AFile) noexcept;

// Writes ABuild (0 .. 2^31-1) into every build record of AFile in place; false when the file has
// none or cannot be written.
bool StampFileBuild(const std::string& AFile, int ABuild) noexcept;

}  // namespace tovik
