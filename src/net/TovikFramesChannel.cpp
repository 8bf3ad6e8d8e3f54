// Message channel: a reliable, ordered stream of typed messages with cumulative acknowledgements.
#include "net/TovikFrames.h"

#include <algorithm>

namespace tovik {

bool TMsgChannel::Post(std::uint8_t aKind, TByteView aPayload, bool aMore) {
  if (aPayload.size() > kMaxChannelBody) return false;
  TOutMsg m;
  m.Seq = FNextSeq++;
  m.Packet.reserve(kChannelHeader + aPayload.size());
  m.Packet.push_back(pkChannelMsg);
  PutU32LE(m.Packet, m.Seq);
  m.Packet.push_back(aKind);
  m.Packet.push_back(aMore ? 1 : 0);
  m.Packet.insert(m.Packet.end(), aPayload.begin(), aPayload.end());
  FOut.push_back(std::move(m));
  return true;
}

void TMsgChannel::PostText(std::uint8_t aKind, std::string_view aText) {
  PostBytes(aKind, TByteView(reinterpret_cast<const std::uint8_t*>(aText.data()), aText.size()));
}

void TMsgChannel::PostBytes(std::uint8_t aKind, TByteView aData) {
  if (aData.empty()) {
    Post(aKind, {}, false);
    return;
  }
  for (std::size_t from = 0; from < aData.size(); from += kChannelPiece) {
    const std::size_t n = std::min(kChannelPiece, aData.size() - from);
    Post(aKind, aData.subspan(from, n), from + n < aData.size());
  }
}

std::vector<TBytes> TMsgChannel::Poll(TTick ANow) {
  std::vector<TBytes> out;
  const TTick now = ANow;
  const std::size_t n = std::min(FOut.size(), kChannelWindow);
  for (std::size_t i = 0; i < n; ++i) {
    TOutMsg& m = FOut[i];
    if (m.LastSent != 0 && now - m.LastSent < kChannelResendMs) continue;
    out.push_back(m.Packet);
    m.LastSent = now;
  }
  if (FAckDue) {
    FAckDue = false;
    TBytes ack{pkChannelAck};
    PutU32LE(ack, FDelivered);
    out.push_back(std::move(ack));
  }
  return out;
}

TChannelMsg TMsgChannel::Unpack(TByteView packet) {
  TChannelMsg msg;
  msg.Kind = packet[5];
  msg.More = (packet[6] & 1) != 0;
  msg.Data.assign(packet.begin() + kChannelHeader, packet.end());
  return msg;
}

std::vector<TChannelMsg> TMsgChannel::HandleMsg(TByteView data) {
  std::vector<TChannelMsg> out;
  // A packet larger than the peer link can carry was not sent by a channel; it is not buffered either.
  if (data.size() < kChannelHeader || data.size() > kMaxPeerPayload || data[0] != pkChannelMsg)
    return out;
  FAckDue = true;
  const std::uint32_t seq = GetU32LE(data.data() + 1);
  if (seq <= FDelivered) return out;  // duplicate
  if (seq > FDelivered + 1) {
    if (FEarly.size() < kChannelEarlyMax && !FEarly.contains(seq))
      FEarly.emplace(seq, TBytes(data.begin(), data.end()));
    return out;
  }
  out.push_back(Unpack(data));
  ++FDelivered;
  for (auto it = FEarly.find(FDelivered + 1); it != FEarly.end(); it = FEarly.find(FDelivered + 1)) {
    out.push_back(Unpack(it->second));
    FEarly.erase(it);
    ++FDelivered;
  }
  return out;
}

void TMsgChannel::HandleAck(TByteView data) {
  if (data.size() < 5 || data[0] != pkChannelAck) return;
  const std::uint32_t acked = GetU32LE(data.data() + 1);
  while (!FOut.empty() && FOut.front().Seq <= acked) FOut.pop_front();
}

}  // namespace tovik
