#include "service/TovikBroker.h"

#include <algorithm>
#include <cstdio>
#include <exception>

namespace tovik {

namespace {

std::string Printf(const char* AFmt, auto... AArgs) {
  char buf[512];
  std::snprintf(buf, sizeof buf, AFmt, AArgs...);
  return buf;
}

const char* KindName(std::uint8_t AKind) { return AKind == bkCapture ? "capture" : "input"; }

}  // namespace

TBrokerConnection::TBrokerConnection(IBrokerDesktop& ADesktop, TBrokerLogFn ALog)
    : FDesktop(ADesktop), FLog(std::move(ALog)) {}

TBrokerConnection::~TBrokerConnection() { Close(); }

void TBrokerConnection::Close() {
  SetAllowed(false);
  FWant = 0;
}

void TBrokerConnection::SetAllowed(bool AOn) {
  if (FAllowed == AOn) return;
  FAllowed = AOn;
  FDesktop.ShowHelpedMarker(AOn);
}

TBytes TBrokerConnection::Refuse(const std::string& AReason) {
  if (FLog) FLog("Desktop broker refused a request: " + AReason);
  return EncodeBrokerHeader(bsRefused, 0);
}

TBytes TBrokerConnection::Take(TByteView ABytes) {
  if (FWant == 0 || ABytes.size() != FWant) {
    Close();
    return {};
  }
  if (!FInPayload) {
    FHeader = DecodeBrokerHeader(ABytes.data());
    if (FHeader.Length > kBrokerMaxPayload) {
      if (FLog)
        FLog(Printf("Desktop broker closed a connection: request kind %u declares %u bytes, more than %u",
                    unsigned(FHeader.Kind), unsigned(FHeader.Length), unsigned(kBrokerMaxPayload)));
      Close();
      return {};
    }
    const std::optional<std::size_t> expected = BrokerPayloadLength(FHeader.Kind);
    if (!expected || *expected != FHeader.Length) {
      TBytes reply = Refuse(!expected ? Printf("unknown kind %u", unsigned(FHeader.Kind))
                                      : Printf("kind %u with %u payload bytes instead of %u", unsigned(FHeader.Kind),
                                               unsigned(FHeader.Length), unsigned(*expected)));
      Close();
      return reply;
    }
    if (FHeader.Length == 0) return Handle(FHeader.Kind, {});
    FInPayload = true;
    FWant = FHeader.Length;
    return {};
  }
  FInPayload = false;
  FWant = kBrokerHeaderBytes;
  return Handle(FHeader.Kind, ABytes);
}

bool TBrokerConnection::AreaAcceptable(const std::optional<TRect>& AArea, const char* AWhat, std::string& AReason) {
  if (!AArea) {
    AReason = std::string(AWhat) + " area is not a rectangle";
    return false;
  }
  if (AArea->Empty()) return true;
  for (const TMonitorInfo& m : FDesktop.Monitors())
    if (m.Rect == *AArea) return true;
  AReason = Printf("%s area %d,%d %dx%d is not a monitor of this display", AWhat, AArea->Left, AArea->Top,
                   AArea->Width, AArea->Height);
  return false;
}

TBytes TBrokerConnection::Handle(std::uint8_t AKind, TByteView APayload) {
  try {
    switch (AKind) {
      case bkPing: return EncodeBrokerHeader(bsDone, 0);
      case bkAllow:
        if (APayload[0] > 1) return Refuse(Printf("allow value %u", unsigned(APayload[0])));
        SetAllowed(APayload[0] == 1);
        return EncodeBrokerHeader(bsDone, 0);
      case bkCapture:
      case bkInput: {
        if (!FAllowed) return Refuse(std::string(KindName(AKind)) + " before an allow on this connection");
        std::string reason;
        const std::optional<TRect> area =
            AKind == bkCapture ? DecodeCaptureRequest(APayload).Area : DecodeInputRequest(APayload).Area;
        if (!AreaAcceptable(area, KindName(AKind), reason)) return Refuse(reason);
        if (!FAreaSet || *area != FArea) {
          FDesktop.SetArea(*area);
          FArea = *area;
          FAreaSet = true;
        }
        if (AKind == bkInput) {
          FDesktop.InjectInput(DecodeInputRequest(APayload).Event);
          return EncodeBrokerHeader(bsDone, 0);
        }
        TBytes update = FDesktop.CaptureUpdate(DecodeCaptureRequest(APayload).Full);
        if (update.size() > kBrokerMaxPayload)
          return Refuse(Printf("capture reply of %zu bytes over the limit", update.size()));
        TBytes reply = EncodeBrokerHeader(bsDone, static_cast<std::uint32_t>(update.size()));
        Append(reply, update);
        return reply;
      }
      default: return Refuse(Printf("unknown kind %u", unsigned(AKind)));
    }
  } catch (const std::exception& e) {
    return Refuse(std::string(KindName(AKind)) + " failed: " + EscapeForLog(e.what()));
  }
}

std::string BrokerClientRejection(const TBrokerPeer& APeer, const TBrokerPolicy& APolicy) {
  if (APeer.CredError != 0 || APeer.Pid <= 0) return Printf("Could not read client PID (error %d)", APeer.CredError);
  if (APeer.Uid != APolicy.SocketUid)
    return Printf("Client PID %ld runs as uid %u; this socket serves uid %u", APeer.Pid, unsigned(APeer.Uid),
                  unsigned(APolicy.SocketUid));
  if (std::find(APolicy.SeatUids.begin(), APolicy.SeatUids.end(), APeer.Uid) == APolicy.SeatUids.end())
    return Printf("Client PID %ld runs as uid %u, which has no session on seat0", APeer.Pid, unsigned(APeer.Uid));
  if (APeer.ExeError != 0 || APeer.Exe.empty())
    return Printf("Could not read image path for client PID %ld (error %d)", APeer.Pid, APeer.ExeError);
  if (APeer.Exe != APolicy.Program)
    return Printf("Client PID %ld path \"%s\" differs from broker path \"%s\"", APeer.Pid,
                  EscapeForLog(APeer.Exe, 200).c_str(), EscapeForLog(APolicy.Program, 200).c_str());
  return {};
}

}  // namespace tovik
