// A small Excel workbook writer: one sheet of text and integer cells, written directly as an Office
// Open XML package (a ZIP archive of Deflate-compressed UTF-8 parts), and the ZIP writer under it.
//
// Cell text is any byte string: invalid UTF-8 becomes U+FFFD, characters XML 1.0 forbids (controls
// other than tab and line feed, U+FFFE, U+FFFF) and carriage return are written in the spreadsheet
// escape form "_xHHHH_" (a literal "_xHHHH_" in the text gets its "_" escaped as "_x005F_"), so every
// part is well-formed XML whatever the text holds, and spreadsheet programs read the original back.
//
// Plain functions and a value class; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/TovikFiles.h"

namespace tovik {

// A ZIP archive built in memory, entries Deflate-compressed, in the order added. One thread at a time.
class TZipWriter {
 public:
  // False when the entry cannot be compressed or would not fit the classic (non-64) ZIP format.
  bool Add(std::string_view name, std::string_view data);
  // The archive (central directory appended); the writer is empty afterwards.
  std::string Finish();

 private:
  struct TEntry {
    std::string Name;
    std::uint32_t Crc = 0, Packed = 0, Size = 0, Offset = 0;
  };
  std::string FData;
  std::vector<TEntry> FEntries;
};

// Raw Deflate of data; nullopt on a zlib failure.
std::optional<std::string> DeflateRaw(std::string_view data);

// Cell text made safe for an inline string (see above), then escaped for XML: "&" first, then "<",
// ">" and the double quote.
std::string XlsxText(std::string_view text);
// The integer a cell holds when its trimmed text is an optional sign and decimal digits within
// 32 bits; nullopt otherwise.
std::optional<std::int32_t> XlsxInteger(std::string_view text);
// Column letters: "A" for 0 ... "Z" for 25, then "AA".
std::string XlsxColumnName(std::size_t index);

// One sheet: the header row, then the data rows (each as many cells as there are headers; missing
// cells are empty, extra ones ignored). Columns for which numeric(i) is true hold numbers where the
// text reads as an integer.
struct TXlsxSheet {
  std::string Name;
  std::vector<std::string> Headers;
  const std::vector<std::vector<std::string>>* Rows = nullptr;
  bool (*Numeric)(std::size_t column) = nullptr;
};

// The parts of the package in the order they are stored: (name, content).
std::vector<std::pair<std::string, std::string>> BuildXlsxParts(const TXlsxSheet& sheet);
// The whole .xlsx file; empty on a compression failure.
std::string BuildXlsx(const TXlsxSheet& sheet);
// Writes the workbook to path through a temporary file renamed over it: a failure leaves an existing
// file as it was.
TFileResult WriteXlsxFile(const std::string& path, const TXlsxSheet& sheet);

}  // namespace tovik
