#include "net/TovikWire.h"

#include <cstring>

namespace tovik {

bool AppendFramed(TBytes& to, TByteView datagram) {
  if (datagram.empty() || datagram.size() > kMaxFramedDatagram) return false;
  PutU16BE(to, static_cast<std::uint16_t>(datagram.size()));
  Append(to, datagram);
  return true;
}

TBytes Framed(TByteView datagram) {
  TBytes out;
  AppendFramed(out, datagram);
  return out;
}

void TFrameDecoder::Feed(TByteView data) {
  if (FBad || data.empty()) return;
  // Compact before growing so a long-lived connection does not keep consumed bytes around.
  if (FPos > 0 && (FPos == FBuf.size() || FPos >= 65536)) {
    FBuf.erase(FBuf.begin(), FBuf.begin() + static_cast<std::ptrdiff_t>(FPos));
    FPos = 0;
  }
  FBuf.insert(FBuf.end(), data.begin(), data.end());
}

TFrameDecoder::TResult TFrameDecoder::Next(TBytes& out) {
  if (FBad) return TResult::frBad;
  const std::size_t have = FBuf.size() - FPos;
  if (have < 2) return TResult::frNeedMore;
  const std::size_t len = GetU16BE(FBuf.data() + FPos);
  if (len == 0) {
    FBad = true;
    FBuf.clear();
    FPos = 0;
    return TResult::frBad;
  }
  if (have < len + 2) return TResult::frNeedMore;
  const auto* start = FBuf.data() + FPos + 2;
  out.assign(start, start + len);
  FPos += len + 2;
  if (FPos == FBuf.size()) {
    FBuf.clear();
    FPos = 0;
  }
  return TResult::frFrame;
}

std::vector<std::string_view> SplitLine(std::string_view line) {
  std::vector<std::string_view> out;
  line = TrimView(line);
  if (line.empty()) return out;
  std::size_t start = 0;
  while (true) {
    const std::size_t blank = line.find(' ', start);
    if (blank == std::string_view::npos) {
      out.push_back(line.substr(start));
      break;
    }
    out.push_back(line.substr(start, blank - start));
    start = blank + 1;
  }
  return out;
}

bool IsDecimal(std::string_view s) {
  if (s.empty() || s.size() > 20) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

bool IsHexText(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s) {
    const bool ok = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
    if (!ok) return false;
  }
  return true;
}

bool IsValidEmail(std::string_view s) {
  if (s.size() < 5 || s.size() > 254) return false;
  for (char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    if (c <= 32 || c == 127 || std::string_view("\"(),:;<>[]\\").find(ch) != std::string_view::npos) return false;
  }
  const std::size_t at = s.find('@');
  if (at == std::string_view::npos || at == 0 || s.find('@', at + 1) != std::string_view::npos) return false;
  const std::size_t dot = s.rfind('.');
  return dot != std::string_view::npos && dot >= at + 2 && dot + 1 < s.size();
}

std::optional<std::uint64_t> ParseDecimal(std::string_view s, std::uint64_t max) {
  if (!IsDecimal(s)) return std::nullopt;
  std::uint64_t v = 0;
  for (char c : s) {
    const std::uint64_t d = static_cast<std::uint64_t>(c - '0');
    if (v > (UINT64_MAX - d) / 10) return std::nullopt;
    v = v * 10 + d;
  }
  if (v > max) return std::nullopt;
  return v;
}

std::optional<std::uint32_t> ParseIPv4(std::string_view s) {
  std::uint32_t addr = 0;
  int parts = 0;
  std::size_t pos = 0;
  while (true) {
    const std::size_t dot = s.find('.', pos);
    const std::string_view piece = dot == std::string_view::npos ? s.substr(pos) : s.substr(pos, dot - pos);
    if (piece.empty() || piece.size() > 3 || ++parts > 4) return std::nullopt;
    const auto v = ParseDecimal(piece, 255);
    if (!v) return std::nullopt;
    addr = (addr << 8) | static_cast<std::uint32_t>(*v);
    if (dot == std::string_view::npos) break;
    pos = dot + 1;
  }
  if (parts != 4) return std::nullopt;
  return addr;
}

std::string FormatIPv4(std::uint32_t a) {
  return std::to_string(a >> 24) + "." + std::to_string((a >> 16) & 255) + "." + std::to_string((a >> 8) & 255) +
         "." + std::to_string(a & 255);
}

std::vector<std::uint16_t> ParsePortList(std::string_view AText) {
  std::vector<std::uint16_t> out;
  std::size_t start = 0;
  while (start <= AText.size() && out.size() < 4) {
    std::size_t end = AText.find_first_of(",; ", start);
    if (end == std::string_view::npos) end = AText.size();
    const auto v = ParseDecimal(TrimView(AText.substr(start, end - start)), 65535);
    if (v && *v >= 1) {
      const auto port = static_cast<std::uint16_t>(*v);
      bool seen = false;
      for (auto p : out) seen = seen || p == port;
      if (!seen) out.push_back(port);
    }
    start = end + 1;
  }
  return out;
}

std::string PortListText(const std::vector<std::uint16_t>& APorts) {
  if (APorts.empty()) return "0";
  std::string out;
  for (std::size_t i = 0; i < APorts.size(); ++i) {
    if (i) out += ",";
    out += std::to_string(APorts[i]);
  }
  return out;
}

}  // namespace tovik
