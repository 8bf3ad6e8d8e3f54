#include "records/TovikXlsx.h"

#include <zlib.h>

#include <cerrno>
#include <cstdio>
#include <limits>
#include <utility>

#include "base/TovikBytes.h"

namespace tovik {

namespace {

void Put16(std::string& out, std::uint32_t v) {
  out += static_cast<char>(v & 0xFF);
  out += static_cast<char>((v >> 8) & 0xFF);
}

void Put32(std::string& out, std::uint32_t v) {
  Put16(out, v & 0xFFFF);
  Put16(out, v >> 16);
}

// Entries carry a fixed time stamp (1980-01-01 00:00), so the same rows give the same file.
constexpr std::uint32_t kDosTime = 0;
constexpr std::uint32_t kDosDate = (0u << 9) | (1u << 5) | 1u;
constexpr std::uint32_t kUtf8Names = 0x0800;

void AppendCodePoint(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// The code point of well-formed UTF-8 at i (advanced past it).
char32_t NextCodePoint(std::string_view text, std::size_t& i) {
  const auto b0 = static_cast<unsigned char>(text[i]);
  const std::size_t len = b0 < 0x80 ? 1 : b0 < 0xE0 ? 2 : b0 < 0xF0 ? 3 : 4;
  char32_t c = len == 1 ? b0 : len == 2 ? (b0 & 0x1F) : len == 3 ? (b0 & 0x0F) : (b0 & 0x07);
  for (std::size_t k = 1; k < len; ++k) c = (c << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
  i += len;
  return c;
}

bool XmlAllows(char32_t c) {
  return c == 0x9 || c == 0xA || (c >= 0x20 && c <= 0xD7FF) || (c >= 0xE000 && c <= 0xFFFD) ||
         (c >= 0x10000 && c <= 0x10FFFF);
}

bool IsHex(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f'); }

// Text at i starts with "_xHHHH_" (which a reader would take for an escape).
bool LooksLikeEscape(std::string_view text, std::size_t i) {
  if (i + 7 > text.size() || text[i] != '_' || text[i + 1] != 'x' || text[i + 6] != '_') return false;
  for (std::size_t k = 2; k < 6; ++k)
    if (!IsHex(text[i + k])) return false;
  return true;
}

void AppendEscape(std::string& out, char32_t c) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "_x%04X_", static_cast<unsigned>(c));
  out += buf;
}

constexpr const char* kDecl = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n";
constexpr const char* kMainNs = "http://schemas.openxmlformats.org/spreadsheetml/2006/main";
constexpr const char* kRelNs = "http://schemas.openxmlformats.org/officeDocument/2006/relationships";
constexpr const char* kPkgRelNs = "http://schemas.openxmlformats.org/package/2006/relationships";

std::string ContentTypes() {
  std::string x = kDecl;
  x += "<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\">"
       "<Default Extension=\"rels\" ContentType=\"application/vnd.openxmlformats-package.relationships+xml\"/>"
       "<Default Extension=\"xml\" ContentType=\"application/xml\"/>"
       "<Override PartName=\"/xl/workbook.xml\" "
       "ContentType=\"application/vnd.openxmlformats-officedocument.spreadsheetml.sheet.main+xml\"/>"
       "<Override PartName=\"/xl/worksheets/sheet1.xml\" "
       "ContentType=\"application/vnd.openxmlformats-officedocument.spreadsheetml.worksheet+xml\"/>"
       "<Override PartName=\"/xl/styles.xml\" "
       "ContentType=\"application/vnd.openxmlformats-officedocument.spreadsheetml.styles+xml\"/>"
       "</Types>";
  return x;
}

std::string PackageRels() {
  std::string x = kDecl;
  x += std::string("<Relationships xmlns=\"") + kPkgRelNs + "\">" +
       "<Relationship Id=\"rId1\" Type=\"" + kRelNs + "/officeDocument\" Target=\"xl/workbook.xml\"/>" +
       "</Relationships>";
  return x;
}

std::string Workbook(const std::string& sheetName, const std::string& lastColumn, std::size_t lastRow) {
  std::string x = kDecl;
  const std::string name = XlsxText(sheetName);
  x += std::string("<workbook xmlns=\"") + kMainNs + "\" xmlns:r=\"" + kRelNs + "\">" + "<sheets><sheet name=\"" +
       name + "\" sheetId=\"1\" r:id=\"rId1\"/></sheets>" +
       "<definedNames><definedName name=\"_xlnm._FilterDatabase\" localSheetId=\"0\" hidden=\"1\">" + name +
       "!$A$1:$" + lastColumn + "$" + std::to_string(lastRow) + "</definedName></definedNames></workbook>";
  return x;
}

std::string WorkbookRels() {
  std::string x = kDecl;
  x += std::string("<Relationships xmlns=\"") + kPkgRelNs + "\">" + "<Relationship Id=\"rId1\" Type=\"" + kRelNs +
       "/worksheet\" Target=\"worksheets/sheet1.xml\"/>" + "<Relationship Id=\"rId2\" Type=\"" + kRelNs +
       "/styles\" Target=\"styles.xml\"/>" + "</Relationships>";
  return x;
}

std::string Styles() {
  std::string x = kDecl;
  x += std::string("<styleSheet xmlns=\"") + kMainNs + "\">" +
       "<fonts count=\"2\"><font><sz val=\"11\"/><name val=\"Calibri\"/></font>"
       "<font><b/><sz val=\"11\"/><name val=\"Calibri\"/></font></fonts>"
       "<fills count=\"3\"><fill><patternFill patternType=\"none\"/></fill>"
       "<fill><patternFill patternType=\"gray125\"/></fill>"
       "<fill><patternFill patternType=\"solid\"><fgColor rgb=\"FFE5E9F0\"/></patternFill></fill></fills>"
       "<borders count=\"1\"><border/></borders>"
       "<cellStyleXfs count=\"1\"><xf/></cellStyleXfs>"
       "<cellXfs count=\"2\"><xf/><xf fontId=\"1\" fillId=\"2\" applyFont=\"1\" applyFill=\"1\"/></cellXfs>"
       "<cellStyles count=\"1\"><cellStyle name=\"Normal\" xfId=\"0\" builtinId=\"0\"/></cellStyles>"
       "</styleSheet>";
  return x;
}

std::string Worksheet(const TXlsxSheet& sheet) {
  const std::size_t columns = sheet.Headers.size();
  const std::size_t rows = sheet.Rows ? sheet.Rows->size() : 0;
  std::vector<std::string> letters;
  for (std::size_t c = 0; c < columns; ++c) letters.push_back(XlsxColumnName(c));
  const std::string last = columns ? letters.back() : "A";

  std::string x = kDecl;
  x.reserve(rows * columns * 40 + 1024);
  x += std::string("<worksheet xmlns=\"") + kMainNs + "\">";
  x += "<sheetViews><sheetView workbookViewId=\"0\">"
       "<pane ySplit=\"1\" topLeftCell=\"A2\" activePane=\"bottomLeft\" state=\"frozen\"/>"
       "</sheetView></sheetViews>";
  x += "<cols>";
  char buf[128];
  for (std::size_t c = 1; c <= columns; ++c) {
    std::snprintf(buf, sizeof buf, "<col min=\"%zu\" max=\"%zu\" width=\"%d\" customWidth=\"1\"/>", c, c, 18);
    x += buf;
  }
  x += "</cols><sheetData><row r=\"1\">";
  for (std::size_t c = 0; c < columns; ++c) {
    x += "<c r=\"" + letters[c] + "1\" t=\"inlineStr\" s=\"1\"><is><t>";
    x += XlsxText(sheet.Headers[c]);
    x += "</t></is></c>";
  }
  x += "</row>";
  for (std::size_t k = 0; k < rows; ++k) {
    const auto& row = (*sheet.Rows)[k];
    const std::string r = std::to_string(k + 2);
    x += "<row r=\"" + r + "\">";
    for (std::size_t c = 0; c < columns; ++c) {
      const std::string_view text = c < row.size() ? std::string_view(row[c]) : std::string_view();
      const auto number = sheet.Numeric && sheet.Numeric(c) ? XlsxInteger(text) : std::nullopt;
      if (number) {
        x += "<c r=\"" + letters[c] + r + "\"><v>" + std::to_string(*number) + "</v></c>";
      } else {
        x += "<c r=\"" + letters[c] + r + "\" t=\"inlineStr\"><is><t>";
        x += XlsxText(text);
        x += "</t></is></c>";
      }
    }
    x += "</row>";
  }
  x += "</sheetData>";
  x += "<autoFilter ref=\"A1:" + last + std::to_string(rows + 1) + "\"/>";
  x += "</worksheet>";
  return x;
}

}  // namespace

std::optional<std::string> DeflateRaw(std::string_view data) {
  z_stream z{};
  if (deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) return std::nullopt;
  std::string out(deflateBound(&z, static_cast<uLong>(data.size())), '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  const int rc = deflate(&z, Z_FINISH);
  const auto produced = z.total_out;
  deflateEnd(&z);
  if (rc != Z_STREAM_END) return std::nullopt;
  out.resize(produced);
  return out;
}

bool TZipWriter::Add(std::string_view name, std::string_view data) {
  constexpr std::size_t kMax = std::numeric_limits<std::uint32_t>::max();
  if (data.size() >= kMax || name.size() > 0xFFFF) return false;
  auto packed = DeflateRaw(data);
  if (!packed || packed->size() >= kMax || FData.size() + packed->size() + 64 + name.size() >= kMax) return false;
  TEntry e;
  e.Name = std::string(name);
  e.Crc = static_cast<std::uint32_t>(
      crc32(0L, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
  e.Packed = static_cast<std::uint32_t>(packed->size());
  e.Size = static_cast<std::uint32_t>(data.size());
  e.Offset = static_cast<std::uint32_t>(FData.size());
  Put32(FData, 0x04034b50);
  Put16(FData, 20);          // version needed: Deflate
  Put16(FData, kUtf8Names);  // flags
  Put16(FData, 8);           // Deflate
  Put16(FData, kDosTime);
  Put16(FData, kDosDate);
  Put32(FData, e.Crc);
  Put32(FData, e.Packed);
  Put32(FData, e.Size);
  Put16(FData, static_cast<std::uint32_t>(e.Name.size()));
  Put16(FData, 0);  // no extra field
  FData += e.Name;
  FData += *packed;
  FEntries.push_back(std::move(e));
  return true;
}

std::string TZipWriter::Finish() {
  const auto dirStart = static_cast<std::uint32_t>(FData.size());
  for (const TEntry& e : FEntries) {
    Put32(FData, 0x02014b50);
    Put16(FData, 20);  // made by
    Put16(FData, 20);  // needed
    Put16(FData, kUtf8Names);
    Put16(FData, 8);
    Put16(FData, kDosTime);
    Put16(FData, kDosDate);
    Put32(FData, e.Crc);
    Put32(FData, e.Packed);
    Put32(FData, e.Size);
    Put16(FData, static_cast<std::uint32_t>(e.Name.size()));
    Put16(FData, 0);  // extra
    Put16(FData, 0);  // comment
    Put16(FData, 0);  // disk
    Put16(FData, 0);  // internal attributes
    Put32(FData, 0);  // external attributes
    Put32(FData, e.Offset);
    FData += e.Name;
  }
  const auto dirSize = static_cast<std::uint32_t>(FData.size() - dirStart);
  Put32(FData, 0x06054b50);
  Put16(FData, 0);
  Put16(FData, 0);
  Put16(FData, static_cast<std::uint32_t>(FEntries.size()));
  Put16(FData, static_cast<std::uint32_t>(FEntries.size()));
  Put32(FData, dirSize);
  Put32(FData, dirStart);
  Put16(FData, 0);  // comment length
  FEntries.clear();
  return std::exchange(FData, std::string());
}

std::string XlsxText(std::string_view raw) {
  const std::string text = Utf8Sanitize(raw);
  std::string out;
  out.reserve(text.size() + 8);
  std::size_t i = 0;
  while (i < text.size()) {
    if (LooksLikeEscape(text, i)) {
      AppendEscape(out, '_');
      ++i;
      continue;
    }
    const char32_t c = NextCodePoint(text, i);
    if (!XmlAllows(c) || c == 0xD) {
      AppendEscape(out, c);
      continue;
    }
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: AppendCodePoint(out, c);
    }
  }
  return out;
}

std::optional<std::int32_t> XlsxInteger(std::string_view text) {
  while (!text.empty() && static_cast<unsigned char>(text.front()) <= ' ') text.remove_prefix(1);
  while (!text.empty() && static_cast<unsigned char>(text.back()) <= ' ') text.remove_suffix(1);
  bool negative = false;
  if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty() || text.size() > 10) return std::nullopt;
  std::int64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + (c - '0');
  }
  if (negative) v = -v;
  if (v < std::numeric_limits<std::int32_t>::min() || v > std::numeric_limits<std::int32_t>::max())
    return std::nullopt;
  return static_cast<std::int32_t>(v);
}

std::string XlsxColumnName(std::size_t index) {
  std::string name;
  ++index;
  while (index > 0) {
    --index;
    name.insert(name.begin(), static_cast<char>('A' + index % 26));
    index /= 26;
  }
  return name;
}

std::vector<std::pair<std::string, std::string>> BuildXlsxParts(const TXlsxSheet& sheet) {
  const std::size_t rows = sheet.Rows ? sheet.Rows->size() : 0;
  const std::string last = sheet.Headers.empty() ? "A" : XlsxColumnName(sheet.Headers.size() - 1);
  return {{"[Content_Types].xml", ContentTypes()},
          {"_rels/.rels", PackageRels()},
          {"xl/workbook.xml", Workbook(sheet.Name, last, rows + 1)},
          {"xl/_rels/workbook.xml.rels", WorkbookRels()},
          {"xl/styles.xml", Styles()},
          {"xl/worksheets/sheet1.xml", Worksheet(sheet)}};
}

std::string BuildXlsx(const TXlsxSheet& sheet) {
  TZipWriter zip;
  for (const auto& [name, content] : BuildXlsxParts(sheet))
    if (!zip.Add(name, content)) return {};
  return zip.Finish();
}

TFileResult WriteXlsxFile(const std::string& path, const TXlsxSheet& sheet) {
  const std::string data = BuildXlsx(sheet);
  if (data.empty()) return TFileResult::Fail(EIO, "the workbook could not be compressed");
  TAtomicFile file(path, 0644, TLinkTarget::ltReplace);
  if (!file.OpenResult()) return file.OpenResult();
  if (TFileResult r = file.Write(data); !r) return r;
  return file.Commit();
}

}  // namespace tovik
