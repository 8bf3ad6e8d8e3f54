#include "base/TovikBytes.h"

#include <algorithm>
#include <array>

namespace tovik {

void Append(TBytes& to, TByteView from) { to.insert(to.end(), from.begin(), from.end()); }

void PutU16BE(TBytes& to, std::uint16_t v) {
  to.push_back(static_cast<std::uint8_t>(v >> 8));
  to.push_back(static_cast<std::uint8_t>(v));
}
void PutU32BE(TBytes& to, std::uint32_t v) {
  for (int s = 24; s >= 0; s -= 8) to.push_back(static_cast<std::uint8_t>(v >> s));
}
void PutU64BE(TBytes& to, std::uint64_t v) {
  for (int s = 56; s >= 0; s -= 8) to.push_back(static_cast<std::uint8_t>(v >> s));
}
void PutU16LE(TBytes& to, std::uint16_t v) {
  to.push_back(static_cast<std::uint8_t>(v));
  to.push_back(static_cast<std::uint8_t>(v >> 8));
}
void PutU32LE(TBytes& to, std::uint32_t v) {
  for (int s = 0; s <= 24; s += 8) to.push_back(static_cast<std::uint8_t>(v >> s));
}
std::uint16_t GetU16BE(const std::uint8_t* p) { return static_cast<std::uint16_t>((p[0] << 8) | p[1]); }
std::uint32_t GetU32BE(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}
std::uint64_t GetU64BE(const std::uint8_t* p) {
  return (std::uint64_t{GetU32BE(p)} << 32) | GetU32BE(p + 4);
}
std::uint16_t GetU16LE(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
std::uint32_t GetU32LE(const std::uint8_t* p) {
  return p[0] | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) | (std::uint32_t{p[3]} << 24);
}

namespace {
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<std::int8_t, 256> MakeDecodeTable() {
  std::array<std::int8_t, 256> t{};
  for (auto& v : t) v = -1;
  for (int i = 0; i < 64; ++i) t[static_cast<unsigned char>(kAlphabet[i])] = static_cast<std::int8_t>(i);
  return t;
}
constexpr auto kDecode = MakeDecodeTable();
}  // namespace

std::string Base64Encode(TByteView data) {
  std::string out;
  out.reserve((data.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= data.size(); i += 3) {
    std::uint32_t v = (std::uint32_t{data[i]} << 16) | (std::uint32_t{data[i + 1]} << 8) | data[i + 2];
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  std::size_t rest = data.size() - i;
  if (rest == 1) {
    std::uint32_t v = std::uint32_t{data[i]} << 16;
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += "==";
  } else if (rest == 2) {
    std::uint32_t v = (std::uint32_t{data[i]} << 16) | (std::uint32_t{data[i + 1]} << 8);
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += '=';
  }
  return out;
}

std::optional<TBytes> Base64Decode(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  TBytes out;
  out.reserve(text.size() / 4 * 3);
  for (std::size_t i = 0; i < text.size(); i += 4) {
    bool last = i + 4 == text.size();
    int pad = 0;
    std::uint32_t v = 0;
    for (int k = 0; k < 4; ++k) {
      char c = text[i + k];
      if (c == '=') {
        // Padding only in the last group, only in its last two places, and only at the end.
        if (!last || k < 2) return std::nullopt;
        ++pad;
        v <<= 6;
        continue;
      }
      if (pad) return std::nullopt;
      std::int8_t d = kDecode[static_cast<unsigned char>(c)];
      if (d < 0) return std::nullopt;
      v = (v << 6) | static_cast<std::uint32_t>(d);
    }
    // Only the canonical text of a value: the bits that padding leaves over must be zero.
    if ((pad == 1 && (v & 0xFF) != 0) || (pad == 2 && (v & 0xFFFF) != 0)) return std::nullopt;
    out.push_back(static_cast<std::uint8_t>(v >> 16));
    if (pad < 2) out.push_back(static_cast<std::uint8_t>(v >> 8));
    if (pad < 1) out.push_back(static_cast<std::uint8_t>(v));
  }
  return out;
}

namespace {
// Length of the well-formed UTF-8 sequence at s[i], or 0 when it is malformed.
std::size_t Utf8SeqLen(std::string_view s, std::size_t i) {
  auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char c = b(i);
  if (c < 0x80) return 1;
  std::size_t n;
  std::uint32_t cp;
  if ((c & 0xE0) == 0xC0) { n = 2; cp = c & 0x1F; }
  else if ((c & 0xF0) == 0xE0) { n = 3; cp = c & 0x0F; }
  else if ((c & 0xF8) == 0xF0) { n = 4; cp = c & 0x07; }
  else return 0;
  if (i + n > s.size()) return 0;
  for (std::size_t k = 1; k < n; ++k) {
    if ((b(i + k) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b(i + k) & 0x3F);
  }
  static constexpr std::uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < kMin[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return n;
}
}  // namespace

bool IsValidUtf8(std::string_view s) {
  for (std::size_t i = 0; i < s.size();) {
    std::size_t n = Utf8SeqLen(s, i);
    if (!n) return false;
    i += n;
  }
  return true;
}

std::string Utf8Truncate(std::string_view s, std::size_t maxBytes) {
  if (s.size() <= maxBytes) return std::string(s);
  std::size_t cut = maxBytes;
  // Step back over continuation bytes so that no character is split.
  while (cut > 0 && (static_cast<unsigned char>(s[cut]) & 0xC0) == 0x80) --cut;
  return std::string(s.substr(0, cut));
}

std::size_t Utf8Length(std::string_view s) {
  std::size_t count = 0;
  for (std::size_t i = 0; i < s.size(); ++count) {
    std::size_t n = Utf8SeqLen(s, i);
    i += n ? n : 1;
  }
  return count;
}

std::string Utf8Sanitize(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size();) {
    std::size_t n = Utf8SeqLen(s, i);
    if (n) {
      out.append(s.substr(i, n));
      i += n;
    } else {
      out.append("\xEF\xBF\xBD");
      ++i;
    }
  }
  return out;
}

std::string Utf8Left(std::string_view s, std::size_t maxChars) {
  std::size_t i = 0;
  for (std::size_t count = 0; i < s.size() && count < maxChars; ++count) {
    const std::size_t n = Utf8SeqLen(s, i);
    i += n ? n : 1;
  }
  return std::string(s.substr(0, i));
}

namespace {
// The code point of the well-formed sequence of n bytes at s[i].
std::uint32_t CodePointAt(std::string_view s, std::size_t i, std::size_t n) {
  static constexpr unsigned char kLead[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
  std::uint32_t cp = static_cast<unsigned char>(s[i]) & kLead[n];
  for (std::size_t k = 1; k < n; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
  return cp;
}

bool BreaksALogLine(std::uint32_t cp) {
  return cp < 0x20 || (cp >= 0x7F && cp <= 0x9F) || cp == 0x061C || cp == 0x200E || cp == 0x200F ||
         cp == 0x2028 || cp == 0x2029 || (cp >= 0x202A && cp <= 0x202E) || (cp >= 0x2066 && cp <= 0x2069);
}
}  // namespace

std::string EscapeForLog(std::string_view text, std::size_t maxChars) {
  std::string out;
  out.reserve(std::min(text.size(), maxChars * 4) + 3);
  std::size_t count = 0;
  for (std::size_t i = 0; i < text.size(); ++count) {
    if (count == maxChars) {
      out += "...";
      break;
    }
    const std::size_t n = Utf8SeqLen(text, i);
    if (n == 0 || BreaksALogLine(CodePointAt(text, i, n))) {
      out += '?';
      i += n ? n : 1;
      continue;
    }
    out.append(text.substr(i, n));
    i += n;
  }
  return out;
}

std::string AsciiLower(std::string_view s) {
  std::string r(s);
  for (char& c : r)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return r;
}
std::string AsciiUpper(std::string_view s) {
  std::string r(s);
  for (char& c : r)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return r;
}
bool SameTextAscii(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}
std::string_view TrimView(std::string_view s) {
  auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!s.empty() && blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && blank(s.back())) s.remove_suffix(1);
  return s;
}
std::string Trim(std::string_view s) { return std::string(TrimView(s)); }

bool IsPartnerID(std::string_view AText) {
  if (AText.size() != 9) return false;
  for (char c : AText)
    if (c < '0' || c > '9') return false;
  return true;
}

std::string FormatID(std::string_view AID) {
  if (AID.size() != 9) return std::string(AID);
  for (char c : AID)
    if (c < '0' || c > '9') return std::string(AID);
  std::string out;
  out.append(AID.substr(0, 3)).append(" ").append(AID.substr(3, 3)).append(" ").append(AID.substr(6, 3));
  return out;
}

}  // namespace tovik
