// Frame transport: the chunking sender with its send window and the two reassembling receivers.
#include "net/TovikFrames.h"

#include <algorithm>

namespace tovik {

namespace {

void SetU32LE(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
  p[2] = static_cast<std::uint8_t>(v >> 16);
  p[3] = static_cast<std::uint8_t>(v >> 24);
}

// What a receiver reserves for a frame, which a peer chooses through the chunk count: room for every
// chunk full, and the per-index bookkeeping.
std::size_t FrameCost(std::size_t count) { return count * kChunkData + count / 8 + 128; }

// Puts chunk data at its place in the frame buffer. Chunks mostly arrive in order and are appended;
// a chunk ahead of a gap zero-fills the gap, and a chunk filling a gap is copied into it.
void PlaceChunk(TBytes& buf, std::size_t index, TByteView data) {
  const std::size_t pos = index * kChunkData;
  if (buf.size() < pos) buf.resize(pos);
  if (buf.size() == pos) {
    buf.insert(buf.end(), data.begin(), data.end());
    return;
  }
  if (buf.size() < pos + data.size()) buf.resize(pos + data.size());
  std::copy(data.begin(), data.end(), buf.begin() + static_cast<std::ptrdiff_t>(pos));
}

// A chunk packet, checked: index below the count, every chunk but the last full, none over-full.
struct TChunkView {
  std::uint32_t ID = 0;
  std::uint16_t Index = 0;
  std::uint16_t Count = 0;
  std::uint32_t Oldest = 0;
  TByteView Data;
};

bool ParseChunk(TByteView data, std::uint8_t kind, std::size_t header, TChunkView& c) {
  if (data.size() < header || data[0] != kind) return false;
  if (data.size() - header > kChunkData) return false;
  c.ID = GetU32LE(data.data() + 1);
  c.Index = GetU16LE(data.data() + 5);
  c.Count = GetU16LE(data.data() + 7);
  c.Oldest = header >= kWindowChunkHeader ? GetU32LE(data.data() + 9) : 0;
  c.Data = data.subspan(header);
  if (c.Count == 0 || c.Index >= c.Count) return false;
  return c.Index + 1 == c.Count || c.Data.size() == kChunkData;
}

// Lists the missing indices in ascending order, at most the first 500.
TBytes BuildNack(std::uint32_t frameID, const std::vector<bool>& got) {
  TBytes out{pkFrameNack};
  PutU32LE(out, frameID);
  PutU16LE(out, 0);
  std::uint16_t m = 0;
  for (std::size_t i = 0; i < got.size() && m < kMaxNackIndices; ++i) {
    if (got[i]) continue;
    PutU16LE(out, static_cast<std::uint16_t>(i));
    ++m;
  }
  out[5] = static_cast<std::uint8_t>(m);
  out[6] = static_cast<std::uint8_t>(m >> 8);
  return out;
}

}  // namespace

TBytes BuildFrameFeedback(const TFrameFeedback& AFeedback) {
  TBytes out{pkFrameFeedback};
  PutU32LE(out, AFeedback.FrameID);
  PutU16LE(out, AFeedback.Index);
  PutU32LE(out, AFeedback.Received);
  return out;
}

bool ParseFrameFeedback(TByteView AData, TFrameFeedback& AFeedback) {
  if (AData.size() != kFeedbackSize || AData[0] != pkFrameFeedback) return false;
  AFeedback.FrameID = GetU32LE(AData.data() + 1);
  AFeedback.Index = GetU16LE(AData.data() + 5);
  AFeedback.Received = GetU32LE(AData.data() + 7);
  return true;
}

TBytes BuildFrameAck(std::uint32_t frameID) {
  TBytes out{pkFrameAck};
  PutU32LE(out, frameID);
  return out;
}

// ---------------------------------------------------------------------------------------------------
// TFrameWindowSender

void TFrameWindowSender::SetLegacy(bool value) {
  if (value == FLegacy) return;
  Cancel();
  FLegacy = value;
}

void TFrameWindowSender::SetMaxInFlight(int value) {
  FMaxInFlight = std::clamp(value, 1, kMaxFramesInFlight);
}

bool TFrameWindowSender::CanStart() const {
  if (FLegacy) return FFrames.empty();
  if (static_cast<int>(FFrames.size()) >= FMaxInFlight) return false;
  // Paced: a frame waits while the link still has a round trip's worth of older chunks to carry, so
  // that a slow link gets fewer and fresher frames rather than a queue of stale ones.
  return !Paced() || FFrames.empty() || QueuedBytes() <= FPacer.Bdp();
}

std::size_t TFrameWindowSender::QueuedBytes() const {
  std::size_t n = 0;
  for (const auto& f : FFrames)
    for (std::uint16_t i : f->Queue) n += f->Chunks[i].size();
  return n;
}

std::uint64_t TFrameWindowSender::InFlightBytes() const {
  return FPacer.SentBytes() - std::min(FCovered, FPacer.SentBytes());
}

void TFrameWindowSender::Stamp(std::uint32_t id, std::uint16_t index, std::size_t bytes, TTick ANow) {
  const std::uint64_t key = (static_cast<std::uint64_t>(id) << 16) | index;
  auto it = FStamps.find(key);
  const bool resent = it != FStamps.end();
  const TRatePacer::TStamp s = FPacer.OnSend(static_cast<std::uint32_t>(bytes), resent, ANow);
  if (resent) {
    it->second = s;
    return;
  }
  FStamps.emplace(key, s);
  FStampOrder.push_back(key);
  while (FStampOrder.size() > kMaxSendStamps) {
    FStamps.erase(FStampOrder.front());
    FStampOrder.pop_front();
  }
}

std::vector<TBytes> TFrameWindowSender::NextPacedPackets(TTick ANow) {
  std::vector<TBytes> out;
  if (FFrames.empty()) {
    FPacer.OnAppLimited(InFlightBytes());
    return out;
  }
  const std::uint32_t oldest = FFrames.front()->ID;
  // Feedback can be lost like anything else: after a time-out without any, what is in flight counts
  // as gone, so that the window opens again.
  if (InFlightBytes() == 0) {
    FLastProgress = ANow;
  } else if (ANow - FLastProgress >= std::max(FPacer.Rtt().Rto(), kProbeMs)) {
    FCovered = FPacer.SentBytes();
    FLastProgress = ANow;
  }
  std::uint64_t allowance = FPacer.Allowance(ANow, InFlightBytes());
  for (auto& f : FFrames) {
    if (allowance == 0) break;
    bool sent = false;
    while (!f->Queue.empty() && allowance > 0) {
      const std::uint16_t i = f->Queue.front();
      f->Queue.pop_front();
      out.push_back(f->Chunks[i]);
      if (out.back().size() >= kWindowChunkHeader) SetU32LE(out.back().data() + 9, oldest);
      Stamp(f->ID, i, out.back().size(), ANow);
      allowance -= std::min<std::uint64_t>(allowance, out.back().size());
      sent = true;
    }
    if (sent) f->LastSend = ANow;
  }
  for (auto& f : FFrames) if (!f->Queue.empty()) return out;  // waiting for credit or window
  // Everything queued has gone: unless the limit on frames in flight holds the next frame back, the
  // screen had nothing more to send, and the pace of what follows is its own, not the link's.
  if (Count() < FMaxInFlight) FPacer.OnAppLimited(InFlightBytes());
  if (!out.empty()) return out;

  // Nothing queued: probe frames that have been quiet, as NextPackets does.
  for (auto& f : FFrames) {
    if (ANow - f->LastSend < kProbeMs) continue;
    out.push_back(f->Chunks.back());
    if (out.back().size() >= kWindowChunkHeader) SetU32LE(out.back().data() + 9, oldest);
    Stamp(f->ID, static_cast<std::uint16_t>(f->Chunks.size() - 1), out.back().size(), ANow);
    f->LastSend = ANow;
  }
  return out;
}

void TFrameWindowSender::HandleFeedback(TByteView data, TTick ANow) {
  TFrameFeedback fb;
  if (!Paced() || !ParseFrameFeedback(data, fb)) return;
  auto it = FStamps.find((static_cast<std::uint64_t>(fb.FrameID) << 16) | fb.Index);
  if (it == FStamps.end()) return;  // never sent, or sent too long ago to tell
  const TRatePacer::TStamp& s = it->second;
  // The count runs on modulo 2^32; a step back (a late, reordered report) is no news. The viewer
  // cannot have received more than was sent and not yet reported, bar the copies the network made:
  // more is counted as that much.
  const std::uint32_t delta = fb.Received - FReported;
  if (delta >= 0x80000000u) return;
  FReported = fb.Received;
  const std::uint64_t unreported = FPacer.SentBytes() - std::min(FPacer.SentBytes(), FPacer.DeliveredBytes());
  const std::uint64_t news = std::min<std::uint64_t>(delta, unreported);
  FCovered = std::max(FCovered, s.SentBefore + s.Bytes);
  FLastProgress = ANow;
  FPacer.OnDelivered(s, news, ANow);
}

bool TFrameWindowSender::Start(TByteView blob, TTick ANow) {
  const std::size_t count = std::max<std::size_t>(1, (blob.size() + kChunkData - 1) / kChunkData);
  if (count > kMaxChunkCount) return false;
  const std::size_t header = FLegacy ? kChunkHeader : kWindowChunkHeader;
  const std::uint8_t kind = FLegacy ? pkFrameChunk : pkWindowChunk;

  auto frame = std::make_unique<TTxFrame>();
  frame->ID = ++FNextID;
  frame->Chunks.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t from = i * kChunkData;
    const std::size_t n = std::min(kChunkData, blob.size() - std::min(from, blob.size()));
    TBytes p;
    p.reserve(header + n);
    p.push_back(kind);
    PutU32LE(p, frame->ID);
    PutU16LE(p, static_cast<std::uint16_t>(i));
    PutU16LE(p, static_cast<std::uint16_t>(count));
    p.resize(header, 0);  // the oldest-ID field is filled in when the chunk is sent
    p.insert(p.end(), blob.begin() + static_cast<std::ptrdiff_t>(from),
             blob.begin() + static_cast<std::ptrdiff_t>(from + n));
    frame->Chunks.push_back(std::move(p));
    frame->Queue.push_back(static_cast<std::uint16_t>(i));
  }
  frame->Started = ANow;
  frame->LastSend = 0;
  FFrames.push_back(std::move(frame));
  return true;
}

void TFrameWindowSender::Cancel() { FFrames.clear(); }  // stamps stay: feedback may still name them

TFrameWindowSender::TTxFrame* TFrameWindowSender::Find(std::uint32_t id) {
  for (auto& f : FFrames)
    if (f->ID == id) return f.get();
  return nullptr;
}

std::vector<TBytes> TFrameWindowSender::NextPackets(int aMax, TTick ANow) {
  std::vector<TBytes> out;
  if (FFrames.empty() || aMax <= 0) return out;
  const std::uint32_t oldest = FFrames.front()->ID;
  const TTick now = ANow;
  auto emit = [&](const TBytes& chunk) {
    out.push_back(chunk);
    if (!FLegacy && out.back().size() >= kWindowChunkHeader) SetU32LE(out.back().data() + 9, oldest);
  };

  const std::size_t max = static_cast<std::size_t>(aMax);
  for (auto& f : FFrames) {
    if (out.size() >= max) break;
    if (f->Queue.empty()) continue;
    const std::size_t take = std::min(f->Queue.size(), max - out.size());
    for (std::size_t k = 0; k < take; ++k) {
      emit(f->Chunks[f->Queue.front()]);
      f->Queue.pop_front();
    }
    f->LastSend = now;
  }
  if (!out.empty()) return out;

  // Nothing queued: probe frames that have been quiet, so that a lost tail or a lost acknowledgement
  // is answered by the viewer with an acknowledgement or a negative acknowledgement.
  for (auto& f : FFrames) {
    if (now - f->LastSend < kProbeMs) continue;
    emit(f->Chunks.back());
    f->LastSend = now;
  }
  return out;
}

bool TFrameWindowSender::HandleAck(TByteView data, std::uint32_t& aMs, TTick ANow) {
  if (data.size() <= 4 || data[0] != pkFrameAck) return false;
  const std::uint32_t id = GetU32LE(data.data() + 1);
  for (auto it = FFrames.begin(); it != FFrames.end(); ++it) {
    if ((*it)->ID != id) continue;
    aMs = static_cast<std::uint32_t>(ANow - (*it)->Started);
    FFrames.erase(it);
    return true;
  }
  return false;
}

void TFrameWindowSender::HandleNack(TByteView data) {
  if (data.size() < 7 || data[0] != pkFrameNack) return;
  TTxFrame* f = Find(GetU32LE(data.data() + 1));
  if (!f) return;
  const std::size_t m = GetU16LE(data.data() + 5);
  if (data.size() < 7 + 2 * m) return;
  f->Queue.clear();
  for (std::size_t k = 0; k < m; ++k) {
    const std::uint16_t index = GetU16LE(data.data() + 7 + 2 * k);
    if (index < f->Chunks.size()) f->Queue.push_back(index);
  }
}

// ---------------------------------------------------------------------------------------------------
// TFrameReceiver

void TFrameReceiver::Forget() {
  FChunks = TBytes();
  FGot = std::vector<bool>();
  FHave = 0;
  FHeld = 0;
}

bool TFrameReceiver::HandleChunk(TByteView data, TBytes& aBlob, TBytes& aReply, TTick ANow) {
  aBlob.clear();
  aReply.clear();
  TChunkView c;
  if (!ParseChunk(data, pkFrameChunk, kChunkHeader, c)) return false;

  if (FDoneID != 0 && c.ID == FDoneID) {
    aReply = BuildFrameAck(c.ID);
    return false;
  }
  if (c.ID < FFrameID) return false;
  if (c.ID > FFrameID) {
    Forget();
    FFrameID = c.ID;
    const std::size_t cost = FrameCost(c.Count);
    if (cost > FBudget) return false;  // left empty: this frame's chunks are ignored
    FChunks.reserve(c.Count * kChunkData);
    FGot.assign(c.Count, false);
    FHeld = cost;
  }
  if (FGot.size() != c.Count) return false;

  FLastChunk = ANow;
  const bool duplicate = FGot[c.Index];
  if (!duplicate) {
    PlaceChunk(FChunks, c.Index, c.Data);
    FGot[c.Index] = true;
    ++FHave;
  }
  if (FHave == FGot.size()) {
    aBlob = std::move(FChunks);
    FDoneID = c.ID;
    Forget();
    aReply = BuildFrameAck(c.ID);
    return true;
  }
  if (duplicate || c.Index == c.Count - 1) aReply = BuildNack(FFrameID, FGot);
  return false;
}

bool TFrameReceiver::PendingNack(TBytes& aReply, std::uint32_t aQuietMs, TTick ANow) {
  aReply.clear();
  if (FHave == 0 || FHave >= FGot.size()) return false;
  const TTick now = ANow;
  if (aQuietMs > 0 && (now - FLastChunk < aQuietMs || now - FLastNack < aQuietMs)) return false;
  FLastNack = now;
  aReply = BuildNack(FFrameID, FGot);
  return true;
}

// ---------------------------------------------------------------------------------------------------
// TFrameWindowReceiver

void TFrameWindowReceiver::Drop(std::map<std::uint32_t, TRxFrame>::iterator it) {
  FHeld -= it->second.Held;
  FFrames.erase(it);
}

bool TFrameWindowReceiver::MakeRoom(std::size_t need) {
  if (need > FBudget) return false;
  while (FHeld + need > FBudget) {
    auto victim = std::find_if(FFrames.begin(), FFrames.end(), [](const auto& f) { return !f.second.Complete; });
    if (victim == FFrames.end()) return false;
    Drop(victim);
    ++FEvicted;
  }
  return true;
}

std::vector<TBytes> TFrameWindowReceiver::HandleChunk(TByteView data, TBytes& aReply, TTick ANow) {
  std::vector<TBytes> out;
  aReply.clear();
  TChunkView c;
  if (!ParseChunk(data, pkWindowChunk, kWindowChunkHeader, c)) return out;
  if (c.ID < c.Oldest) return out;
  // Every chunk that arrives counts, repeats too: they took their share of the link.
  FFeedback.FrameID = c.ID;
  FFeedback.Index = c.Index;
  FFeedback.Received += static_cast<std::uint32_t>(data.size());
  ++FSinceFeedback;

  // The host no longer holds frames below its oldest: stop waiting for them.
  if (FNext == 0) {
    FNext = c.Oldest;
  } else if (FNext < c.Oldest) {
    while (!FFrames.empty() && FFrames.begin()->first < c.Oldest) Drop(FFrames.begin());
    FNext = c.Oldest;
  }

  if (c.ID < FNext) {
    aReply = BuildFrameAck(c.ID);  // delivered or given up: repeat the acknowledgement
  } else if (static_cast<std::uint64_t>(c.ID) - FNext <= kFrameWindowAhead) {
    auto it = FFrames.find(c.ID);
    if (it == FFrames.end()) {
      const std::size_t cost = FrameCost(c.Count);
      if (MakeRoom(cost)) {
        it = FFrames.emplace(c.ID, TRxFrame{}).first;
        it->second.Chunks.reserve(c.Count * kChunkData);
        it->second.Got.assign(c.Count, false);
        it->second.Held = cost;
        FHeld += cost;
      }
    }
    if (it != FFrames.end() && it->second.Got.size() == c.Count) {
      TRxFrame& f = it->second;
      if (f.Complete) {
        aReply = BuildFrameAck(c.ID);
      } else {
        f.LastChunk = ANow;
        const bool duplicate = f.Got[c.Index];
        if (!duplicate) {
          PlaceChunk(f.Chunks, c.Index, c.Data);
          f.Got[c.Index] = true;
          ++f.Have;
        }
        if (f.Have == f.Got.size()) {
          f.Complete = true;
          aReply = BuildFrameAck(c.ID);
        } else if (duplicate || c.Index == c.Count - 1) {
          f.LastNack = ANow;
          aReply = BuildNack(c.ID, f.Got);
        }
      }
    }
  }

  // Deliver in frame order.
  for (auto it = FFrames.find(FNext); it != FFrames.end() && it->second.Complete;
       it = FFrames.find(FNext)) {
    out.push_back(std::move(it->second.Chunks));
    Drop(it);
    ++FNext;
  }
  return out;
}

TBytes TFrameWindowReceiver::TakeFeedback() {
  if (FSinceFeedback == 0) return {};
  FSinceFeedback = 0;
  return BuildFrameFeedback(FFeedback);
}

std::vector<TBytes> TFrameWindowReceiver::PendingNacks(std::uint32_t aQuietMs, TTick ANow) {
  std::vector<TBytes> out;
  const TTick now = ANow;
  for (auto& [id, f] : FFrames) {
    if (f.Complete || f.Have == 0) continue;
    if (now - f.LastChunk < aQuietMs || now - f.LastNack < aQuietMs) continue;
    f.LastNack = now;
    out.push_back(BuildNack(id, f.Got));
  }
  return out;
}

}  // namespace tovik
