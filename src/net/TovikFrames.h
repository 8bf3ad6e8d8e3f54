// Session transport over the peer link: chunked screen frames with a send window and negative
// acknowledgements, acknowledged input events, and a reliable ordered message channel.
//
// These objects do no I/O and read no clock: the methods that need the time take it as ANow. Received
// peer packets are handed in through the Handle... methods; the packets to send come back as return
// values (or out parameters), and the caller passes each one to the peer link as it is. The timers are
// plain methods that the session calls at its own pace (NextPackets, PendingNack(s), Packet, Poll). Not
// thread-safe: one thread (the session's) calls every method of one object; the host guards its frame
// sender with its own lock.
//
// Every packet built here fits one peer-link payload (kMaxPeerPayload). Every packet handed in is
// checked before use: malformed or out-of-range packets are dropped without a word, and nothing a peer
// sends makes a receiver hold more than its byte budget.
//
// All integers on the wire are little-endian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string_view>
#include <vector>

#include "base/TovikBytes.h"
#include "base/TovikClock.h"
#include "base/TovikInputEvent.h"
#include "net/TovikFramesPacer.h"

namespace tovik {

// First bytes of the peer packets handled here.
inline constexpr std::uint8_t pkFrameChunk = 0x81;   // frame chunk, single-frame mode (host to viewer)
inline constexpr std::uint8_t pkFrameAck = 0x82;     // frame acknowledgement (viewer to host)
inline constexpr std::uint8_t pkFrameNack = 0x83;    // missing chunks of a frame (viewer to host)
inline constexpr std::uint8_t pkInput = 0x84;        // input events (viewer to host)
inline constexpr std::uint8_t pkInputAck = 0x85;     // input acknowledgement (host to viewer)
inline constexpr std::uint8_t pkChannelMsg = 0x88;   // message-channel message (both ways)
inline constexpr std::uint8_t pkChannelAck = 0x89;   // message-channel acknowledgement (both ways)
inline constexpr std::uint8_t pkWindowChunk = 0x8B;  // frame chunk, windowed mode (host to viewer)
inline constexpr std::uint8_t pkFrameFeedback = 0x8C;  // chunk bytes received so far (viewer to host, paced)

// The largest plaintext one sealed peer packet can carry: a UDP datagram holds at most 65507 bytes, and
// a packet through the relay spends one byte on the relay prefix and 25 on sealing.
inline constexpr std::size_t kMaxPeerPayload = 65507 - 1 - 25;

// ---------------------------------------------------------------------------------------------------
// Frames

inline constexpr std::size_t kChunkData = 1200;            // data bytes per chunk (the last may be fewer)
inline constexpr std::size_t kChunkHeader = 9;             // kind, frame ID, index, count
inline constexpr std::size_t kWindowChunkHeader = 13;      // ... plus the oldest frame ID still held
inline constexpr std::size_t kMaxChunkCount = 65535;       // the count is a 16-bit field
inline constexpr std::size_t kMaxFrameBytes = kMaxChunkCount * kChunkData;
inline constexpr std::size_t kMaxNackIndices = 500;        // missing indices listed in one NACK
inline constexpr int kMaxFramesInFlight = 4;
inline constexpr std::uint32_t kFrameWindowAhead = 64;     // a windowed receiver ignores frames further ahead
inline constexpr TTick kProbeMs = 150;                     // quiet time after which the sender probes

// Bytes that one frame receiver may hold for frames not yet delivered, unless its owner says otherwise.
// Reaching it drops the oldest unfinished frames first; the viewer then asks for a full picture.
inline constexpr std::size_t kDefaultFrameBudget = 64u * 1024u * 1024u;

// Builds a frame acknowledgement (5 bytes).
TBytes BuildFrameAck(std::uint32_t frameID);

// Paced frame transport (both ends announced it): the viewer reports what arrived with feedback packets
// of 11 bytes: 0x8C, the frame ID (4) and index (2) of the latest chunk received, and the chunk bytes
// received so far (4, counting on modulo 2^32). The host times its chunks by them (TRatePacer).
inline constexpr std::size_t kFeedbackSize = 11;
inline constexpr std::size_t kFeedbackEvery = 8;        // chunks between feedback packets on the viewer
inline constexpr std::size_t kMaxSendStamps = 16384;    // chunk sends the paced sender remembers

struct TFrameFeedback {
  std::uint32_t FrameID = 0;
  std::uint16_t Index = 0;
  std::uint32_t Received = 0;
};
TBytes BuildFrameFeedback(const TFrameFeedback& AFeedback);
// False unless the packet is exactly one well-formed feedback packet.
bool ParseFrameFeedback(TByteView AData, TFrameFeedback& AFeedback);

// Sends frames as chunks, in single-frame (legacy) or windowed mode. Lives on the host for one session.
class TFrameWindowSender {
 public:
  // One frame being sent.
  struct TTxFrame {
    std::uint32_t ID = 0;
    std::vector<TBytes> Chunks;          // the complete chunk packets, built once
    std::deque<std::uint16_t> Queue;     // chunk indices still to send, in order
    TTick Started = 0;                   // tick when the frame was started
    TTick LastSend = 0;                  // tick of the last transmission of any chunk, 0 before the first
  };

  TFrameWindowSender() = default;

  bool Legacy() const { return FLegacy; }
  // Paced mode (windowed mode only): chunks leave at the rate the pacer allows (NextPacedPackets) and
  // a new frame starts only while less than one bottleneck-delay product waits unsent.
  bool Paced() const { return FPaced && !FLegacy; }
  void SetPaced(bool value) { FPaced = value; }
  // A change of mode first cancels every frame in flight, so that no frame is half in one mode.
  void SetLegacy(bool value);
  int MaxInFlight() const { return FMaxInFlight; }
  // Clamped to 1..4.
  void SetMaxInFlight(int value);

  // Single-frame mode: nothing in flight. Windowed mode: fewer than MaxInFlight frames in flight (and,
  // paced, at most one bottleneck-delay product queued unsent).
  bool CanStart() const;
  // Cuts a frame into chunks and queues them all, started at ANow; the caller checks CanStart first.
  // Returns false and starts nothing when the frame is larger than the 16-bit chunk count can describe
  // (kMaxFrameBytes).
  bool Start(TByteView blob, TTick ANow);
  // Drops every frame in flight; frame IDs keep counting.
  void Cancel();
  // The chunk packets to transmit at ANow: at most aMax queued chunks, oldest frame first; when nothing
  // was queued, a probe (the last chunk again) for every frame quiet for 150 ms or more.
  std::vector<TBytes> NextPackets(int aMax, TTick ANow);
  // Paced mode: the queued chunks the pacer lets go at ANow, oldest frame first, then probes as
  // NextPackets. With nothing left queued and room for another frame, the pacer learns that the
  // sender is application-limited (see TRatePacer); held by MaxInFlight, it is not.
  std::vector<TBytes> NextPacedPackets(TTick ANow);
  // A feedback packet from the viewer at ANow (paced mode); malformed or implausible ones are ignored.
  void HandleFeedback(TByteView data, TTick ANow);
  // Chunk bytes queued in all frames and not yet sent.
  std::size_t QueuedBytes() const;
  // Bytes sent and not yet covered by feedback (paced mode).
  std::uint64_t InFlightBytes() const;
  const TRatePacer& Pacer() const { return FPacer; }
  // A frame acknowledgement at ANow. True when it completed a frame in flight; aMs is then the time from
  // the frame's start to ANow. Only that frame is removed.
  bool HandleAck(TByteView data, std::uint32_t& aMs, TTick ANow);
  // A negative acknowledgement: the frame's queue becomes the listed indices that exist, as listed.
  void HandleNack(TByteView data);

  bool InFlight() const { return !FFrames.empty(); }
  int Count() const { return static_cast<int>(FFrames.size()); }
  // Start tick of the oldest frame in flight, 0 when none.
  TTick OldestStarted() const { return FFrames.empty() ? 0 : FFrames.front()->Started; }
  // ID of the last frame started, 0 before the first.
  std::uint32_t LastID() const { return FNextID; }

 private:
  TTxFrame* Find(std::uint32_t id);
  void Stamp(std::uint32_t id, std::uint16_t index, std::size_t bytes, TTick ANow);

  std::deque<std::unique_ptr<TTxFrame>> FFrames;  // in flight, oldest first
  std::uint32_t FNextID = 0;
  int FMaxInFlight = 1;
  bool FLegacy = true;
  bool FPaced = false;
  // Paced mode: the pacer, the stamps of the latest sends by (frame ID << 16 | index), oldest first in
  // FStampOrder (at most kMaxSendStamps), the bytes sent up to the latest chunk feedback named, and
  // the viewer's last received count.
  TRatePacer FPacer;
  std::map<std::uint64_t, TRatePacer::TStamp> FStamps;
  std::deque<std::uint64_t> FStampOrder;
  std::uint64_t FCovered = 0;
  std::uint32_t FReported = 0;
  TTick FLastProgress = 0;  // the latest feedback, or the send that found nothing in flight
};

// Reassembles single-frame-mode chunks (0x81) on the viewer: one frame at a time.
//
// Both receivers place chunk data straight into one buffer per frame (chunk i at 1200 × i; every
// chunk but the last is full), reserved for the largest size the chunk count allows. That reservation
// is what counts against the receiver's byte budget.
class TFrameReceiver {
 public:
  // aBudget: the most bytes the frame being assembled may reserve. A frame that would need more is
  // ignored until a newer frame begins.
  explicit TFrameReceiver(std::size_t aBudget = kDefaultFrameBudget) : FBudget(aBudget) {}

  // A chunk arriving at ANow. True when it completed a frame (in aBlob). aReply, when not empty, goes
  // back to the host.
  bool HandleChunk(TByteView data, TBytes& aBlob, TBytes& aReply, TTick ANow);
  // True when a negative acknowledgement is due at ANow (in aReply): a frame is partly received and,
  // with aQuietMs above 0, aQuietMs have passed since its last chunk and since the last one produced
  // here.
  bool PendingNack(TBytes& aReply, std::uint32_t aQuietMs, TTick ANow);

  // Bytes reserved for the frame being assembled.
  std::size_t HeldBytes() const { return FHeld; }

 private:
  void Forget();

  std::uint32_t FFrameID = 0;
  std::uint32_t FDoneID = 0;
  TBytes FChunks;           // chunk data, each at its place
  std::vector<bool> FGot;   // per chunk index; its size is the frame's chunk count
  std::size_t FHave = 0;
  TTick FLastChunk = 0;
  TTick FLastNack = 0;
  std::size_t FHeld = 0;
  std::size_t FBudget;
};

// Reassembles windowed-mode chunks (0x8B) on the viewer and delivers whole frames in frame order.
class TFrameWindowReceiver {
 public:
  // One frame being assembled.
  struct TRxFrame {
    TBytes Chunks;           // chunk data, each at its place
    std::vector<bool> Got;   // per chunk index; its size is the frame's chunk count
    std::size_t Have = 0;
    bool Complete = false;
    TTick LastChunk = 0;
    TTick LastNack = 0;
    std::size_t Held = 0;    // bytes reserved for this frame, counted against the budget
  };

  // aBudget: the most bytes all frames not yet delivered may reserve together. To make room for a new
  // frame, unfinished frames are dropped oldest first; a frame that still does not fit is ignored.
  explicit TFrameWindowReceiver(std::size_t aBudget = kDefaultFrameBudget) : FBudget(aBudget) {}

  // A chunk arriving at ANow: the frames that became deliverable, in frame order. aReply as for
  // TFrameReceiver.
  std::vector<TBytes> HandleChunk(TByteView data, TBytes& aReply, TTick ANow);
  // Negative acknowledgements due at ANow for frames partly received and quiet for aQuietMs.
  std::vector<TBytes> PendingNacks(std::uint32_t aQuietMs, TTick ANow);

  // Next frame ID to deliver; 0 until the first chunk arrives.
  std::uint32_t Next() const { return FNext; }
  std::size_t HeldBytes() const { return FHeld; }
  std::size_t FrameCount() const { return FFrames.size(); }
  // Unfinished frames dropped so far to stay within the budget.
  std::uint64_t Evicted() const { return FEvicted; }
  // Paced transport: chunks taken since the last feedback, and the feedback packet for what arrived so
  // far (empty when no chunk arrived since the last one).
  std::size_t ChunksSinceFeedback() const { return FSinceFeedback; }
  TBytes TakeFeedback();

 private:
  void Drop(std::map<std::uint32_t, TRxFrame>::iterator it);
  bool MakeRoom(std::size_t need);

  std::map<std::uint32_t, TRxFrame> FFrames;
  std::uint32_t FNext = 0;
  std::size_t FHeld = 0;
  std::size_t FBudget;
  std::uint64_t FEvicted = 0;
  TFrameFeedback FFeedback;
  std::size_t FSinceFeedback = 0;
};

// ---------------------------------------------------------------------------------------------------
// Input

inline constexpr std::size_t kInputEventSize = 13;
inline constexpr std::size_t kMaxInputEvents = 90;  // events in one input packet, as a sender builds it

void PutInputEvent(TBytes& to, const TInputEvent& ev);
TInputEvent GetInputEvent(const std::uint8_t* p);  // reads kInputEventSize bytes

// Takes one new input event on the host; called inside TInputReceiver::HandleInput on the same thread.
// False when the host cannot take it now: that event and the rest of the packet are left for the
// sender to repeat.
using TInputApplyProc = std::function<bool(const TInputEvent&)>;

// Numbers the viewer's input events and repeats the unacknowledged ones. Lives on the viewer.
class TInputSender {
 public:
  void Add(std::uint8_t aKind, std::int16_t aX, std::int16_t aY, std::int32_t aData);
  // The input packet with the oldest pending events (at most 90); empty when nothing is pending.
  // Removes nothing: events are repeated until they are acknowledged.
  TBytes Packet() const;
  // An input acknowledgement: drops the pending events up to the acknowledged number.
  void HandleAck(TByteView data);

  std::size_t PendingCount() const { return FPending.size(); }

 private:
  std::deque<TInputEvent> FPending;
  std::uint32_t FNextSeq = 1;
};

// Applies each input event exactly once and in order. Lives on the host.
class TInputReceiver {
 public:
  // Hands what is new in an input packet to aApply, in order, until it refuses one, and returns the
  // acknowledgement of what was taken. Empty (no answer) when malformed: a packet holds exactly the
  // events its count says, at most kMaxInputEvents of them, as TInputSender builds it.
  TBytes HandleInput(TByteView data, const TInputApplyProc& aApply);

  std::uint32_t Applied() const { return FApplied; }

 private:
  std::uint32_t FApplied = 0;
};

// ---------------------------------------------------------------------------------------------------
// Message channel

inline constexpr std::size_t kChannelHeader = 7;
inline constexpr std::size_t kChannelPiece = 1150;        // PostBytes cuts data into pieces of this size
inline constexpr std::size_t kChannelWindow = 64;         // unacknowledged messages sent at a time
inline constexpr std::size_t kChannelEarlyMax = 256;      // messages buffered ahead of a gap
inline constexpr TTick kChannelResendMs = 300;
// The largest body one Post can carry: the message packet must fit one peer packet.
inline constexpr std::size_t kMaxChannelBody = kMaxPeerPayload - kChannelHeader;

// Selective acknowledgement (both ends announced it). The acknowledgement then carries, after the
// cumulative number, a count byte and that many blocks of messages held ahead of the gap: first
// sequence number (4) and count (2), ascending, not touching each other. Messages are resent about
// one round trip after they are missed (three later ones acknowledged, or the resend time-out of
// TRttEstimator) and leave at the rate TRatePacer allows.
inline constexpr std::size_t kMaxSackBlocks = 16;
inline constexpr std::size_t kSackWindow = 2048;           // unacknowledged messages sent at a time
inline constexpr std::size_t kSackWindowBytes = 2u << 20;  // ... and their bytes (one message at least)
inline constexpr std::size_t kSackEarlyMax = kSackWindow;  // messages buffered ahead of a gap
inline constexpr std::size_t kSackEarlyBytes = 4u << 20;   // ... and their bytes

struct TChannelAck {
  std::uint32_t Cumulative = 0;
  struct TBlock {
    std::uint32_t First = 0;
    std::uint16_t Count = 0;
  };
  std::vector<TBlock> Blocks;  // checked: at most kMaxSackBlocks, ascending, disjoint, above the gap
};
TBytes BuildChannelAck(const TChannelAck& AAck, bool ASelective);
// A received acknowledgement; false when malformed. Blocks are accepted only when each starts above
// the cumulative number + 1 and past the end of the one before, ends within kSackWindow of the
// cumulative number, and the packet holds exactly the blocks its count says; otherwise the packet
// counts as a plain cumulative acknowledgement.
bool ParseChannelAck(TByteView AData, TChannelAck& AAck);

// One delivered message or piece of a long message.
struct TChannelMsg {
  std::uint8_t Kind = 0;
  bool More = false;  // further pieces of the same message follow
  TBytes Data;
};

// A reliable, ordered stream of typed messages over the lossy peer link. One per side of a session.
class TMsgChannel {
 public:
  // One unacknowledged message.
  struct TOutMsg {
    std::uint32_t Seq = 0;
    TBytes Packet;       // the complete message packet
    TTick LastSent = 0;  // 0 when never sent
    // Selective mode only.
    bool Sacked = false;          // the other end holds it
    bool Lost = false;            // missed: resent before anything new
    std::uint64_t SentOrder = 0;  // position of its latest transmission among all transmissions
    TRatePacer::TStamp Stamp;
  };

  // Selective acknowledgement and paced resends, once both ends announced them. Off: the fixed window
  // of 64, the 300 ms resend and 5-byte acknowledgements, as every peer understands.
  bool Selective() const { return FSelective; }
  void SetSelective(bool value);

  // Queues a message; nothing is sent until Poll. Returns false and queues nothing when the body is
  // larger than kMaxChannelBody (use PostBytes for long data).
  bool Post(std::uint8_t aKind, TByteView aPayload, bool aMore);
  // PostBytes of the UTF-8 text.
  void PostText(std::uint8_t aKind, std::string_view aText);
  // Posts the data in pieces of at most 1150 bytes, More set on all but the last; no data posts one
  // empty message.
  void PostBytes(std::uint8_t aKind, TByteView aData);

  // Messages posted and not yet acknowledged.
  int Backlog() const { return static_cast<int>(FOut.size()); }
  // Messages the channel may have unacknowledged at a time (64, or the selective window).
  std::size_t WindowMessages() const { return FSelective ? kSackWindow : kChannelWindow; }
  // The sequence number of the latest message posted (0 before the first).
  std::uint32_t LastPosted() const { return FNextSeq - 1; }
  // True when the other end has acknowledged every message up to ASeq.
  bool Acknowledged(std::uint32_t ASeq) const { return FOut.empty() || FOut.front().Seq > ASeq; }
  // What to send at ANow. Plain: every message among the oldest 64 unacknowledged ones that was never
  // sent or was last sent 300 ms ago or more. Selective: the missed messages, then new ones within the
  // window, as far as the pacer allows (with every message out and none missed, the pacer learns that
  // the channel is application-limited). Then the acknowledgement when one is due.
  std::vector<TBytes> Poll(TTick ANow);
  // A received message packet: returns the messages now deliverable, in order.
  std::vector<TChannelMsg> HandleMsg(TByteView data);
  // A received acknowledgement at ANow: drops the acknowledged messages (selective: marks the ones held
  // ahead of the gap and the ones missed).
  void HandleAck(TByteView data, TTick ANow = 0);

  std::uint32_t Delivered() const { return FDelivered; }
  std::size_t EarlyCount() const { return FEarly.size(); }
  std::size_t EarlyBytes() const { return FEarlyBytes; }
  const TRatePacer& Pacer() const { return FPacer; }

 private:
  static TChannelMsg Unpack(TByteView packet);
  std::vector<TBytes> PollSelective(TTick ANow);
  void Acked(TOutMsg& m, TTick ANow);

  std::deque<TOutMsg> FOut;
  std::uint32_t FNextSeq = 1;
  std::uint32_t FDelivered = 0;
  std::map<std::uint32_t, TBytes> FEarly;
  std::size_t FEarlyBytes = 0;
  bool FAckDue = false;
  bool FSelective = false;
  TRatePacer FPacer;
  std::uint64_t FSendCount = 0;      // transmissions so far
  std::uint64_t FHighestAcked = 0;   // the latest SentOrder acknowledged
};

}  // namespace tovik
