// Input transport: the event record, repetition until acknowledged, exactly-once in-order application,
// malformed packets, and delivery through a lossy pipe.
#include <gtest/gtest.h>

#include <cstdint>
#include <numeric>
#include <random>

#include "FramesTestUtil.h"
#include "LossyPipe.h"
#include "base/TovikClock.h"
#include "net/TovikFrames.h"

namespace tovik {
namespace {

using test::Ack;

// Events as the receiver applied them; the host takes at most Room of them per packet.
struct TApplied {
  std::vector<TInputEvent> Events;
  std::size_t Room = SIZE_MAX;
  TInputApplyProc Proc() {
    return [this, taken = std::size_t{0}](const TInputEvent& ev) mutable {
      if (taken == Room) return false;
      ++taken;
      Events.push_back(ev);
      return true;
    };
  }
};

TBytes InputPacket(std::initializer_list<TInputEvent> events, int count = -1) {
  TBytes p{pkInput, static_cast<std::uint8_t>(count < 0 ? events.size() : static_cast<std::size_t>(count))};
  for (const auto& ev : events) PutInputEvent(p, ev);
  return p;
}

TInputEvent Ev(std::uint32_t seq) { return TInputEvent{seq, 1, 10, 20, 0}; }

TEST(InputTest, EventRecordAndFirstPacket) {
  TInputSender s;
  EXPECT_TRUE(s.Packet().empty());
  s.Add(4, -2, 300, -120);
  const TBytes p = s.Packet();
  const TBytes want{pkInput, 1, 1, 0, 0, 0, 4, 0xFE, 0xFF, 0x2C, 0x01, 0x88, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(p, want);
  EXPECT_EQ(GetInputEvent(p.data() + 2), (TInputEvent{1, 4, -2, 300, -120}));
}

TEST(InputTest, SenderRepeatsUntilAcknowledged) {
  TInputSender s;
  for (int i = 0; i < 100; ++i) s.Add(1, static_cast<std::int16_t>(i), 0, 0);
  TBytes p = s.Packet();
  ASSERT_EQ(p.size(), 2u + 13u * 90u);
  EXPECT_EQ(p[1], 90);
  EXPECT_EQ(s.Packet(), p) << "Packet removes nothing";

  struct Step {
    TBytes ack;
    std::size_t pending;
  };
  const Step steps[] = {
      {Ack(pkInputAck, 0), 100},                 // smaller than the first pending: nothing
      {TBytes{pkInputAck, 90, 0, 0}, 100},       // too short
      {Ack(pkInputAck, 90), 10},
      {Ack(pkInputAck, 50), 10},                 // an older acknowledgement after a newer one
  };
  for (const auto& st : steps) {
    s.HandleAck(st.ack);
    EXPECT_EQ(s.PendingCount(), st.pending);
  }
  p = s.Packet();
  ASSERT_EQ(p[1], 10);
  EXPECT_EQ(GetU32LE(p.data() + 2), 91u);
  EXPECT_EQ(GetU32LE(p.data() + 2 + 13 * 9), 100u);
}

TEST(InputTest, ReceiverAppliesEachEventOnceInOrder) {
  struct Case {
    const char* name;
    std::vector<TBytes> packets;
    std::vector<std::uint32_t> applied;  // Seq of the events applied, in order
    std::vector<std::uint32_t> answers;  // the acknowledged number after each packet (-1: no answer)
    std::size_t room = SIZE_MAX;         // events the host takes per packet
  };
  const std::uint32_t none = 0xFFFFFFFF;
  // A packet with the events numbered 1..n (count n, or as given).
  auto numbered = [](std::size_t n, int count = -1) {
    TBytes p{pkInput, static_cast<std::uint8_t>(count < 0 ? n : static_cast<std::size_t>(count))};
    for (std::size_t i = 1; i <= n; ++i) PutInputEvent(p, Ev(static_cast<std::uint32_t>(i)));
    return p;
  };
  std::vector<std::uint32_t> upTo90(kMaxInputEvents);
  std::iota(upTo90.begin(), upTo90.end(), 1u);
  const Case cases[] = {
      {"the most a sender puts in a packet", {numbered(kMaxInputEvents)}, upTo90, {90}},
      {"more events than a sender puts in a packet", {numbered(kMaxInputEvents + 1)}, {}, {none}},
      {"count below the events held", {numbered(4, 3)}, {}, {none}},
      {"the host takes what it can; the sender repeats the rest",
       {InputPacket({Ev(1), Ev(2), Ev(3), Ev(4)}), InputPacket({Ev(1), Ev(2), Ev(3), Ev(4)}),
        InputPacket({Ev(3), Ev(4)})},
       {1, 2, 3, 4}, {2, 4, 4}, 2},
      {"the host takes nothing", {InputPacket({Ev(1), Ev(2)})}, {}, {0}, 0},
      {"same packet twice", {InputPacket({Ev(1), Ev(2), Ev(3)}), InputPacket({Ev(1), Ev(2), Ev(3)})},
       {1, 2, 3}, {3, 3}},
      {"gap first", {InputPacket({Ev(2), Ev(3)}), InputPacket({Ev(1), Ev(2), Ev(3)})}, {1, 2, 3}, {0, 3}},
      {"partly old", {InputPacket({Ev(1)}), InputPacket({Ev(1), Ev(2)})}, {1, 2}, {1, 2}},
      {"count above the events held", {[] {
         TBytes p = InputPacket({Ev(1), Ev(2), Ev(3), Ev(4)}, 5);
         return p;
       }()},
       {}, {none}},
      {"shorter than 2 bytes", {TBytes{pkInput}}, {}, {none}},
      {"another kind", {[] {
         TBytes p = InputPacket({Ev(1)});
         p[0] = pkInputAck;
         return p;
       }()},
       {}, {none}},
      {"no events still answers", {InputPacket({})}, {}, {0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TInputReceiver r;
    TApplied applied;
    applied.Room = c.room;
    std::vector<std::uint32_t> answers;
    for (const auto& p : c.packets) {
      const TBytes a = r.HandleInput(p, applied.Proc());
      if (a.empty()) {
        answers.push_back(none);
        continue;
      }
      ASSERT_EQ(a.size(), 5u);
      ASSERT_EQ(a[0], pkInputAck);
      answers.push_back(GetU32LE(a.data() + 1));
    }
    std::vector<std::uint32_t> seqs;
    for (const auto& ev : applied.Events) seqs.push_back(ev.Seq);
    EXPECT_EQ(seqs, c.applied);
    EXPECT_EQ(answers, c.answers);
  }
}

// The viewer sends after every Add and every 100 ms; the host answers every packet. Whatever the pipe
// does, the host applies exactly the events added, once each, in order.
TEST(InputTest, EveryEventAppliedOnceInOrderThroughALossyPipe) {
  const double losses[] = {0.0, 0.05, 0.20};
  for (double loss : losses) {
    SCOPED_TRACE(loss);
    TManualClock clock;
    test::TLossyPipe up({.DelayMs = 10, .JitterMs = 15, .Loss = loss, .Duplicate = 0.05, .Seed = 7});
    test::TLossyPipe down({.DelayMs = 10, .JitterMs = 15, .Loss = loss, .Duplicate = 0.05, .Seed = 8});
    TInputSender viewer;
    TInputReceiver host;
    TApplied applied;
    std::vector<TInputEvent> added;
    std::mt19937 rng(3);

    for (int ms = 0; ms < 30'000; ++ms) {
      if (ms < 20'000 && rng() % 4 == 0) {  // bursts of events, sometimes many per tick
        const int n = rng() % 10 == 0 ? 40 : 1;
        for (int i = 0; i < n; ++i) {
          const auto kind = static_cast<std::uint8_t>(1 + rng() % 6);
          const auto x = static_cast<std::int16_t>(rng());
          const auto y = static_cast<std::int16_t>(rng());
          const auto data = static_cast<std::int32_t>(rng());
          viewer.Add(kind, x, y, data);
          added.push_back(TInputEvent{static_cast<std::uint32_t>(added.size() + 1), kind, x, y, data});
        }
        up.Send(viewer.Packet());
      }
      if (ms % 100 == 0) {
        if (TBytes p = viewer.Packet(); !p.empty()) up.Send(std::move(p));
      }
      for (auto& p : up.Receive()) {
        TBytes ack = host.HandleInput(p, applied.Proc());
        ASSERT_FALSE(ack.empty());
        down.Send(std::move(ack));
      }
      for (auto& p : down.Receive()) viewer.HandleAck(p);
      clock.Advance(1);
    }
    EXPECT_EQ(applied.Events, added);
    EXPECT_EQ(viewer.PendingCount(), 0u);
  }
}

}  // namespace
}  // namespace tovik
