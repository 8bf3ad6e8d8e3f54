// The formats of the saved-PC sync: derived values, the list text, the state file and the zlib wrap.
#include <zlib.h>

#include <algorithm>

#include "book/TovikBook.h"
#include "book/TovikRecent.h"
#include "crypto/TovikCrypto.h"

namespace tovik {

namespace {

constexpr std::string_view kCodeAlphabet = "ABCDEFGHJKLMNPQRSTUVWXYZ23456789";

// A decimal stamp with an optional minus sign; nullopt for anything else or beyond 18 digits.
std::optional<std::int64_t> ParseStamp(std::string_view s) {
  s = TrimView(s);
  bool neg = false;
  if (!s.empty() && s.front() == '-') {
    neg = true;
    s.remove_prefix(1);
  }
  if (s.empty() || s.size() > 40) return std::nullopt;
  std::int64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    const int d = c - '0';
    v = v > (INT64_MAX - d) / 10 ? INT64_MAX : v * 10 + d;  // saturates
  }
  return neg ? -v : v;
}

std::int64_t Bound(std::optional<std::int64_t> v, std::int64_t AMax) {
  if (!v || *v < 0) return 0;
  return std::min(*v, AMax);
}

std::vector<std::string_view> SplitLines(std::string_view AText) {
  std::vector<std::string_view> out;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= AText.size(); ++i) {
    if (i < AText.size() && AText[i] != '\n' && AText[i] != '\r') continue;
    if (i > start) out.push_back(AText.substr(start, i - start));
    start = i + 1;
  }
  return out;
}

// "@123456789=rest" or "~123456789=rest": the ID and the rest, when the line has that shape.
bool MarkedLine(std::string_view ALine, char AMark, std::string& AID, std::string_view& ARest) {
  if (ALine.size() < 12 || ALine[0] != AMark || ALine[10] != '=') return false;
  AID = std::string(ALine.substr(1, 9));
  if (!IsPartnerID(AID)) return false;
  ARest = ALine.substr(11);
  return true;
}

std::string Hex(TByteView b) { return AsciiLower(BytesToHex(b)); }

}  // namespace

bool IsValidSecret(std::string_view AText) {
  return AText.size() == 64 && std::all_of(AText.begin(), AText.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
         });
}

TBytes BookListKey(std::string_view ASecret) { return Sha256(Utf8Bytes("TovikBook:" + std::string(ASecret))); }

std::string BookID(std::string_view ASecret) { return Hex(Sha256(Utf8Bytes("TovikBookID:" + std::string(ASecret)))); }

std::string BookStateName(std::string_view ASecret) {
  if (ASecret.empty()) return {};
  return BytesToHex(Sha256(Utf8Bytes("TovikBookState:" + std::string(ASecret)))).substr(0, 16);
}

std::optional<std::string> NormalisePairCode(std::string_view ACode) {
  std::string out;
  for (char c : ACode) {
    if (c == ' ' || c == '\t' || c == '-') continue;
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (kCodeAlphabet.find(c) == std::string_view::npos) return std::nullopt;
    if (out.size() >= 8) return std::nullopt;
    out += c;
  }
  if (out.size() != 8) return std::nullopt;
  return out;
}

std::string PairCodeFromBytes(TByteView ARandom) {
  std::string code;
  for (std::size_t i = 0; i < 8 && i < ARandom.size(); ++i) code += kCodeAlphabet[ARandom[i] & 31];
  return code;
}

TBytes BookDeflate(std::string_view AText) {
  uLongf size = compressBound(static_cast<uLong>(AText.size()));
  TBytes out(size);
  if (compress2(out.data(), &size, reinterpret_cast<const Bytef*>(AText.data()), static_cast<uLong>(AText.size()),
                Z_DEFAULT_COMPRESSION) != Z_OK)
    return {};
  out.resize(size);
  return out;
}

std::optional<std::string> BookInflate(TByteView AData, std::size_t AMax) {
  z_stream z{};
  if (inflateInit(&z) != Z_OK) return std::nullopt;
  std::string out;
  z.next_in = const_cast<Bytef*>(AData.data());
  z.avail_in = static_cast<uInt>(AData.size());
  char buf[16384];
  int rc = Z_OK;
  while (rc == Z_OK) {
    z.next_out = reinterpret_cast<Bytef*>(buf);
    z.avail_out = sizeof buf;
    rc = inflate(&z, Z_NO_FLUSH);
    const std::size_t got = sizeof buf - z.avail_out;
    if (out.size() + got > AMax) {
      rc = Z_MEM_ERROR;
      break;
    }
    out.append(buf, got);
    if (rc == Z_BUF_ERROR && z.avail_in == 0) break;  // the stream ended early
  }
  inflateEnd(&z);
  if (rc != Z_STREAM_END) return std::nullopt;
  return out;
}

std::string BookListText(const TBookList& AList) {
  std::string t;
  auto line = [&](const std::string& l) {
    if (!t.empty()) t += "\r\n";
    t += l;
  };
  for (const auto& id : AList.Order) line(id + "=" + AList.Known.at(id).Name);
  for (const auto& id : AList.Order) {
    const auto& e = AList.Known.at(id);
    line("@" + id + "=" + std::to_string(e.Used) + "," + std::to_string(e.Named));
  }
  for (const auto& [id, st] : AList.Gone) line("~" + id + "=" + std::to_string(st));
  return t;
}

TBookList ParseBookList(std::string_view AText, std::int64_t AMaxStamp) {
  TBookList l;
  const auto lines = SplitLines(AText);
  std::string id;
  std::string_view rest;
  for (auto raw : lines) {
    if (raw.empty() || raw[0] == '@' || raw[0] == '~') continue;
    id = RecentItemID(raw);
    if (!IsPartnerID(id) || l.Known.count(id)) continue;
    l.Known[id] = TBookEntry{CleanRecentName(RecentItemName(raw)), 0, 0};
    l.Order.push_back(id);
  }
  for (auto raw : lines) {
    if (!MarkedLine(raw, '~', id, rest)) continue;
    const std::int64_t st = Bound(ParseStamp(rest), AMaxStamp);
    if (st <= 0) continue;
    auto& g = l.Gone[id];
    g = std::max(g, st);
  }
  for (auto raw : lines) {
    if (!MarkedLine(raw, '@', id, rest)) continue;
    auto it = l.Known.find(id);
    if (it == l.Known.end()) continue;
    const auto comma = rest.find(',');
    if (comma == std::string_view::npos) continue;
    it->second.Used = Bound(ParseStamp(rest.substr(0, comma)), AMaxStamp);
    it->second.Named = Bound(ParseStamp(rest.substr(comma + 1)), AMaxStamp);
  }
  return l;
}

std::string BookStateText(const TBookState& AState) {
  std::string t = "book=" + AState.Book + "\r\n";
  if (AState.Pending) t += "pending=1\r\n";
  for (const auto& id : AState.List.Order) {
    const auto& e = AState.List.Known.at(id);
    t += "@" + id + "=" + std::to_string(e.Used) + "," + std::to_string(e.Named) + "," + e.Name + "\r\n";
  }
  for (const auto& [id, st] : AState.List.Gone) t += "~" + id + "=" + std::to_string(st) + "\r\n";
  return t;
}

TBookState ParseBookState(std::string_view AText, std::int64_t AMaxStamp) {
  TBookState s;
  std::string id;
  std::string_view rest;
  for (auto raw : SplitLines(AText)) {
    if (raw.substr(0, 5) == "book=") {
      s.Book = Trim(raw.substr(5));
    } else if (raw.substr(0, 8) == "pending=") {
      s.Pending = Trim(raw.substr(8)) == "1";
    } else if (MarkedLine(raw, '@', id, rest)) {
      if (s.List.Known.count(id) || s.List.Order.size() >= kBookMaxEntries) continue;
      const auto c1 = rest.find(',');
      const auto c2 = c1 == std::string_view::npos ? c1 : rest.find(',', c1 + 1);
      TBookEntry e;
      e.Used = Bound(ParseStamp(rest.substr(0, c1)), AMaxStamp);
      if (c1 != std::string_view::npos)
        e.Named = Bound(ParseStamp(rest.substr(c1 + 1, c2 == std::string_view::npos ? c2 : c2 - c1 - 1)), AMaxStamp);
      if (c2 != std::string_view::npos) e.Name = CleanRecentName(rest.substr(c2 + 1));
      s.List.Known[id] = e;
      s.List.Order.push_back(id);
    } else if (MarkedLine(raw, '~', id, rest)) {
      const std::int64_t st = Bound(ParseStamp(rest), AMaxStamp);
      if (st > 0 && (s.List.Gone.count(id) || s.List.Gone.size() < kBookMaxTombstones)) {
        auto& g = s.List.Gone[id];
        g = std::max(g, st);
      }
    }
  }
  return s;
}

}  // namespace tovik
