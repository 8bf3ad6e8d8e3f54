// Message channel: posting and pieces, retransmission, in-order delivery, acknowledgements, the
// early-message buffer, malformed packets, and a lossy pipe carrying messages and 5 MB of data.
#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <random>

#include "FramesTestUtil.h"
#include "LossyPipe.h"
#include "base/TovikClock.h"
#include "net/TovikFrames.h"

namespace tovik {
namespace {

using test::Ack;
using test::Blob;

class ChannelTest : public ::testing::Test {
 protected:
  TManualClock FClock;
};

std::uint32_t SeqOf(const TBytes& p) { return GetU32LE(p.data() + 1); }

// The message packets of a poll by sequence number, leaving out acknowledgements.
std::vector<std::uint32_t> Seqs(const std::vector<TBytes>& packets) {
  std::vector<std::uint32_t> out;
  for (const auto& p : packets)
    if (p[0] == pkChannelMsg) out.push_back(SeqOf(p));
  return out;
}

TEST_F(ChannelTest, PollSendsNewMessagesAndRepeatsThemEvery300ms) {
  TMsgChannel c;
  for (std::uint8_t k = 1; k <= 3; ++k) c.Post(k, Blob(k), false);
  auto first = c.Poll(FClock.Now());
  ASSERT_EQ(Seqs(first), (std::vector<std::uint32_t>{1, 2, 3}));
  EXPECT_EQ(first.size(), 3u) << "no acknowledgement due";
  const TBytes want{pkChannelMsg, 2, 0, 0, 0, 2, 0};
  EXPECT_EQ(TBytes(first[1].begin(), first[1].begin() + 7), want);
  EXPECT_EQ(TBytes(first[1].begin() + 7, first[1].end()), Blob(2));

  FClock.Advance(299);
  EXPECT_TRUE(c.Poll(FClock.Now()).empty());
  FClock.Advance(1);
  EXPECT_EQ(c.Poll(FClock.Now()), first);

  // Acknowledgements are cumulative; an older one after a newer one changes nothing.
  for (int i = 0; i < 3; ++i) c.Post(9, {}, false);
  struct Step {
    TBytes ack;
    int backlog;
  };
  const Step steps[] = {{Ack(pkChannelAck, 5), 1},
                        {Ack(pkChannelAck, 3), 1},
                        {TBytes{pkChannelAck, 6, 0, 0}, 1},  // too short
                        {Ack(pkChannelMsg, 6), 1},           // another kind
                        {Ack(pkChannelAck, 6), 0}};
  for (const auto& st : steps) {
    c.HandleAck(st.ack);
    EXPECT_EQ(c.Backlog(), st.backlog);
  }
}

TEST_F(ChannelTest, OnlyTheOldest64AreSent) {
  TMsgChannel c;
  for (int i = 0; i < 70; ++i) c.Post(1, Blob(10), false);
  auto sent = Seqs(c.Poll(FClock.Now()));
  ASSERT_EQ(sent.size(), 64u);
  EXPECT_EQ(sent.back(), 64u);
  c.HandleAck(Ack(pkChannelAck, 2));
  EXPECT_EQ(Seqs(c.Poll(FClock.Now())), (std::vector<std::uint32_t>{65, 66})) << "the window moves on";
}

TEST_F(ChannelTest, PostBytesCutsPieces) {
  struct Case {
    std::size_t size;
    std::vector<std::pair<std::size_t, bool>> pieces;  // body size, More
  };
  const Case cases[] = {
      {2500, {{1150, true}, {1150, true}, {200, false}}},
      {1150, {{1150, false}}},
      {1151, {{1150, true}, {1, false}}},
      {0, {{0, false}}},
  };
  for (const auto& cs : cases) {
    SCOPED_TRACE(cs.size);
    TMsgChannel tx, rx;
    const TBytes data = Blob(cs.size);
    tx.PostBytes(42, data);
    std::vector<TChannelMsg> got;
    for (const auto& p : tx.Poll(FClock.Now()))
      for (auto& m : rx.HandleMsg(p)) got.push_back(std::move(m));
    ASSERT_EQ(got.size(), cs.pieces.size());
    TBytes joined;
    for (std::size_t i = 0; i < got.size(); ++i) {
      EXPECT_EQ(got[i].Kind, 42);
      EXPECT_EQ(got[i].Data.size(), cs.pieces[i].first);
      EXPECT_EQ(got[i].More, cs.pieces[i].second);
      Append(joined, got[i].Data);
    }
    EXPECT_EQ(joined, data);
  }

  TMsgChannel t;
  t.PostText(7, "h\xC3\xA9llo");
  auto p = t.Poll(FClock.Now());
  ASSERT_EQ(p.size(), 1u);
  EXPECT_EQ(StringOf(TByteView(p[0]).subspan(7)), "h\xC3\xA9llo");
}

TEST_F(ChannelTest, PostRefusesBodiesThePeerLinkCannotCarry) {
  TMsgChannel c;
  EXPECT_FALSE(c.Post(1, TBytes(kMaxChannelBody + 1), false));
  EXPECT_EQ(c.Backlog(), 0);
  ASSERT_TRUE(c.Post(1, TBytes(kMaxChannelBody), false));
  EXPECT_EQ(c.Poll(FClock.Now())[0].size(), kMaxPeerPayload);
}

TEST_F(ChannelTest, ReceiverDeliversInOrderOnceAndAcknowledges) {
  TMsgChannel tx, rx;
  for (std::uint8_t k = 1; k <= 3; ++k) tx.Post(k, Blob(k), k == 1);
  auto packets = tx.Poll(FClock.Now());

  EXPECT_TRUE(rx.HandleMsg(packets[1]).empty()) << "2 waits for 1";
  EXPECT_EQ(rx.EarlyCount(), 1u);
  auto got = rx.HandleMsg(packets[0]);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].Kind, 1);
  EXPECT_TRUE(got[0].More);
  EXPECT_EQ(got[0].Data, Blob(1));
  EXPECT_EQ(got[1].Kind, 2);
  EXPECT_FALSE(got[1].More);
  EXPECT_EQ(rx.Poll(FClock.Now()), std::vector<TBytes>{Ack(pkChannelAck, 2)});
  EXPECT_TRUE(rx.Poll(FClock.Now()).empty()) << "one acknowledgement per poll after a message";

  // A duplicate is not delivered again but is acknowledged again.
  EXPECT_TRUE(rx.HandleMsg(packets[0]).empty());
  EXPECT_EQ(rx.Poll(FClock.Now()), std::vector<TBytes>{Ack(pkChannelAck, 2)});

  // Short or foreign packets are ignored and cause no acknowledgement.
  EXPECT_TRUE(rx.HandleMsg(TBytes(packets[2].begin(), packets[2].begin() + 6)).empty());
  TBytes foreign = packets[2];
  foreign[0] = pkChannelAck;
  EXPECT_TRUE(rx.HandleMsg(foreign).empty());
  EXPECT_TRUE(rx.Poll(FClock.Now()).empty());

  // The more flag is bit 0 of its byte.
  TBytes odd = packets[2];
  odd[6] = 0xFF;
  got = rx.HandleMsg(odd);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_TRUE(got[0].More);
  EXPECT_EQ(rx.Delivered(), 3u);
}

TEST_F(ChannelTest, EarlyBufferIsBoundedAndRefilledByRetransmission) {
  TMsgChannel rx;
  // Packets 2..258 arrive before 1: 256 are kept, 258 is dropped.
  std::vector<TBytes> all;
  {
    TMsgChannel copy;
    for (int i = 0; i < 300; ++i) copy.Post(1, Blob(4, static_cast<std::uint32_t>(i)), false);
    while (copy.Backlog() > 0) {
      auto p = copy.Poll(FClock.Now());
      for (auto& x : p) all.push_back(std::move(x));
      copy.HandleAck(Ack(pkChannelAck, static_cast<std::uint32_t>(all.size())));
    }
  }
  ASSERT_EQ(all.size(), 300u);
  for (std::size_t i = 1; i <= 257; ++i) EXPECT_TRUE(rx.HandleMsg(all[i]).empty());
  EXPECT_EQ(rx.EarlyCount(), 256u);
  EXPECT_EQ(rx.HandleMsg(all[0]).size(), 257u);
  EXPECT_EQ(rx.Delivered(), 257u);
  EXPECT_EQ(rx.HandleMsg(all[257]).size(), 1u) << "the dropped one arrives again and is delivered";
  EXPECT_EQ(rx.Delivered(), 258u);
}

std::string Sha256Hex(TByteView data) {
  unsigned char md[SHA256_DIGEST_LENGTH];
  SHA256(data.data(), data.size(), md);
  static const char* hex = "0123456789abcdef";
  std::string s;
  for (unsigned char b : md) {
    s += hex[b >> 4];
    s += hex[b & 15];
  }
  return s;
}

// Two channels joined by lossy pipes both ways, driven like the session drives them: a poll every
// 10 ms, every received packet handed in at once. One side posts small messages and a 5 MB block
// (held back while the backlog is large, as bulk transfers are); the other posts chat the other way.
// Plain channels, selective ones, and a selective sender whose peer still acknowledges plainly.
TEST_F(ChannelTest, DeliversEverythingOnceInOrderThroughALossyPipe) {
  const double losses[] = {0.0, 0.05, 0.20};
  const TBytes big = Blob(5 * 1000 * 1000, 99);
  const std::string bigHash = Sha256Hex(big);
  struct TModes {
    bool A, B;
  };
  for (const TModes modes : {TModes{false, false}, TModes{true, true}, TModes{true, false}})
  for (double loss : losses) {
    SCOPED_TRACE(::testing::Message() << "loss " << loss << " selective " << modes.A << modes.B);
    test::TLossyPipe ab({.DelayMs = 10, .JitterMs = 20, .Loss = loss, .Duplicate = 0.03, .Seed = 11});
    test::TLossyPipe ba({.DelayMs = 10, .JitterMs = 20, .Loss = loss, .Duplicate = 0.03, .Seed = 12});
    TMsgChannel a, b;
    a.SetSelective(modes.A);
    b.SetSelective(modes.B);
    std::vector<TChannelMsg> sentAB, sentBA, gotAB, gotBA;
    std::size_t bigPosted = 0;
    TBytes bigReceived;
    std::mt19937 rng(5);

    auto post = [&](TMsgChannel& ch, std::vector<TChannelMsg>& log, std::uint8_t kind) {
      TBytes body = Blob(rng() % 300, static_cast<std::uint32_t>(log.size()));
      ch.Post(kind, body, false);
      log.push_back(TChannelMsg{kind, false, std::move(body)});
    };
    auto deliver = [&](std::vector<TChannelMsg>& got, std::vector<TChannelMsg> msgs) {
      for (auto& m : msgs) {
        if (m.Kind == 200) Append(bigReceived, m.Data);
        else got.push_back(std::move(m));
      }
    };
    auto handle = [&](TMsgChannel& ch, const TBytes& p, std::vector<TChannelMsg>& got) {
      if (p[0] == pkChannelMsg) deliver(got, ch.HandleMsg(p));
      else ch.HandleAck(p, FClock.Now());
    };

    for (int tick = 0; tick < 200'000; ++tick) {
      const bool posting = tick < 300;
      if (posting && rng() % 3 == 0) post(a, sentAB, 1);
      if (posting && rng() % 5 == 0) post(b, sentBA, 2);
      // The bulk sender keeps the backlog at about one window, in pieces of 1150 bytes.
      const std::size_t window = a.WindowMessages();
      while (bigPosted < big.size() && static_cast<std::size_t>(a.Backlog()) < window) {
        const std::size_t n = std::min<std::size_t>(window * kChannelPiece, big.size() - bigPosted);
        a.PostBytes(200, TByteView(big).subspan(bigPosted, n));
        bigPosted += n;
      }
      ab.SendAll(a.Poll(FClock.Now()));
      ba.SendAll(b.Poll(FClock.Now()));
      FClock.Advance(10);
      for (auto& p : ab.Receive()) handle(b, p, gotAB);
      for (auto& p : ba.Receive()) handle(a, p, gotBA);
      if (!posting && bigPosted == big.size() && a.Backlog() == 0 && b.Backlog() == 0) break;
    }
    ASSERT_EQ(a.Backlog(), 0) << "not finished in time";
    ASSERT_EQ(b.Backlog(), 0);
    auto same = [](const std::vector<TChannelMsg>& x, const std::vector<TChannelMsg>& y) {
      if (x.size() != y.size()) return false;
      for (std::size_t i = 0; i < x.size(); ++i)
        if (x[i].Kind != y[i].Kind || x[i].More != y[i].More || x[i].Data != y[i].Data) return false;
      return true;
    };
    EXPECT_TRUE(same(gotAB, sentAB)) << gotAB.size() << " of " << sentAB.size();
    EXPECT_TRUE(same(gotBA, sentBA)) << gotBA.size() << " of " << sentBA.size();
    EXPECT_EQ(bigReceived.size(), big.size());
    EXPECT_EQ(Sha256Hex(bigReceived), bigHash);
  }
}

}  // namespace
}  // namespace tovik
