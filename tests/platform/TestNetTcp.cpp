// TCP fallback framing and the real TRelayTcpLink on loopback.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/linux/TovikTcpLink_posix.h"
#include "net/TovikWire.h"

using namespace tovik;

namespace {

TEST(NetTcpFraming, LengthsAndStreamCuts) {
  using R = TFrameDecoder::TResult;
  const TBytes max = Framed(TBytes(65535, 1));
  ASSERT_EQ(max.size(), 65537u);
  EXPECT_EQ(max[0], 0xFF);
  EXPECT_EQ(max[1], 0xFF);
  EXPECT_TRUE(Framed(TBytes(65536, 1)).empty());
  EXPECT_TRUE(Framed(TBytes()).empty());

  TBytes stream = Framed(BytesOf("one"));
  AppendFramed(stream, BytesOf("two"));
  TFrameDecoder d;
  d.Feed(stream);
  TBytes out;
  ASSERT_EQ(d.Next(out), R::frFrame);
  EXPECT_EQ(StringOf(out), "one");
  ASSERT_EQ(d.Next(out), R::frFrame);
  EXPECT_EQ(StringOf(out), "two");
  EXPECT_EQ(d.Next(out), R::frNeedMore);

  // One datagram split over three pieces is delivered once, complete.
  const TBytes f = Framed(BytesOf("split datagram"));
  TFrameDecoder s;
  s.Feed(TByteView(f).subspan(0, 1));
  EXPECT_EQ(s.Next(out), R::frNeedMore);
  s.Feed(TByteView(f).subspan(1, 5));
  EXPECT_EQ(s.Next(out), R::frNeedMore);
  s.Feed(TByteView(f).subspan(6));
  ASSERT_EQ(s.Next(out), R::frFrame);
  EXPECT_EQ(StringOf(out), "split datagram");

  TFrameDecoder z;
  z.Feed(TBytes{0, 0, 0, 1, 7});
  EXPECT_EQ(z.Next(out), R::frBad);
  EXPECT_TRUE(z.Bad());
}

struct TSink : IRxSink {
  std::mutex M;
  std::vector<TRxPacket> Got;
  void PushRx(TRxPacket&& p) override {
    std::lock_guard<std::mutex> g(M);
    Got.push_back(std::move(p));
  }
  std::size_t Count() {
    std::lock_guard<std::mutex> g(M);
    return Got.size();
  }
};

// A loopback listener on a free port.
struct Listener {
  int Fd = -1;
  std::uint16_t Port = 0;
  Listener() {
    Fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(Fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(Fd, 4);
    socklen_t len = sizeof a;
    ::getsockname(Fd, reinterpret_cast<sockaddr*>(&a), &len);
    Port = ntohs(a.sin_port);
  }
  ~Listener() { ::close(Fd); }
  int Accept() { return ::accept(Fd, nullptr, nullptr); }
};

// Waits for a condition that depends on the link thread (not for a time-out of the code under test).
template <class F>
bool WaitFor(F f) {
  for (int i = 0; i < 500 && !f(); ++i) ::poll(nullptr, 0, 10);
  return f();
}

TEST(NetTcpLink, CarriesDatagramsBothWaysAndEndsOnBadData) {
  Listener l;
  TSink sink;
  TRelayTcpLink link(sink, "127.0.0.1", l.Port, "203.0.113.1", 47800);
  const int srv = l.Accept();
  ASSERT_GE(srv, 0);
  ASSERT_TRUE(WaitFor([&] { return link.Connected(); }));
  link.Send(BytesOf("hello"), false);
  std::uint8_t buf[16];
  std::size_t got = 0;
  while (got < 7) {
    const ssize_t n = ::recv(srv, buf + got, sizeof buf - got, 0);
    ASSERT_GT(n, 0);
    got += static_cast<std::size_t>(n);
  }
  EXPECT_EQ(TBytes(buf, buf + 7), Framed(BytesOf("hello")));

  TBytes two = Framed(BytesOf("a"));
  Append(two, Framed(BytesOf("bc")));
  ASSERT_EQ(::send(srv, two.data(), two.size(), 0), static_cast<ssize_t>(two.size()));
  ASSERT_TRUE(WaitFor([&] { return sink.Count() == 2; }));
  EXPECT_EQ(StringOf(sink.Got[1].Data), "bc");
  EXPECT_EQ(sink.Got[1].IP, "203.0.113.1");
  EXPECT_EQ(sink.Got[1].Port, 47800);

  const std::uint8_t zero[2] = {0, 0};
  ::send(srv, zero, 2, 0);
  ASSERT_TRUE(WaitFor([&] { return link.Done(); }));
  EXPECT_EQ(link.Error(), "bad data from the server");
  EXPECT_FALSE(link.Connected());
  ::close(srv);
}

TEST(NetTcpLink, RefusedConnectionEndsWithTheSocketError) {
  std::uint16_t port;
  {
    Listener l;
    port = l.Port;
  }  // closed again: nothing listens there now
  TSink sink;
  TRelayTcpLink link(sink, "127.0.0.1", port, "203.0.113.1", 47800);
  ASSERT_TRUE(WaitFor([&] { return link.Done(); }));
  EXPECT_EQ(link.Error(), "Connection refused");
}

TEST(NetTcpLink, DroppablePacketsAreBoundedWhileCommandsStillQueue) {
  Listener l;
  TSink sink;
  TRelayTcpLink link(sink, "127.0.0.1", l.Port, "203.0.113.1", 47800);
  const int srv = l.Accept();  // never reads: the link thread ends up blocked in a write
  ASSERT_TRUE(WaitFor([&] { return link.Connected(); }));
  const TBytes chunk(60000, 0x14);
  // The link thread empties the outbox whenever its writes get through, until the socket buffers are
  // full and it is stuck in a write; when it takes the outbox between two looks of the test, the round
  // proves nothing and the test fills the outbox again.
  bool queuedWhenFull = false;
  for (int round = 0; round < 200 && !queuedWhenFull; ++round) {
    bool dropped = false;
    for (int i = 0; i < 4000 && !dropped; ++i) {
      const std::size_t was = link.Queued();
      link.Send(chunk, true);
      ASSERT_LE(link.Queued(), KTcpOutboxLimit);
      dropped = link.Queued() == was;  // a droppable packet was refused
    }
    ASSERT_TRUE(dropped);
    const std::size_t before = link.Queued();
    if (before + 60002 <= KTcpOutboxLimit) continue;  // taken meanwhile: not full any more
    link.Send(BytesOf("HELLO"), false);
    const std::size_t after = link.Queued();
    ASSERT_NE(after, before) << "a command was dropped from a full outbox";
    queuedWhenFull = after == before + 7;
  }
  EXPECT_TRUE(queuedWhenFull);
  ::close(srv);
}

// Closing a link writes what is still in its outbox (the client's BYE), then half-closes and waits for
// the relay to close too; the relay reads every frame and then the end of the stream.
TEST(NetTcpLink, ClosingWritesTheOutboxFirst) {
  Listener l;
  TSink sink;
  auto link = std::make_unique<TRelayTcpLink>(sink, "127.0.0.1", l.Port, "203.0.113.1", 47800);
  const int srv = l.Accept();
  ASSERT_GE(srv, 0);
  ASSERT_TRUE(WaitFor([&] { return link->Connected(); }));
  // The relay side: reads until the client's end of stream, then closes as the relay does.
  TBytes got;
  std::thread relay([&] {
    std::uint8_t buf[4096];
    for (;;) {
      const ssize_t n = ::recv(srv, buf, sizeof buf, 0);
      if (n <= 0) break;
      got.insert(got.end(), buf, buf + n);
    }
    ::close(srv);
  });
  link->Send(TBytes(3000, 0x14), true);
  link->Send(BytesOf("SESSION END"), false);
  link->Send(BytesOf("BYE"), false);
  link.reset();
  relay.join();
  TBytes want = Framed(TBytes(3000, 0x14));
  Append(want, Framed(BytesOf("SESSION END")));
  Append(want, Framed(BytesOf("BYE")));
  EXPECT_EQ(got, want);
}

// A relay that reads nothing cannot hold a closing link: it gives up after its flush time (the bound
// here is generous; it catches a link that would wait for ever).
TEST(NetTcpLink, ClosingIsBoundedWhenTheRelayReadsNothing) {
  Listener l;
  TSink sink;
  auto link = std::make_unique<TRelayTcpLink>(sink, "127.0.0.1", l.Port, "203.0.113.1", 47800);
  const int srv = l.Accept();
  ASSERT_TRUE(WaitFor([&] { return link->Connected(); }));
  for (int i = 0; i < 100; ++i) link->Send(TBytes(60000, 0x14), true);
  link->Send(BytesOf("BYE"), false);
  const auto start = std::chrono::steady_clock::now();
  link.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  ::close(srv);
}

}  // namespace
