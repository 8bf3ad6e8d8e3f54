// The Excel workbook writer: cell text, numbers, the package's parts and the ZIP archive around them.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <zlib.h>

#include <csignal>
#include <cstdlib>
#include <string>

#include "records/TovikHistory.h"
#include "records/TovikXlsx.h"
#include "tests/base/TestTempDir.h"

namespace tovik {
namespace {

using test::TTempDir;

TEST(XlsxText, EscapesAndRepairsWhatXmlCannotHold) {
  const struct {
    std::string In, Out;
  } cases[] = {
      {"plain", "plain"},
      {"A&B<C>\"", "A&amp;B&lt;C&gt;&quot;"},
      {"it's", "it's"},
      {"a\tb\nc", "a\tb\nc"},
      {std::string("x\x01y", 3), "x_x0001_y"},
      {std::string("\0", 1), "_x0000_"},
      {"cr\r", "cr_x000D_"},
      {"_x0041_", "_x005F_x0041_"},  // a literal escape is kept literal
      {"_x00G1_", "_x00G1_"},
      {"\xEF\xBF\xBE", "_xFFFE_"},                           // U+FFFE
      {"caf\xC3\xA9 \xF0\x9F\x98\x80", "caf\xC3\xA9 \xF0\x9F\x98\x80"},  // valid UTF-8 stays
      {"\xFF", "\xEF\xBF\xBD"},                               // invalid byte
      {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},               // overlong "/"
      {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // surrogate
      {"\xE2\x82", "\xEF\xBF\xBD\xEF\xBF\xBD"},               // cut short
      {"\xF4\x90\x80\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // above U+10FFFF
  };
  for (const auto& c : cases) EXPECT_EQ(XlsxText(c.In), c.Out) << c.In;
}

TEST(XlsxText, IntegersAndColumnNames) {
  const struct {
    const char* In;
    std::optional<std::int32_t> Out;
  } cases[] = {{"15", 15},        {" 15 ", 15},         {"-3", -3},           {"+7", 7},
               {"", std::nullopt}, {"1.5", std::nullopt}, {"12a", std::nullopt}, {"-", std::nullopt},
               {"2147483647", 2147483647}, {"2147483648", std::nullopt}, {"-2147483648", -2147483647 - 1},
               {"99999999999", std::nullopt}};
  for (const auto& c : cases) EXPECT_EQ(XlsxInteger(c.In), c.Out) << c.In;
  EXPECT_EQ(XlsxColumnName(0), "A");
  EXPECT_EQ(XlsxColumnName(12), "M");
  EXPECT_EQ(XlsxColumnName(25), "Z");
  EXPECT_EQ(XlsxColumnName(26), "AA");
}

// The entries of a ZIP archive, inflated, in stored order.
std::vector<std::pair<std::string, std::string>> Unzip(const std::string& zip) {
  auto u16 = [&](std::size_t at) { return unsigned(std::uint8_t(zip[at])) | unsigned(std::uint8_t(zip[at + 1])) << 8; };
  auto u32 = [&](std::size_t at) { return u16(at) | u16(at + 2) << 16; };
  std::vector<std::pair<std::string, std::string>> out;
  std::size_t at = 0;
  while (at + 30 <= zip.size() && u32(at) == 0x04034b50) {
    EXPECT_EQ(u16(at + 8), 8u) << "Deflate";
    const std::uint32_t crc = u32(at + 14), packed = u32(at + 18), size = u32(at + 22);
    const std::size_t nameLen = u16(at + 26), extra = u16(at + 28);
    std::string name = zip.substr(at + 30, nameLen);
    const std::size_t data = at + 30 + nameLen + extra;
    std::string plain(size, '\0');
    z_stream z{};
    inflateInit2(&z, -15);
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(zip.data() + data));
    z.avail_in = packed;
    z.next_out = reinterpret_cast<Bytef*>(plain.data());
    z.avail_out = size;
    EXPECT_EQ(inflate(&z, Z_FINISH), Z_STREAM_END) << name;
    inflateEnd(&z);
    EXPECT_EQ(crc32(0, reinterpret_cast<const Bytef*>(plain.data()), size), crc) << name;
    out.emplace_back(std::move(name), std::move(plain));
    at = data + packed;
  }
  EXPECT_EQ(u32(at), 0x02014b50u) << "central directory follows the entries";
  return out;
}

class XlsxBook : public ::testing::Test {
 protected:
  TXlsxSheet Sheet() const {
    return TXlsxSheet{"Sessions", HistoryExportHeaders(), &Rows, &HistoryExportColumnIsNumeric};
  }
  std::string Part(const std::string& name) const {
    for (auto& [n, content] : BuildXlsxParts(Sheet()))
      if (n == name) return content;
    return {};
  }
  std::vector<std::vector<std::string>> Rows;
  TTempDir Dir;
};

TEST_F(XlsxBook, FilterRangeCountsTheRows) {
  EXPECT_NE(Part("xl/workbook.xml").find(">Sessions!$A$1:$M$1</definedName>"), std::string::npos);
  EXPECT_NE(Part("xl/worksheets/sheet1.xml").find("<autoFilter ref=\"A1:M1\"/>"), std::string::npos);
  Rows.assign(3, std::vector<std::string>(13, "x"));
  EXPECT_NE(Part("xl/workbook.xml").find(">Sessions!$A$1:$M$4</definedName>"), std::string::npos);
  EXPECT_NE(Part("xl/worksheets/sheet1.xml").find("<autoFilter ref=\"A1:M4\"/>"), std::string::npos);
}

TEST_F(XlsxBook, CellsFollowTheTemplates) {
  std::vector<std::string> row(13);
  row[2] = "15";
  row[6] = "A&B<C>";
  row[10] = "n/a";
  Rows = {row, std::vector<std::string>(13)};
  const std::string sheet = Part("xl/worksheets/sheet1.xml");
  EXPECT_NE(sheet.find("<c r=\"A1\" t=\"inlineStr\" s=\"1\"><is><t>Start</t></is></c>"), std::string::npos);
  EXPECT_NE(sheet.find("<c r=\"M1\" t=\"inlineStr\" s=\"1\"><is><t>Chat messages</t></is></c>"), std::string::npos);
  EXPECT_NE(sheet.find("<c r=\"C2\"><v>15</v></c>"), std::string::npos);
  EXPECT_NE(sheet.find("<c r=\"G2\" t=\"inlineStr\"><is><t>A&amp;B&lt;C&gt;</t></is></c>"), std::string::npos);
  EXPECT_NE(sheet.find("<c r=\"K2\" t=\"inlineStr\"><is><t>n/a</t></is></c>"), std::string::npos);
  EXPECT_NE(sheet.find("<c r=\"C3\" t=\"inlineStr\"><is><t></t></is></c>"), std::string::npos);
  EXPECT_NE(sheet.find("<row r=\"3\">"), std::string::npos);
  EXPECT_NE(sheet.find("<col min=\"13\" max=\"13\" width=\"18\" customWidth=\"1\"/>"), std::string::npos);
  EXPECT_NE(sheet.find("<pane ySplit=\"1\" topLeftCell=\"A2\" activePane=\"bottomLeft\" state=\"frozen\"/>"),
            std::string::npos);
}

TEST_F(XlsxBook, ArchiveHoldsThePartsInOrder) {
  Rows.assign(2, std::vector<std::string>(13, "v"));
  const auto entries = Unzip(BuildXlsx(Sheet()));
  const auto parts = BuildXlsxParts(Sheet());
  ASSERT_EQ(entries.size(), 6u);
  EXPECT_EQ(entries, parts);
  EXPECT_EQ(entries[0].first, "[Content_Types].xml");
  EXPECT_EQ(entries[5].first, "xl/worksheets/sheet1.xml");
  for (const auto& [name, content] : entries) EXPECT_EQ(content.rfind("<?xml version=\"1.0\"", 0), 0u) << name;
}

// A failed export leaves the previous workbook as it was (here the write fails on a file size limit).
TEST_F(XlsxBook, FailedWriteKeepsThePreviousFile) {
  const std::string path = Dir / "book.xlsx";
  test::WriteFile(path, "previous");
  Rows.assign(200, std::vector<std::string>(13, "some text that makes the file large"));
  rlimit old{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit small = old;
  small.rlim_cur = 1024;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  const TFileResult r = WriteXlsxFile(path, Sheet());
  setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, oldHandler);
  EXPECT_FALSE(r.Ok());
  EXPECT_EQ(test::ReadFile(path), "previous");
  EXPECT_TRUE(WriteXlsxFile(path, Sheet()).Ok());
  EXPECT_EQ(test::ReadFile(path), BuildXlsx(Sheet()));
}

std::string Hex(const std::string& s) {
  static const char* d = "0123456789abcdef";
  std::string out;
  for (unsigned char c : s) (out += d[c >> 4]) += d[c & 15];
  return out;
}

// The workbook opened by a spreadsheet library gives back every value (text as UTF-8 after the repair
// of invalid bytes), and each part is well-formed XML.
TEST_F(XlsxBook, SpreadsheetLibraryReadsTheSameValues) {
  std::vector<std::string> a = {"2026-01-02 10:00", "2026-01-02 10:15", "15", "Helper", "123 456 789", "Mum",
                                "A&B<C>\"", "PC", "ann", "Linux", "0", "2", "7"};
  std::vector<std::string> b = {"s", "e", "", "Helped", "x", "", std::string("ctl\x01name\x1F", 10),
                                "caf\xC3\xA9 \xF0\x9F\x98\x80", "bad\xFF", "_x0041_", "+3", "1.5", "-2"};
  Rows = {a, b};
  const std::string path = Dir / "book.xlsx";
  ASSERT_TRUE(WriteXlsxFile(path, Sheet()).Ok());
  std::string expected;
  auto add = [&](const std::vector<std::string>& row, bool header) {
    for (std::size_t c = 0; c < row.size(); ++c) {
      if (c) expected += ' ';
      const auto n = header ? std::nullopt : XlsxInteger(row[c]);
      if (n && HistoryExportColumnIsNumeric(c))
        expected += "#" + std::to_string(*n);
      else
        expected += "s" + Hex(row[c] == "bad\xFF" ? std::string("bad\xEF\xBF\xBD") : row[c]);
    }
    expected += '\n';
  };
  add(HistoryExportHeaders(), true);
  add(a, false);
  add(b, false);
  test::WriteFile(Dir / "expected.txt", expected);
  const std::string cmd =
      std::string(TOVIK_XLSX_CHECK) + " '" + path + "' '" + (Dir / "expected.txt") + "'";
  EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
}

}  // namespace
}  // namespace tovik
