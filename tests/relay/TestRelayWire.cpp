#include <gtest/gtest.h>

#include "TovikRelayConfig.h"
#include "net/TovikWire.h"

namespace tovik {
namespace {

TEST(RelayWire, FramingHandlesSplitAndJoinedSegmentsAndRefusesZeroLength) {
  const TBytes a(300, 0xAA), b{1, 2, 3};
  TBytes stream = Framed(a);
  AppendFramed(stream, b);
  EXPECT_EQ(stream[0], 0x01);
  EXPECT_EQ(stream[1], 0x2C);

  TFrameDecoder joined;
  joined.Feed(stream);
  TBytes out;
  ASSERT_EQ(joined.Next(out), TFrameDecoder::TResult::frFrame);
  EXPECT_EQ(out, a);
  ASSERT_EQ(joined.Next(out), TFrameDecoder::TResult::frFrame);
  EXPECT_EQ(out, b);
  EXPECT_EQ(joined.Next(out), TFrameDecoder::TResult::frNeedMore);

  // Byte by byte: each datagram comes out once, complete.
  TFrameDecoder split;
  std::vector<TBytes> got;
  for (auto byte : stream) {
    split.Feed(TBytes{byte});
    while (split.Next(out) == TFrameDecoder::TResult::frFrame) got.push_back(out);
  }
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0], a);
  EXPECT_EQ(got[1], b);

  TFrameDecoder bad;
  bad.Feed(TBytes{0, 0, 0, 1, 7});
  EXPECT_EQ(bad.Next(out), TFrameDecoder::TResult::frBad);
  bad.Feed(Framed(b));
  EXPECT_EQ(bad.Next(out), TFrameDecoder::TResult::frBad);

  EXPECT_TRUE(Framed(TBytes{}).empty());
  EXPECT_EQ(Framed(TBytes(65535, 1)).size(), 65537u);
  EXPECT_EQ(Framed(TBytes(65535, 1))[0], 0xFF);
  EXPECT_TRUE(Framed(TBytes(65536, 1)).empty());
}

TEST(RelayWire, LinesSplitAtEveryBlank) {
  using V = std::vector<std::string_view>;
  EXPECT_EQ(SplitLine("  HELLO 0  x "), (V{"HELLO", "0", "", "x"}));
  EXPECT_EQ(SplitLine(""), V{});
  EXPECT_EQ(SplitLine("   "), V{});
  EXPECT_EQ(SplitLine("BYE"), V{"BYE"});
}

TEST(RelayWire, NumbersAndAddresses) {
  EXPECT_EQ(ParseDecimal("65535", 65535), 65535u);
  EXPECT_FALSE(ParseDecimal("65536", 65535));
  EXPECT_FALSE(ParseDecimal("-1"));
  EXPECT_FALSE(ParseDecimal(""));
  EXPECT_FALSE(ParseDecimal("99999999999999999999"));
  EXPECT_EQ(ParseIPv4("192.168.1.10"), 0xC0A8010Au);
  for (const char* bad : {"1.2.3", "1.2.3.4.5", "1.2.3.256", "1..2.3", "1.2.3.4.", "a.b.c.d", "", "1.2.3.1234"})
    EXPECT_FALSE(ParseIPv4(bad)) << bad;
  EXPECT_EQ(FormatIPv4(0x7F000001), "127.0.0.1");
  EXPECT_TRUE(IsPartnerID("012345678"));
  EXPECT_FALSE(IsPartnerID("12345678"));
}

TEST(RelayConfig, PortListsIniAndFlags) {
  EXPECT_EQ(ParsePortList("443; 80,443 ,0,70000,8443,81,82"), (std::vector<std::uint16_t>{443, 80, 8443, 81}));
  EXPECT_TRUE(ParsePortList("0").empty());

  TRelaySettings st;
  std::vector<std::string> errors;
  ApplyIni(st,
           "; comment\n[Relay]\nUdpPort = 5000\r\ntcpports=9000,9001\nCompanyMode=1\nBrandName=Acme Ltd\n"
           "Bogus=1\nRelaying=maybe\n[Other]\nUdpPort=1\n",
           errors);
  EXPECT_EQ(st.UdpPort, 5000);
  EXPECT_EQ(st.TcpPorts, (std::vector<std::uint16_t>{9000, 9001}));
  EXPECT_TRUE(st.CompanyMode);
  EXPECT_TRUE(st.Relaying);
  EXPECT_EQ(st.BrandName, "Acme Ltd");
  EXPECT_EQ(errors.size(), 2u);

  std::string err;
  ASSERT_TRUE(ParseArgs(st, {"--udp-port=6000", "--tcp-ports", "7000", "--data", "/tmp/x", "--listen", "127.0.0.1"},
                        err));
  EXPECT_EQ(st.UdpPort, 6000);
  EXPECT_EQ(st.TcpPorts, (std::vector<std::uint16_t>{7000}));
  EXPECT_EQ(st.DataDir, "/tmp/x");
  EXPECT_EQ(st.Listen, "127.0.0.1");
  using TCommand = TRelaySettings::TCommand;
  const std::pair<const char*, TCommand> commands[] = {{"key", TCommand::ckKey},
                                                       {"feedback", TCommand::ckFeedback},
                                                       {"reports", TCommand::ckReports},
                                                       {"usage", TCommand::ckUsage},
                                                       {"run", TCommand::ckRun}};
  for (const auto& [word, command] : commands) {
    ASSERT_TRUE(ParseArgs(st, {word}, err)) << word;
    EXPECT_EQ(st.Command, command) << word;
  }
  EXPECT_FALSE(ParseArgs(st, {"--listen", "nowhere"}, err));
  EXPECT_FALSE(ParseArgs(st, {"--udp-port"}, err));
  EXPECT_FALSE(ParseArgs(st, {"--frobnicate"}, err));
}

}  // namespace
}  // namespace tovik
