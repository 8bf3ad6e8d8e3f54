// Frame sender and receivers: chunking, the send window, probes, acknowledgements, reassembly,
// frame order, malformed packets and the receivers' byte budget.
#include <gtest/gtest.h>

#include <numeric>

#include "FramesTestUtil.h"
#include "net/TovikFrames.h"

namespace tovik {
namespace {

using test::Ack;
using test::Blob;
using test::Chunk;
using test::Nack;
using test::NackList;

// The transports read no clock: a test hands them its own now.
class FramesTest : public ::testing::Test {
 protected:
  TTick FNow = 1'000'000;
};

std::vector<std::uint16_t> Range(std::uint16_t from, std::uint16_t to) {  // [from, to)
  std::vector<std::uint16_t> v(to - from);
  std::iota(v.begin(), v.end(), from);
  return v;
}

// ---------------------------------------------------------------------------------------------------
// Sender

TEST_F(FramesTest, SenderCutsFramesIntoChunks) {
  struct Case {
    std::size_t size;
    bool legacy;
    std::vector<std::size_t> dataSizes;
  };
  const Case cases[] = {
      {2401, true, {1200, 1200, 1}}, {2401, false, {1200, 1200, 1}}, {1200, true, {1200}},
      {1201, false, {1200, 1}},      {0, true, {0}},                 {0, false, {0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.size << (c.legacy ? " legacy" : " windowed"));
    TFrameWindowSender s;
    s.SetLegacy(c.legacy);
    s.SetMaxInFlight(4);
    s.Start(Blob(7), FNow);  // frame 1, so that the frame under test is 2 with oldest 1
    const TBytes blob = Blob(c.size, 3);
    ASSERT_TRUE(s.Start(blob, FNow));
    auto packets = s.NextPackets(1000, FNow);
    const std::size_t header = c.legacy ? kChunkHeader : kWindowChunkHeader;
    packets.erase(packets.begin());  // frame 1's only chunk
    ASSERT_EQ(packets.size(), c.dataSizes.size());
    TBytes joined;
    for (std::size_t i = 0; i < packets.size(); ++i) {
      const TBytes& p = packets[i];
      ASSERT_EQ(p.size(), header + c.dataSizes[i]);
      EXPECT_EQ(p[0], c.legacy ? pkFrameChunk : pkWindowChunk);
      EXPECT_EQ(GetU32LE(p.data() + 1), 2u);
      EXPECT_EQ(GetU16LE(p.data() + 5), i);
      EXPECT_EQ(GetU16LE(p.data() + 7), c.dataSizes.size());
      if (!c.legacy) {
        EXPECT_EQ(GetU32LE(p.data() + 9), 1u) << "oldest frame still held";
      }
      joined.insert(joined.end(), p.begin() + static_cast<std::ptrdiff_t>(header), p.end());
    }
    EXPECT_EQ(joined, blob);
  }
}

TEST_F(FramesTest, SenderRefusesFramesTooLargeForTheChunkCount) {
  TFrameWindowSender s;
  const TBytes tooLarge(kMaxFrameBytes + 1);
  EXPECT_FALSE(s.Start(tooLarge, FNow));
  EXPECT_FALSE(s.InFlight());
  EXPECT_EQ(s.LastID(), 0u);
}

TEST_F(FramesTest, SenderWindowAndModes) {
  const std::pair<int, int> clamps[] = {{9, 4}, {0, 1}, {-3, 1}, {3, 3}, {4, 4}};
  for (auto [in, want] : clamps) {
    TFrameWindowSender s;
    s.SetMaxInFlight(in);
    EXPECT_EQ(s.MaxInFlight(), want) << in;
  }

  struct Case {
    bool legacy;
    int maxInFlight;
    int started;
    bool canStart;
  };
  const Case cases[] = {
      {true, 4, 0, true},  {true, 4, 1, false},  {false, 4, 3, true},
      {false, 4, 4, false}, {false, 1, 1, false}, {false, 2, 1, true},
  };
  for (const auto& c : cases) {
    TFrameWindowSender s;
    s.SetLegacy(c.legacy);
    s.SetMaxInFlight(c.maxInFlight);
    for (int i = 0; i < c.started; ++i) s.Start(Blob(10), FNow);
    EXPECT_EQ(s.CanStart(), c.canStart) << c.legacy << " " << c.maxInFlight << " " << c.started;
  }

  // A change of mode drops the frames in flight; setting the same mode again does not.
  TFrameWindowSender s;
  s.Start(Blob(10), FNow);
  s.SetLegacy(true);
  EXPECT_EQ(s.Count(), 1);
  s.SetLegacy(false);
  EXPECT_EQ(s.Count(), 0);
  s.Start(Blob(10), FNow);
  EXPECT_EQ(s.LastID(), 2u) << "IDs keep counting across a cancel";
}

TEST_F(FramesTest, SenderTakesAtMostAMaxOldestFirstAndProbesWhenQuiet) {
  TFrameWindowSender s;
  s.SetLegacy(false);
  s.SetMaxInFlight(4);
  s.Start(Blob(30 * 1200), FNow);  // frame 1: 30 chunks
  s.Start(Blob(30 * 1200), FNow);  // frame 2: 30 chunks
  EXPECT_EQ(s.OldestStarted(), FNow);

  auto first = s.NextPackets(40, FNow);
  ASSERT_EQ(first.size(), 40u);
  EXPECT_EQ(GetU32LE(first[29].data() + 1), 1u);
  EXPECT_EQ(GetU32LE(first[30].data() + 1), 2u);
  EXPECT_EQ(GetU16LE(first[39].data() + 5), 9u);
  auto second = s.NextPackets(40, FNow);
  ASSERT_EQ(second.size(), 20u);
  EXPECT_EQ(GetU16LE(second[0].data() + 5), 10u);

  // Everything sent: no probe before 150 ms of quiet, then the last chunk of each frame.
  FNow += 149;
  EXPECT_TRUE(s.NextPackets(40, FNow).empty());
  FNow += 1;
  auto probe = s.NextPackets(40, FNow);
  ASSERT_EQ(probe.size(), 2u);
  for (std::uint32_t i = 0; i < 2; ++i) {
    EXPECT_EQ(GetU32LE(probe[i].data() + 1), i + 1);
    EXPECT_EQ(GetU16LE(probe[i].data() + 5), 29u);
    EXPECT_EQ(GetU32LE(probe[i].data() + 9), 1u);
  }
  EXPECT_TRUE(s.NextPackets(40, FNow).empty()) << "a probe restarts the quiet time";

  // Once frame 1 is acknowledged, frame 2's copies carry oldest 2.
  std::uint32_t ms = 0;
  FNow += 40;
  EXPECT_TRUE(s.HandleAck(Ack(pkFrameAck, 1), ms, FNow));
  EXPECT_EQ(ms, 190u);
  s.HandleNack(Nack(2, {0}));
  auto resent = s.NextPackets(40, FNow);
  ASSERT_EQ(resent.size(), 1u);
  EXPECT_EQ(GetU32LE(resent[0].data() + 9), 2u);
}

TEST_F(FramesTest, SenderAcknowledgements) {
  TFrameWindowSender s;
  s.SetLegacy(false);
  s.SetMaxInFlight(4);
  for (int i = 0; i < 3; ++i) s.Start(Blob(100), FNow);
  FNow += 25;

  std::uint32_t ms = 99;
  EXPECT_FALSE(s.HandleAck(TBytes{pkFrameAck, 2, 0, 0}, ms, FNow)) << "4 bytes are too short";
  EXPECT_FALSE(s.HandleAck(Ack(pkFrameAck, 7), ms, FNow)) << "not in flight";
  EXPECT_FALSE(s.HandleAck(Ack(pkFrameNack, 2), ms, FNow)) << "another kind";
  EXPECT_EQ(ms, 99u);
  EXPECT_TRUE(s.HandleAck(Ack(pkFrameAck, 2), ms, FNow));
  EXPECT_EQ(ms, 25u);
  EXPECT_EQ(s.Count(), 2) << "only the acknowledged frame leaves";
  EXPECT_FALSE(s.HandleAck(Ack(pkFrameAck, 2), ms, FNow)) << "a repeated acknowledgement completes nothing";
  s.Cancel();
  EXPECT_FALSE(s.InFlight());
  EXPECT_EQ(s.OldestStarted(), 0u);
}

TEST_F(FramesTest, SenderNegativeAcknowledgements) {
  struct Case {
    const char* name;
    TBytes nack;
    std::vector<std::uint16_t> queued;  // what the next NextPackets resends
  };
  TBytes cut = Nack(1, {2, 3});
  cut.pop_back();
  const Case cases[] = {
      {"only existing indices, as listed", Nack(1, {2, 7, 0}), {2, 0}},
      {"empty list empties the queue", Nack(1, {}), {}},
      {"shorter than its count", cut, Range(0, 5)},
      {"shorter than 7 bytes", TBytes{pkFrameNack, 1, 0, 0, 0, 1}, Range(0, 5)},
      {"frame not in flight", Nack(9, {1}), Range(0, 5)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TFrameWindowSender s;
    s.Start(Blob(5 * 1200), FNow);
    s.HandleNack(c.nack);
    std::vector<std::uint16_t> sent;
    for (const auto& p : s.NextPackets(40, FNow)) sent.push_back(GetU16LE(p.data() + 5));
    if (c.queued.empty()) EXPECT_EQ(sent, std::vector<std::uint16_t>{4}) << "nothing queued: probe";
    else EXPECT_EQ(sent, c.queued);
  }
}

// ---------------------------------------------------------------------------------------------------
// Single-frame receiver

TEST_F(FramesTest, ReceiverAsksForMissingChunksAfterQuiet) {
  TFrameReceiver r;
  const TBytes blob = Blob(2500);
  TBytes out, reply;
  EXPECT_FALSE(r.HandleChunk(Chunk(pkFrameChunk, 1, 0, 3, TByteView(blob).subspan(0, 1200)), out, reply, FNow));
  EXPECT_TRUE(reply.empty());
  EXPECT_FALSE(r.PendingNack(reply, 20, FNow)) << "no quiet yet";
  EXPECT_TRUE(r.PendingNack(reply, 0, FNow)) << "0 means at once";
  EXPECT_EQ(NackList(reply, 1), (std::vector<std::uint16_t>{1, 2}));

  FNow += 5;
  r.HandleChunk(Chunk(pkFrameChunk, 1, 2, 3, TByteView(blob).subspan(2400)), out, reply, FNow);
  EXPECT_EQ(NackList(reply, 1), std::vector<std::uint16_t>{1}) << "the last chunk asks at once";
  FNow += 19;
  EXPECT_FALSE(r.PendingNack(reply, 20, FNow));
  FNow += 1;
  ASSERT_TRUE(r.PendingNack(reply, 20, FNow));
  EXPECT_EQ(NackList(reply, 1), std::vector<std::uint16_t>{1});
  FNow += 19;
  EXPECT_FALSE(r.PendingNack(reply, 20, FNow)) << "not again before 20 ms after the last one";

  r.HandleChunk(Chunk(pkFrameChunk, 1, 2, 3, TByteView(blob).subspan(2400)), out, reply, FNow);
  EXPECT_EQ(NackList(reply, 1), std::vector<std::uint16_t>{1}) << "a duplicate asks too";

  ASSERT_TRUE(r.HandleChunk(Chunk(pkFrameChunk, 1, 1, 3, TByteView(blob).subspan(1200, 1200)), out, reply, FNow));
  EXPECT_EQ(out, blob);
  EXPECT_EQ(reply, Ack(pkFrameAck, 1));
  EXPECT_FALSE(r.PendingNack(reply, 0, FNow)) << "nothing partly received";
  EXPECT_EQ(r.HeldBytes(), 0u);

  // A late chunk of the completed frame repeats the acknowledgement.
  EXPECT_FALSE(r.HandleChunk(Chunk(pkFrameChunk, 1, 0, 3, TByteView(blob).subspan(0, 1200)), out, reply, FNow));
  EXPECT_EQ(reply, Ack(pkFrameAck, 1));
}

TEST_F(FramesTest, ReceiverFollowsNewerFramesAndIgnoresOlderOnes) {
  TFrameReceiver r;
  TBytes out, reply;
  r.HandleChunk(Chunk(pkFrameChunk, 5, 0, 2, Blob(1200)), out, reply, FNow);
  // Frame 6 replaces the unfinished frame 5.
  ASSERT_TRUE(r.HandleChunk(Chunk(pkFrameChunk, 6, 0, 1, Blob(3)), out, reply, FNow));
  EXPECT_EQ(out, Blob(3));
  // Frame 5 is older than the frame last seen: nothing, not even a reply.
  EXPECT_FALSE(r.HandleChunk(Chunk(pkFrameChunk, 5, 1, 2, Blob(10)), out, reply, FNow));
  EXPECT_TRUE(reply.empty());
  // An empty frame is one chunk without data.
  ASSERT_TRUE(r.HandleChunk(Chunk(pkFrameChunk, 7, 0, 1, {}), out, reply, FNow));
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(reply, Ack(pkFrameAck, 7));
}

TEST_F(FramesTest, ReceiversDropMalformedChunks) {
  struct Case {
    const char* name;
    TBytes single;
    TBytes windowed;
  };
  TBytes shortSingle = Chunk(pkFrameChunk, 1, 0, 1, {});
  shortSingle.pop_back();
  TBytes shortWindowed = Chunk(pkWindowChunk, 1, 0, 1, {}, 1);
  shortWindowed.pop_back();
  const Case cases[] = {
      {"header cut short", shortSingle, shortWindowed},
      {"chunk count 0", Chunk(pkFrameChunk, 1, 0, 0, Blob(5)), Chunk(pkWindowChunk, 1, 0, 0, Blob(5), 1)},
      {"index not below count", Chunk(pkFrameChunk, 1, 2, 2, Blob(5)),
       Chunk(pkWindowChunk, 1, 2, 2, Blob(5), 1)},
      {"more than 1200 data bytes", Chunk(pkFrameChunk, 1, 0, 1, Blob(1201)),
       Chunk(pkWindowChunk, 1, 0, 1, Blob(1201), 1)},
      {"a chunk before the last not full", Chunk(pkFrameChunk, 1, 0, 2, Blob(1199)),
       Chunk(pkWindowChunk, 1, 0, 2, Blob(1199), 1)},
      {"other kind", Chunk(pkWindowChunk, 1, 0, 1, Blob(5), 1), Chunk(pkFrameChunk, 1, 0, 1, Blob(5))},
      {"frame below the oldest", {}, Chunk(pkWindowChunk, 1, 0, 1, Blob(5), 2)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TBytes out, reply;
    if (!c.single.empty()) {
      TFrameReceiver r;
      EXPECT_FALSE(r.HandleChunk(c.single, out, reply, FNow));
      EXPECT_TRUE(reply.empty());
      EXPECT_FALSE(r.PendingNack(reply, 0, FNow));
      // The receiver is untouched: frame 1 is still new to it.
      EXPECT_TRUE(r.HandleChunk(Chunk(pkFrameChunk, 1, 0, 1, Blob(5)), out, reply, FNow));
    }
    TFrameWindowReceiver w;
    EXPECT_TRUE(w.HandleChunk(c.windowed, reply, FNow).empty());
    EXPECT_TRUE(reply.empty());
    EXPECT_EQ(w.FrameCount(), 0u);
    EXPECT_EQ(w.Next(), 0u) << "the window does not move";
  }
}

// ---------------------------------------------------------------------------------------------------
// Windowed receiver

TEST_F(FramesTest, WindowReceiverDeliversInFrameOrder) {
  TFrameWindowReceiver r;
  TBytes reply;
  // Frame 5 starts but stays unfinished; frame 6 completes first.
  EXPECT_TRUE(r.HandleChunk(Chunk(pkWindowChunk, 5, 0, 2, Blob(1200, 5), 5), reply, FNow).empty());
  EXPECT_TRUE(r.HandleChunk(Chunk(pkWindowChunk, 6, 0, 1, Blob(9, 6), 5), reply, FNow).empty());
  EXPECT_EQ(reply, Ack(pkFrameAck, 6)) << "acknowledged at once, delivered later";
  r.HandleChunk(Chunk(pkWindowChunk, 6, 0, 1, Blob(9, 6), 5), reply, FNow);
  EXPECT_EQ(reply, Ack(pkFrameAck, 6)) << "a complete frame repeats its acknowledgement";

  auto frames = r.HandleChunk(Chunk(pkWindowChunk, 5, 1, 2, Blob(7, 55), 5), reply, FNow);
  EXPECT_EQ(reply, Ack(pkFrameAck, 5));
  TBytes five = Blob(1200, 5);
  Append(five, Blob(7, 55));
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0], five);
  EXPECT_EQ(frames[1], Blob(9, 6));
  EXPECT_EQ(r.Next(), 7u);
  EXPECT_EQ(r.HeldBytes(), 0u);

  // A chunk of a frame already delivered is acknowledged again.
  EXPECT_TRUE(r.HandleChunk(Chunk(pkWindowChunk, 5, 0, 2, Blob(1200, 5), 5), reply, FNow).empty());
  EXPECT_EQ(reply, Ack(pkFrameAck, 5));
}

TEST_F(FramesTest, WindowReceiverFollowsTheOldestFrameStillHeld) {
  TFrameWindowReceiver r;
  TBytes reply;
  r.HandleChunk(Chunk(pkWindowChunk, 7, 0, 2, Blob(1200), 7), reply, FNow);
  r.HandleChunk(Chunk(pkWindowChunk, 8, 0, 2, Blob(1200), 7), reply, FNow);
  r.HandleChunk(Chunk(pkWindowChunk, 10, 0, 1, Blob(4, 10), 7), reply, FNow);
  EXPECT_EQ(r.FrameCount(), 3u);

  // The host gave up 7 and 8: they are dropped and delivery continues from 9.
  auto frames = r.HandleChunk(Chunk(pkWindowChunk, 9, 0, 1, Blob(3, 9), 9), reply, FNow);
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0], Blob(3, 9));
  EXPECT_EQ(frames[1], Blob(4, 10));
  EXPECT_EQ(r.Next(), 11u);
  EXPECT_EQ(r.FrameCount(), 0u);
  EXPECT_EQ(r.HeldBytes(), 0u);

  // More than 64 frames ahead is ignored; 64 ahead is taken.
  EXPECT_TRUE(r.HandleChunk(Chunk(pkWindowChunk, 11 + 65, 0, 2, Blob(1200), 11), reply, FNow).empty());
  EXPECT_TRUE(reply.empty());
  EXPECT_EQ(r.FrameCount(), 0u);
  r.HandleChunk(Chunk(pkWindowChunk, 11 + 64, 0, 2, Blob(1200), 11), reply, FNow);
  EXPECT_EQ(r.FrameCount(), 1u);

  // A chunk whose count differs from the frame's is ignored.
  r.HandleChunk(Chunk(pkWindowChunk, 11 + 64, 1, 3, Blob(1200), 11), reply, FNow);
  EXPECT_TRUE(reply.empty());
}

TEST_F(FramesTest, WindowReceiverListsAtMost500MissingChunks) {
  TFrameWindowReceiver r;
  TBytes reply;
  const std::uint16_t count = 1200;
  r.HandleChunk(Chunk(pkWindowChunk, 1, count - 1, count, Blob(10), 1), reply, FNow);
  EXPECT_EQ(NackList(reply, 1), Range(0, 500)) << "the last chunk asks at once, for the first 500";
  EXPECT_TRUE(r.PendingNacks(20, FNow).empty()) << "just asked";
  for (std::uint16_t i = 0; i < 500; ++i) r.HandleChunk(Chunk(pkWindowChunk, 1, i, count, Blob(1200), 1), reply, FNow);
  FNow += 19;
  EXPECT_TRUE(r.PendingNacks(20, FNow).empty());
  FNow += 1;
  auto nacks = r.PendingNacks(20, FNow);
  ASSERT_EQ(nacks.size(), 1u);
  EXPECT_EQ(NackList(nacks[0], 1), Range(500, 1000));
  EXPECT_TRUE(r.PendingNacks(0, FNow).size() == 1) << "0 means at once";
}

// Nothing a peer sends makes a receiver hold more than its budget, whatever chunk counts it announces;
// the oldest unfinished frames go first, complete frames waiting for delivery stay.
TEST_F(FramesTest, WindowReceiverStaysWithinItsBudget) {
  const std::size_t budget = 8u * 1024u * 1024u;  // room for three frames of 2000 chunks
  TFrameWindowReceiver r(budget);
  TBytes reply;
  // Frame 2 complete, waiting for frame 1.
  r.HandleChunk(Chunk(pkWindowChunk, 2, 0, 1, Blob(100, 2), 1), reply, FNow);
  for (std::uint32_t id = 1; id <= 60; ++id) {
    if (id == 2) continue;
    r.HandleChunk(Chunk(pkWindowChunk, id, 0, 2000, Blob(1200), 1), reply, FNow);
    ASSERT_LE(r.HeldBytes(), budget);
  }
  EXPECT_EQ(r.FrameCount(), 4u);
  EXPECT_EQ(r.Evicted(), 59u - 3u);
  // Frame 1 (the oldest unfinished) went first; the complete frame 2 stayed and follows frame 1 once it
  // arrives again, whole this time.
  auto frames = r.HandleChunk(Chunk(pkWindowChunk, 1, 0, 1, Blob(1), 1), reply, FNow);
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0], Blob(1));
  EXPECT_EQ(frames[1], Blob(100, 2));
  EXPECT_EQ(r.Next(), 3u);

  // A frame whose count alone asks for more than the budget is not taken at all.
  TFrameWindowReceiver small(64 * 1024);
  EXPECT_TRUE(small.HandleChunk(Chunk(pkWindowChunk, 1, 0, 65535, Blob(1200), 1), reply, FNow).empty());
  EXPECT_TRUE(reply.empty());
  EXPECT_EQ(small.FrameCount(), 0u);
  EXPECT_EQ(small.HeldBytes(), 0u);
}

TEST_F(FramesTest, ReceiverStaysWithinItsBudget) {
  const std::size_t budget = 64 * 1024;
  TFrameReceiver r(budget);
  TBytes out, reply;
  for (std::uint16_t i = 0; i < 100; ++i) {
    EXPECT_FALSE(r.HandleChunk(Chunk(pkFrameChunk, 1, i, 100, Blob(1200)), out, reply, FNow));
    EXPECT_TRUE(reply.empty());
    ASSERT_EQ(r.HeldBytes(), 0u);
  }
  EXPECT_FALSE(r.PendingNack(reply, 0, FNow)) << "the frame was not taken";
  EXPECT_TRUE(r.HandleChunk(Chunk(pkFrameChunk, 3, 0, 1, Blob(50)), out, reply, FNow));
  EXPECT_EQ(out, Blob(50));
}

}  // namespace
}  // namespace tovik
