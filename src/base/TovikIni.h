// INI files in the classic private-profile form: "[Section]" lines, then "Key=Value" lines.
//
// Reading: section and key names compare without regard to (ASCII) case; the first matching section
// and, inside it, the first matching key win; the value is trimmed of blanks and one pair of
// enclosing quotes (" or ') is removed. A key present with an empty value counts as present: it reads
// as the empty text, not as the default. Lines starting with ";" or "#" are comments; lines before
// the first section and lines that are neither header nor key are ignored. LF, CR LF and CR all end
// a line, and a UTF-8 byte-order mark at the start is skipped.
//
// Files: every operation opens the file by name and closes it again, so edits made by others between
// two calls are seen. Writes rewrite the file through a temporary file renamed over the original
// (base/TovikFiles.h) and keep every unrelated line as it was; lines are written with CR LF. A file
// that exists but cannot be read is never overwritten: the write fails instead. Files above
// kMaxIniBytes are treated as unreadable. Functions may be called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/TovikFiles.h"

namespace tovik {

inline constexpr std::size_t kMaxIniBytes = 16u * 1024 * 1024;

using TIniPairs = std::vector<std::pair<std::string, std::string>>;

// Integer value the way settings are read: optional sign, decimal digits or a "0x"/"$" hexadecimal
// number, within 32 bits (64 for the 64-bit form). Anything else, including the empty text, gives def.
std::int32_t ParseIniInt(std::string_view text, std::int32_t def);
std::int64_t ParseIniInt64(std::string_view text, std::int64_t def);

// A read-only INI text held in memory (the settings block built into the program file).
// Immutable after construction, so any thread may read it.
class TIniText {
 public:
  TIniText() = default;
  explicit TIniText(std::string_view text);

  // The value when the key is present (possibly empty), else nullopt.
  std::optional<std::string> Find(std::string_view section, std::string_view key) const;
  std::string ReadString(std::string_view section, std::string_view key, std::string_view def) const;
  std::int32_t ReadInt(std::string_view section, std::string_view key, std::int32_t def) const;
  bool Empty() const { return FSections.empty(); }

 private:
  struct TSection {
    std::string Name;
    TIniPairs Keys;
  };
  std::vector<TSection> FSections;
};

// --- Files --------------------------------------------------------------------------------------

// The value when the file holds the key (possibly empty); nullopt when the key, the section or the
// file is missing or the file cannot be read.
std::optional<std::string> IniFind(const std::string& path, std::string_view section, std::string_view key);
std::string IniReadString(const std::string& path, std::string_view section, std::string_view key,
                          std::string_view def);
// An absent key, an empty or non-numeric value give def.
std::int32_t IniReadInt(const std::string& path, std::string_view section, std::string_view key, std::int32_t def);

// Every key line of the first section of that name, in file order (values read as IniFind reads them);
// an empty list when the file or the section is missing, nullopt when the file cannot be read.
std::optional<TIniPairs> IniReadSection(const std::string& path, std::string_view section);

// Writes one key (replacing the first one of that name in the section, else adding it at the end of
// the section, else adding the section at the end of the file). The file is created if missing.
// Names holding line breaks, "]" in a section or "=" in a key, and values holding line breaks or
// NUL are refused: such a write could forge other keys.
TFileResult IniWriteString(const std::string& path, std::string_view section, std::string_view key,
                           std::string_view value);
TFileResult IniWriteInt(const std::string& path, std::string_view section, std::string_view key, std::int64_t value);
// One change of a batch: Value sets the key (as IniWriteString), nullopt removes it (as IniDeleteKey).
struct TIniEdit {
  std::string Section;
  std::string Key;
  std::optional<std::string> Value;
};
// Applies every edit in order to one reading of the file and writes the result once, so the file
// holds either all of them or none. Any invalid name or value refuses the whole batch before the file
// is read; an empty batch, or one that changes nothing, leaves the file untouched.
TFileResult IniWriteBatch(const std::string& path, const std::vector<TIniEdit>& edits);
// Removes every line of that key from the first section of that name. A missing file, section or key
// is success and leaves the file untouched.
TFileResult IniDeleteKey(const std::string& path, std::string_view section, std::string_view key);
// Removes every section of that name with all its lines. Missing: success, file untouched.
TFileResult IniEraseSection(const std::string& path, std::string_view section);
// Replaces the whole content of the section with the given keys in order (the section is created
// when missing; later sections of the same name are removed).
TFileResult IniWriteSection(const std::string& path, std::string_view section, const TIniPairs& keys);

}  // namespace tovik
