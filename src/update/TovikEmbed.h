// The settings block built into a program file.
//
// A customised program file carries INI text at its very end:
//   [L bytes of UTF-8 INI text] [L as 32-bit little-endian] ["TOVIKCFG"]
// A block is present when the file is at least 12 bytes long, ends with the magic, 0 < L <= 1 MiB
// and the file holds at least L + 12 bytes. A damaged trailer counts as no block.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>

#include "base/TovikIni.h"

namespace tovik {

inline constexpr std::size_t kMaxBuiltInSettings = 1'048'576;
inline constexpr std::string_view kBuiltInMagic = "TOVIKCFG";

class ETovikEmbed : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The settings text of a program file, or empty when it has none or cannot be read. Malformed UTF-8
// bytes come back as U+FFFD. Never raises. Any thread.
std::string ReadBuiltInSettings(const std::string& fileName) noexcept;

// Writes dest as the bytes of source without any block source already carries (a trailer with
// 0 <= L <= 1 MiB that fits), followed by settings as a new block. dest gets source's file mode and
// is replaced only when it has been written completely (dest may equal source).
// Raises ETovikEmbed("The settings to build in are too large") when settings exceed 1 MiB, and
// ETovikEmbed with the failing step's text when a file cannot be read or written. Any thread.
void WriteWithSettings(const std::string& source, const std::string& dest, std::string_view settings);

// The running program file's block (/proc/self/exe), parsed on first use and kept for the life of
// the process; empty when there is none. Thread-safe.
const TIniText& BuiltInSettings();

}  // namespace tovik
