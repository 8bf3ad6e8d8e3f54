#include "service/TovikBrokerWire.h"

namespace tovik {

TBytes EncodeBrokerHeader(std::uint8_t AKind, std::uint32_t ALength) {
  TBytes out;
  out.reserve(kBrokerHeaderBytes + ALength);
  out.push_back(AKind);
  PutU32LE(out, ALength);
  return out;
}

TBrokerHeader DecodeBrokerHeader(const std::uint8_t* AData) { return {AData[0], GetU32LE(AData + 1)}; }

std::optional<std::size_t> BrokerPayloadLength(std::uint8_t AKind) {
  switch (AKind) {
    case bkCapture: return kBrokerCaptureBytes;
    case bkInput: return kBrokerInputBytes;
    case bkAllow: return 1;
    case bkPing: return 0;
    default: return std::nullopt;
  }
}

void PutBrokerArea(TBytes& ATo, const TRect& AArea) {
  const TRect a = AArea.Empty() ? TRect{} : AArea;
  PutU32LE(ATo, static_cast<std::uint32_t>(a.Left));
  PutU32LE(ATo, static_cast<std::uint32_t>(a.Top));
  PutU32LE(ATo, static_cast<std::uint32_t>(a.Right()));
  PutU32LE(ATo, static_cast<std::uint32_t>(a.Bottom()));
}

std::optional<TRect> GetBrokerArea(const std::uint8_t* AData) {
  const auto i32 = [&](int at) { return static_cast<std::int32_t>(GetU32LE(AData + at)); };
  const std::int64_t l = i32(0), t = i32(4), r = i32(8), b = i32(12);
  // Sides come from the other process: computed wide; a size that does not fit an int is no rectangle.
  const std::int64_t w = r - l, h = b - t;
  if (w <= 0 || h <= 0) return TRect{};
  if (w > INT32_MAX || h > INT32_MAX) return std::nullopt;
  return TRect{static_cast<int>(l), static_cast<int>(t), static_cast<int>(w), static_cast<int>(h)};
}

namespace {

TBytes Request(TBrokerKind AKind, std::size_t ALength) {
  return EncodeBrokerHeader(AKind, static_cast<std::uint32_t>(ALength));
}

}  // namespace

TBytes EncodeCaptureRequest(bool AFull, const TRect& AArea) {
  TBytes out = Request(bkCapture, kBrokerCaptureBytes);
  out.push_back(AFull ? 1 : 0);
  PutBrokerArea(out, AArea);
  return out;
}

TBytes EncodeInputRequest(const TInputEvent& AEvent, const TRect& AArea) {
  TBytes out = Request(bkInput, kBrokerInputBytes);
  PutU32LE(out, AEvent.Seq);
  out.push_back(AEvent.Kind);
  PutU16LE(out, static_cast<std::uint16_t>(AEvent.X));
  PutU16LE(out, static_cast<std::uint16_t>(AEvent.Y));
  PutU32LE(out, static_cast<std::uint32_t>(AEvent.Data));
  PutBrokerArea(out, AArea);
  return out;
}

TBytes EncodeAllowRequest(bool AAllow) {
  TBytes out = Request(bkAllow, 1);
  out.push_back(AAllow ? 1 : 0);
  return out;
}

TBytes EncodePingRequest() { return Request(bkPing, 0); }

TCaptureRequest DecodeCaptureRequest(TByteView APayload) {
  return {APayload[0] != 0, GetBrokerArea(APayload.data() + 1)};
}

TInputRequest DecodeInputRequest(TByteView APayload) {
  const std::uint8_t* p = APayload.data();
  TInputRequest r;
  r.Event.Seq = GetU32LE(p);
  r.Event.Kind = p[4];
  r.Event.X = static_cast<std::int16_t>(GetU16LE(p + 5));
  r.Event.Y = static_cast<std::int16_t>(GetU16LE(p + 7));
  r.Event.Data = static_cast<std::int32_t>(GetU32LE(p + 9));
  r.Area = GetBrokerArea(p + kBrokerInputEventBytes);
  return r;
}

}  // namespace tovik
