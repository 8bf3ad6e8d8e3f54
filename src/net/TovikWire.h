// Wire helpers shared by the network client and the relay: datagram kinds, the 2-byte length
// framing of the TCP fallback, the blank-separated text lines of the relay channel and the field
// readers (numbers, IPv4 addresses, port lists) both sides use on them.
//
// Pure functions and small value objects; no I/O. Any thread may use them on its own objects.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/TovikBytes.h"

namespace tovik {

// First byte of every datagram between a PC and the relay.
enum : std::uint8_t {
  kWireClientHello = 0x10,   // client -> relay: 0x10, 0x01, ECDH key (64), random (16)
  kWireHandshake = 0x11,     // relay -> client: 0x11, 0x01, ECDH key (64), signing key (64), signature (64)
  kWireSealed = 0x12,        // both ways: sealed text line of the relay channel
  kWireRenew = 0x13,         // relay -> client: no secure session for this sender
  kWireForward = 0x14,       // both ways: 0x14 + sealed peer packet, passed between partners
  kWirePeerSealed = 0xC0,    // sealed peer packet type
};

inline constexpr std::uint8_t kWireVersion = 0x01;
inline constexpr std::size_t kClientHelloSize = 82;
inline constexpr std::size_t kHandshakeReplySize = 194;
inline constexpr std::size_t kClientRandomSize = 16;
// Smallest sealed packet: type, counter, 1 byte of plaintext, tag.
inline constexpr std::size_t kSealedMinSize = 26;
// Largest datagram the TCP framing can carry.
inline constexpr std::size_t kMaxFramedDatagram = 65535;

// Prefixes a datagram with its length as 16-bit big-endian. Returns false (and appends nothing)
// for an empty datagram or one above 65535 bytes.
bool AppendFramed(TBytes& to, TByteView datagram);
TBytes Framed(TByteView datagram);

// Reassembles datagrams from a TCP byte stream. Feed any segmentation; Next() hands out complete
// datagrams in order. A length of 0 is a protocol error that poisons the decoder for good.
// Not thread-safe; one decoder per connection.
class TFrameDecoder {
 public:
  enum class TResult { frNeedMore, frFrame, frBad };

  void Feed(TByteView data);
  // On frFrame, `out` holds the next datagram (its previous contents are replaced).
  TResult Next(TBytes& out);
  // Hands every complete datagram to `each` (called as each(TBytes&&)) in order. Returns false when
  // the stream is corrupt; datagrams before the corrupt length were still handed out.
  template <class F>
  bool Drain(F&& each) {
    for (;;) {
      TBytes d;
      const TResult r = Next(d);
      if (r == TResult::frNeedMore) return true;
      if (r == TResult::frBad) return false;
      each(std::move(d));
    }
  }
  // Bytes held that do not form a complete frame yet.
  std::size_t Buffered() const { return FBuf.size() - FPos; }
  bool Bad() const { return FBad; }

 private:
  TBytes FBuf;
  std::size_t FPos = 0;
  bool FBad = false;
};

// Splits a line at every single blank after trimming it; empty fields are kept (two blanks give
// an empty field). An empty or all-blank line gives no fields.
std::vector<std::string_view> SplitLine(std::string_view line);

// Field checks used by both sides of the command protocol.
bool IsDecimal(std::string_view s);                  // 1..20 ASCII digits
bool IsHexText(std::string_view s);                  // non-empty, 0-9 A-F a-f only
// IsPartnerID (exactly 9 decimal digits) lives in base/TovikBytes.h.
// A feedback sender's e-mail address (UTF-8): 5 to 254 bytes; no byte of 32 or below and none of
// " ( ) , : ; < > [ ] \; exactly one "@", not first; the last "." at least two characters after the "@"
// and not last. Such an address cannot break a mail header (no line break, no list, no comment).
bool IsValidEmail(std::string_view s);
// Reads an unsigned decimal number without sign or grouping; nullopt when not digits or above max.
std::optional<std::uint64_t> ParseDecimal(std::string_view s, std::uint64_t max = UINT64_MAX);
// Dotted IPv4 text -> host-order address; nullopt for anything else.
std::optional<std::uint32_t> ParseIPv4(std::string_view s);
std::string FormatIPv4(std::uint32_t hostOrder);

// A TCP fallback port list: splits at ',', ';' and ' ', trims each piece, keeps ports 1..65535
// once each (unreadable pieces count as 0 and are skipped), at most the first 4, in order.
std::vector<std::uint16_t> ParsePortList(std::string_view AText);
// The ports joined with "," (no blanks); "0" for an empty list.
std::string PortListText(const std::vector<std::uint16_t>& APorts);

}  // namespace tovik
