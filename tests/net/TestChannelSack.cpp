// Message channel with selective acknowledgements: the acknowledgement's wire form and its checks,
// the blocks a receiver reports, what a sender resends and when, the receiver's bounds, and a plain
// channel keeping the old wire form byte for byte.
#include <gtest/gtest.h>

#include <vector>

#include "FramesTestUtil.h"
#include "net/TovikFrames.h"

namespace tovik {
namespace {

using test::Ack;
using test::Blob;

using TBlocks = std::vector<std::pair<std::uint32_t, std::uint16_t>>;

TBytes SackPacket(std::uint32_t cum, const TBlocks& blocks, int countByte = -1) {
  TBytes p{pkChannelAck};
  PutU32LE(p, cum);
  p.push_back(static_cast<std::uint8_t>(countByte >= 0 ? countByte : static_cast<int>(blocks.size())));
  for (auto [first, count] : blocks) {
    PutU32LE(p, first);
    PutU16LE(p, count);
  }
  return p;
}

TBlocks BlocksOf(const TChannelAck& a) {
  TBlocks out;
  for (auto b : a.Blocks) out.emplace_back(b.First, b.Count);
  return out;
}

std::vector<std::uint32_t> MsgSeqs(const std::vector<TBytes>& packets) {
  std::vector<std::uint32_t> out;
  for (const auto& p : packets)
    if (p[0] == pkChannelMsg) out.push_back(GetU32LE(p.data() + 1));
  return out;
}

const TBytes* AckIn(const std::vector<TBytes>& packets) {
  for (const auto& p : packets)
    if (p[0] == pkChannelAck) return &p;
  return nullptr;
}

TEST(ChannelSack, ParseChecksEveryBlock) {
  TBlocks seventeen;
  for (std::uint32_t i = 0; i < 17; ++i) seventeen.emplace_back(12 + 3 * i, 1);
  struct Case {
    const char* name;
    TBytes packet;
    bool ok;
    TBlocks blocks;  // what is accepted; the cumulative number is always 10 when ok
  };
  TBytes trailing = SackPacket(10, {{12, 2}});
  trailing.push_back(0);
  const Case cases[] = {
      {"plain", Ack(pkChannelAck, 10), true, {}},
      {"no blocks", SackPacket(10, {}), true, {}},
      {"two blocks", SackPacket(10, {{12, 2}, {15, 1}}), true, {{12, 2}, {15, 1}}},
      {"too short", TBytes{pkChannelAck, 10, 0, 0}, false, {}},
      {"another kind", Ack(pkChannelMsg, 10), false, {}},
      {"count says more than present", SackPacket(10, {{12, 2}}, 2), true, {}},
      {"trailing byte", trailing, true, {}},
      {"more than 16 blocks", SackPacket(10, seventeen), true, {}},
      {"block at the gap itself", SackPacket(10, {{11, 2}}), true, {}},
      {"block below the cumulative number", SackPacket(10, {{5, 2}}), true, {}},
      {"empty block", SackPacket(10, {{12, 0}}), true, {}},
      {"touching blocks", SackPacket(10, {{12, 2}, {14, 1}}), true, {}},
      {"overlapping blocks", SackPacket(10, {{12, 4}, {13, 1}}), true, {}},
      {"descending blocks", SackPacket(10, {{20, 1}, {12, 1}}), true, {}},
      {"beyond the window", SackPacket(10, {{12, 0xFFFF}}), true, {}},
      {"wrapping sequence numbers", SackPacket(10, {{0xFFFFFFF0u, 100}}), true, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TChannelAck a;
    ASSERT_EQ(ParseChannelAck(c.packet, a), c.ok);
    if (!c.ok) continue;
    EXPECT_EQ(a.Cumulative, 10u);
    EXPECT_EQ(BlocksOf(a), c.blocks);
  }
}

TEST(ChannelSack, ReceiverReportsWhatItHoldsAheadOfTheGap) {
  TMsgChannel tx, rx;
  rx.SetSelective(true);
  for (int i = 0; i < 40; ++i) tx.Post(1, Blob(8, static_cast<std::uint32_t>(i)), false);
  auto all = tx.Poll(1000);
  ASSERT_EQ(all.size(), 40u);
  // 1 arrives, then 3, 4, 6, a duplicate of 4 and 7 out of order before 6... and 40 runs of one.
  for (int i : {0, 3, 2, 5, 3, 6}) rx.HandleMsg(all[static_cast<std::size_t>(i)]);
  auto out = rx.Poll(1000);
  const TBytes* ack = AckIn(out);
  ASSERT_NE(ack, nullptr);
  TChannelAck a;
  ASSERT_TRUE(ParseChannelAck(*ack, a));
  EXPECT_EQ(a.Cumulative, 1u);
  EXPECT_EQ(BlocksOf(a), (TBlocks{{3, 2}, {6, 2}}));
  EXPECT_TRUE(rx.Poll(1010).empty()) << "nothing new: no acknowledgement";

  // Every other message from 10 on: more runs than one acknowledgement carries; the lowest are sent.
  for (std::size_t i = 9; i < 40; i += 2) rx.HandleMsg(all[i]);
  ASSERT_TRUE(ParseChannelAck(*AckIn(rx.Poll(1020)), a));
  EXPECT_EQ(a.Blocks.size(), kMaxSackBlocks);
  EXPECT_EQ(a.Blocks.front().First, 3u);
  // The gaps up to 8 filled: everything up to 8 is delivered, 9 is still missing.
  for (int i : {1, 4, 7}) rx.HandleMsg(all[static_cast<std::size_t>(i)]);
  EXPECT_EQ(rx.Delivered(), 8u);
  ASSERT_TRUE(ParseChannelAck(*AckIn(rx.Poll(1030)), a));
  EXPECT_EQ(a.Cumulative, 8u);
  EXPECT_EQ(a.Blocks.front().First, 10u);
}

TEST(ChannelSack, SenderResendsOnlyWhatIsMissing) {
  TMsgChannel tx;
  tx.SetSelective(true);
  for (int i = 0; i < 10; ++i) tx.Post(1, Blob(100, static_cast<std::uint32_t>(i)), false);
  TTick now = 1000;
  ASSERT_EQ(MsgSeqs(tx.Poll(now)).size(), 10u);
  now += 20;
  // 2 and 5 are missing; 3, 4 and 6..10 arrived. Duplicated and reordered acknowledgements change
  // nothing more.
  tx.HandleAck(SackPacket(1, {{3, 2}, {6, 5}}), now);
  tx.HandleAck(SackPacket(1, {{3, 2}, {6, 5}}), now);
  tx.HandleAck(Ack(pkChannelAck, 0), now);
  EXPECT_EQ(tx.Backlog(), 9);
  EXPECT_EQ(MsgSeqs(tx.Poll(now)), (std::vector<std::uint32_t>{2, 5})) << "resent at once, before any time-out";
  EXPECT_TRUE(MsgSeqs(tx.Poll(now + 5)).empty()) << "held ones are not sent again";
  tx.HandleAck(SackPacket(5, {{6, 5}}), now + 25);
  EXPECT_EQ(tx.Backlog(), 5) << "the cumulative number drops messages from the front";
  tx.HandleAck(Ack(pkChannelAck, 10), now + 30);
  EXPECT_EQ(tx.Backlog(), 0);
}

TEST(ChannelSack, ResendTimeOutFollowsTheRoundTrip) {
  TMsgChannel tx;
  tx.SetSelective(true);
  TTick now = 1000;
  // Before any sample: the old 300 ms.
  tx.Post(1, Blob(10), false);
  ASSERT_EQ(MsgSeqs(tx.Poll(now)).size(), 1u);
  EXPECT_TRUE(MsgSeqs(tx.Poll(now + 299)).empty());
  EXPECT_EQ(MsgSeqs(tx.Poll(now + 300)).size(), 1u);
  now += 300;
  tx.HandleAck(Ack(pkChannelAck, 1), now + 20);  // a resent message gives no sample
  EXPECT_FALSE(tx.Pacer().Rtt().HasSample());
  // Round trips of 20 ms: a lost message goes again after about 60 ms, not 300.
  now += 100;
  for (std::uint32_t seq = 2; seq < 12; ++seq) {
    tx.Post(1, Blob(10), false);
    ASSERT_EQ(MsgSeqs(tx.Poll(now)), (std::vector<std::uint32_t>{seq}));
    tx.HandleAck(Ack(pkChannelAck, seq), now + 20);
    now += 30;
  }
  const TTick rto = tx.Pacer().Rtt().Rto();
  EXPECT_GE(rto, kRtoFloorMs);
  EXPECT_LE(rto, 60u);
  tx.Post(1, Blob(10), false);
  ASSERT_EQ(MsgSeqs(tx.Poll(now)).size(), 1u);
  EXPECT_TRUE(MsgSeqs(tx.Poll(now + rto - 1)).empty());
  EXPECT_EQ(MsgSeqs(tx.Poll(now + rto)).size(), 1u);
  EXPECT_TRUE(MsgSeqs(tx.Poll(now + 2 * rto)).empty()) << "backed off: twice the time-out";
  EXPECT_EQ(MsgSeqs(tx.Poll(now + 3 * rto)).size(), 1u);
}

TEST(ChannelSack, WindowAndEarlyBufferAreBounded) {
  // Sender: at most kSackWindow messages and kSackWindowBytes unacknowledged on the wire.
  TMsgChannel tx;
  tx.SetSelective(true);
  for (int i = 0; i < 3000; ++i) tx.Post(1, Blob(10), false);
  std::uint32_t first = 0;
  for (TTick t = 1000; t < 3000; t += 10)
    for (auto s : MsgSeqs(tx.Poll(t))) first = std::max(first, s);
  EXPECT_EQ(first, kSackWindow) << "nothing past the window while nothing is acknowledged";
  TMsgChannel big;
  big.SetSelective(true);
  for (int i = 0; i < 100; ++i) big.Post(1, Blob(60'000), false);
  std::uint32_t highest = 0;
  for (TTick t = 1000; t < 3000; t += 10)
    for (auto s : MsgSeqs(big.Poll(t))) highest = std::max(highest, s);
  EXPECT_LE(highest * 60'000u, kSackWindowBytes + 60'000u);

  // Receiver: nothing kept beyond the window, nor beyond its byte budget.
  TMsgChannel rx;
  rx.SetSelective(true);
  auto msg = [](std::uint32_t seq, std::size_t size) {
    TBytes p{pkChannelMsg};
    PutU32LE(p, seq);
    p.push_back(1);
    p.push_back(0);
    Append(p, Blob(size));
    return p;
  };
  rx.HandleMsg(msg(kSackWindow + 2, 10));
  EXPECT_EQ(rx.EarlyCount(), 0u) << "further ahead than the window";
  for (std::uint32_t s = 2; s < 200; ++s) rx.HandleMsg(msg(s, 60'000));
  EXPECT_LE(rx.EarlyBytes(), kSackEarlyBytes);
  EXPECT_GT(rx.EarlyCount(), 10u);
  rx.HandleMsg(msg(1, 10));
  EXPECT_EQ(rx.EarlyBytes(), 0u) << "delivered ones leave the budget";
}

TEST(ChannelSack, PlainChannelKeepsTheOldWireForm) {
  // A peer without the selective transport: 5-byte acknowledgements even with messages held early,
  // a window of 64 and resends every 300 ms, whatever the other end's acknowledgements carry.
  TMsgChannel tx, rx;
  for (int i = 0; i < 70; ++i) tx.Post(1, Blob(4, static_cast<std::uint32_t>(i)), false);
  auto all = tx.Poll(1000);
  EXPECT_EQ(all.size(), 64u);
  rx.HandleMsg(all[0]);
  rx.HandleMsg(all[2]);
  rx.HandleMsg(all[3]);
  auto out = rx.Poll(1000);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0], Ack(pkChannelAck, 1)) << "exactly 5 bytes";
  tx.HandleAck(SackPacket(1, {{3, 2}}), 1020);  // what a selective peer would send
  EXPECT_EQ(tx.Backlog(), 69);
  EXPECT_EQ(MsgSeqs(tx.Poll(1299)), (std::vector<std::uint32_t>{65})) << "the window moved by one; no resend";
  auto again = MsgSeqs(tx.Poll(1300));
  EXPECT_EQ(again.size(), 63u) << "every unacknowledged one in the window after 300 ms";
  EXPECT_EQ(again.front(), 2u);
}

}  // namespace
}  // namespace tovik
