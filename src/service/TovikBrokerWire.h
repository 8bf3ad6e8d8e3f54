// The desktop broker's wire: requests and replies between the interactive program and the agent.
//
// Every request and every reply starts with a 5-byte header, integers little-endian:
//   request: kind (1), payload length (4);  reply: status (1: 0 done, 1 refused or failed), length (4).
// The payload of the stated length follows directly. One reply answers each request, in order; a refused
// or failed request has an empty reply payload. No length above kBrokerMaxPayload is ever sent or read.
//
// Plain functions on bytes; no I/O. Any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdint>
#include <optional>

#include "base/TovikBytes.h"
#include "base/TovikInputEvent.h"
#include "media/TovikCapture.h"

namespace tovik {

inline constexpr std::size_t kBrokerHeaderBytes = 5;
inline constexpr std::uint32_t kBrokerMaxPayload = 16'777'216;

enum TBrokerKind : std::uint8_t {
  bkCapture = 1,  // 17 bytes: full flag, area; reply: a compressed screen update or empty
  bkInput = 2,    // 29 bytes: the 13-byte input event, area; reply empty
  bkAllow = 3,    // 1 byte: 1 allow, 0 disallow; reply empty
  bkPing = 4,     // empty; reply empty
};

enum TBrokerStatus : std::uint8_t { bsDone = 0, bsRefused = 1 };

inline constexpr std::size_t kBrokerAreaBytes = 16;
inline constexpr std::size_t kBrokerInputEventBytes = 13;
inline constexpr std::size_t kBrokerCaptureBytes = 1 + kBrokerAreaBytes;
inline constexpr std::size_t kBrokerInputBytes = kBrokerInputEventBytes + kBrokerAreaBytes;

struct TBrokerHeader {
  std::uint8_t Kind = 0;  // the status in a reply
  std::uint32_t Length = 0;
};

TBytes EncodeBrokerHeader(std::uint8_t AKind, std::uint32_t ALength);
// AData must hold at least kBrokerHeaderBytes.
TBrokerHeader DecodeBrokerHeader(const std::uint8_t* AData);

// The exact payload length of a request kind; nullopt for a kind that does not exist.
std::optional<std::size_t> BrokerPayloadLength(std::uint8_t AKind);

// The area on the wire: left, top, right, bottom as signed 32-bit integers. A rectangle whose right or
// bottom is not beyond its left or top is empty (the primary screen); nullopt when its width or height
// does not fit a signed 32-bit integer.
void PutBrokerArea(TBytes& ATo, const TRect& AArea);
std::optional<TRect> GetBrokerArea(const std::uint8_t* AData);

TBytes EncodeCaptureRequest(bool AFull, const TRect& AArea);
TBytes EncodeInputRequest(const TInputEvent& AEvent, const TRect& AArea);
TBytes EncodeAllowRequest(bool AAllow);
TBytes EncodePingRequest();

struct TCaptureRequest {
  bool Full = false;
  std::optional<TRect> Area;
};
struct TInputRequest {
  TInputEvent Event;
  std::optional<TRect> Area;
};
// APayload must have the kind's exact length (checked by the caller from the header).
TCaptureRequest DecodeCaptureRequest(TByteView APayload);
TInputRequest DecodeInputRequest(TByteView APayload);

}  // namespace tovik
