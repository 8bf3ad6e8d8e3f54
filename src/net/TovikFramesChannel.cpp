// Message channel: a reliable, ordered stream of typed messages with cumulative acknowledgements and,
// between peers that both have it, selective acknowledgements and paced resends.
#include "net/TovikFrames.h"

#include <algorithm>

namespace tovik {

void TMsgChannel::SetSelective(bool value) {
  if (value == FSelective) return;
  FSelective = value;
  // Messages already sent carry no stamp: they give no round-trip sample when acknowledged.
  for (auto& m : FOut) {
    m.Stamp = TRatePacer::TStamp();
    m.Stamp.Sent = m.LastSent;
    m.Stamp.DeliveredAt = m.LastSent;
    m.Stamp.Resent = true;
    m.SentOrder = 0;
  }
}

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
  if (FSelective) return PollSelective(ANow);
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
    if (FSelective) {
      // Bounded in messages, bytes and distance: nothing beyond the sender's window is kept.
      if (FEarly.size() < kSackEarlyMax && FEarlyBytes + data.size() <= kSackEarlyBytes &&
          seq - FDelivered <= kSackWindow && !FEarly.contains(seq)) {
        FEarly.emplace(seq, TBytes(data.begin(), data.end()));
        FEarlyBytes += data.size();
      }
      return out;
    }
    if (FEarly.size() < kChannelEarlyMax && !FEarly.contains(seq))
      FEarly.emplace(seq, TBytes(data.begin(), data.end()));
    return out;
  }
  out.push_back(Unpack(data));
  ++FDelivered;
  for (auto it = FEarly.find(FDelivered + 1); it != FEarly.end(); it = FEarly.find(FDelivered + 1)) {
    out.push_back(Unpack(it->second));
    FEarlyBytes -= std::min(FEarlyBytes, it->second.size());
    FEarly.erase(it);
    ++FDelivered;
  }
  return out;
}

void TMsgChannel::HandleAck(TByteView data, TTick ANow) {
  if (!FSelective) {
    if (data.size() < 5 || data[0] != pkChannelAck) return;
    const std::uint32_t acked = GetU32LE(data.data() + 1);
    while (!FOut.empty() && FOut.front().Seq <= acked) FOut.pop_front();
    return;
  }
  TChannelAck ack;
  if (!ParseChannelAck(data, ack)) return;
  while (!FOut.empty() && FOut.front().Seq <= ack.Cumulative) {
    Acked(FOut.front(), ANow);
    FOut.pop_front();
  }
  if (FOut.empty()) return;
  // Blocks name sequence numbers; FOut holds consecutive ones from its front, so each maps to an index.
  const std::uint32_t base = FOut.front().Seq;
  for (const auto& b : ack.Blocks) {
    for (std::uint32_t k = 0; k < b.Count; ++k) {
      const std::uint32_t seq = b.First + k;
      if (seq < base) continue;
      const std::size_t i = seq - base;
      if (i >= FOut.size()) break;
      Acked(FOut[i], ANow);
    }
  }
  // A message is missed once three sent after it have arrived.
  for (auto& m : FOut) {
    if (m.LastSent == 0) break;
    if (!m.Sacked && !m.Lost && m.SentOrder + 3 <= FHighestAcked) m.Lost = true;
  }
}

void TMsgChannel::Acked(TOutMsg& m, TTick ANow) {
  if (m.Sacked || m.LastSent == 0) return;
  m.Sacked = true;
  m.Lost = false;
  FHighestAcked = std::max(FHighestAcked, m.SentOrder);
  FPacer.OnDelivered(m.Stamp, m.Packet.size(), ANow);
}

std::vector<TBytes> TMsgChannel::PollSelective(TTick ANow) {
  std::vector<TBytes> out;
  // The window: at most kSackWindow messages and kSackWindowBytes (one message at least).
  std::size_t window = 0;
  std::size_t bytes = 0;
  while (window < FOut.size() && window < kSackWindow &&
         (window == 0 || bytes + FOut[window].Packet.size() <= kSackWindowBytes)) {
    bytes += FOut[window].Packet.size();
    ++window;
  }
  // Time-outs, and what is in flight: sent, neither held by the other end nor missed.
  const TTick rto = FPacer.Rtt().Rto();
  bool timedOut = false;
  std::uint64_t inFlight = 0;
  for (std::size_t i = 0; i < window; ++i) {
    TOutMsg& m = FOut[i];
    if (m.LastSent == 0 || m.Sacked || m.Lost) continue;
    if (ANow - m.LastSent >= rto) {
      m.Lost = true;
      timedOut = true;
      continue;
    }
    inFlight += m.Packet.size();
  }
  if (timedOut) FPacer.Rtt().BackOff();

  std::uint64_t allowance = FPacer.Allowance(ANow, inFlight);
  auto send = [&](TOutMsg& m, bool resent) {
    out.push_back(m.Packet);
    inFlight += m.Packet.size();
    m.Stamp = FPacer.OnSend(static_cast<std::uint32_t>(m.Packet.size()), resent, ANow);
    m.LastSent = ANow;
    m.Lost = false;
    m.SentOrder = ++FSendCount;
    allowance -= std::min<std::uint64_t>(allowance, m.Packet.size());
  };
  // Missed messages first, oldest first; the oldest one goes even without credit, so that a window
  // full of losses cannot stall the channel.
  for (std::size_t i = 0; i < window; ++i) {
    TOutMsg& m = FOut[i];
    if (!m.Lost) continue;
    if (allowance == 0 && !(i == 0 && out.empty())) break;
    send(m, true);
  }
  for (std::size_t i = 0; i < window && allowance > 0; ++i) {
    TOutMsg& m = FOut[i];
    if (m.LastSent == 0) send(m, false);
  }
  // Everything posted is out and nothing missed waits: what is sent next goes at the pace of whoever
  // posts it (a chat line now and then), not at the path's.
  bool waiting = !FOut.empty() && FOut.back().LastSent == 0;
  for (std::size_t i = 0; i < window && !waiting; ++i) waiting = FOut[i].Lost;
  if (!waiting) FPacer.OnAppLimited(inFlight);
  if (FAckDue) {
    FAckDue = false;
    TChannelAck ack;
    ack.Cumulative = FDelivered;
    for (auto it = FEarly.begin(); it != FEarly.end() && ack.Blocks.size() < kMaxSackBlocks;) {
      TChannelAck::TBlock b{it->first, 0};
      std::uint32_t next = it->first;
      while (it != FEarly.end() && it->first == next && b.Count < 0xFFFF) {
        ++b.Count;
        ++next;
        ++it;
      }
      ack.Blocks.push_back(b);
    }
    out.push_back(BuildChannelAck(ack, true));
  }
  return out;
}

TBytes BuildChannelAck(const TChannelAck& AAck, bool ASelective) {
  TBytes out{pkChannelAck};
  PutU32LE(out, AAck.Cumulative);
  if (!ASelective) return out;
  const std::size_t n = std::min(AAck.Blocks.size(), kMaxSackBlocks);
  out.push_back(static_cast<std::uint8_t>(n));
  for (std::size_t i = 0; i < n; ++i) {
    PutU32LE(out, AAck.Blocks[i].First);
    PutU16LE(out, AAck.Blocks[i].Count);
  }
  return out;
}

bool ParseChannelAck(TByteView AData, TChannelAck& AAck) {
  AAck = TChannelAck();
  if (AData.size() < 5 || AData[0] != pkChannelAck) return false;
  AAck.Cumulative = GetU32LE(AData.data() + 1);
  if (AData.size() == 5) return true;
  const std::size_t n = AData[5];
  if (n > kMaxSackBlocks || AData.size() != 6 + 6 * n) return true;
  std::uint64_t floor = static_cast<std::uint64_t>(AAck.Cumulative) + 2;  // above the gap
  const std::uint64_t ceiling = static_cast<std::uint64_t>(AAck.Cumulative) + kSackWindow;
  std::vector<TChannelAck::TBlock> blocks;
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint8_t* p = AData.data() + 6 + 6 * i;
    const TChannelAck::TBlock b{GetU32LE(p), GetU16LE(p + 4)};
    const std::uint64_t last = static_cast<std::uint64_t>(b.First) + b.Count - 1;
    if (b.Count == 0 || b.First < floor || last > ceiling) return true;
    blocks.push_back(b);
    floor = last + 2;  // the next block starts past a gap
  }
  AAck.Blocks = std::move(blocks);
  return true;
}

}  // namespace tovik
