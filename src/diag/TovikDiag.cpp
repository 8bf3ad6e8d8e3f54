#include "diag/TovikDiag.h"

#include <cstdio>
#include <exception>

#include "crypto/TovikCrypto.h"
#include "net/TovikRelayHello.h"
#include "net/TovikWire.h"

namespace tovik {

namespace {

constexpr std::uint32_t kStunCookie = 0x2112A442;

std::string Fmt(const char* fmt, long long a) {
  char buf[512];
  std::snprintf(buf, sizeof buf, fmt, a);
  return buf;
}

// Waits until the deadline for a datagram from ip:port; datagrams from anyone else are not judged.
std::optional<TBytes> ReceiveFrom(IDiagUdp& udp, const std::function<TTick()>& now, TTick deadline,
                                  const std::string& ip, std::uint16_t port, std::size_t maxBytes) {
  for (;;) {
    const TTick t = now();
    if (t >= deadline) return std::nullopt;
    auto d = udp.Receive(static_cast<std::int64_t>(deadline - t), maxBytes);
    if (!d) return std::nullopt;
    if (d->FromIP == ip && d->FromPort == port) return std::move(d->Data);
  }
}

std::string KeyOfHex(std::string_view keyHex, TBytes& key) {
  std::string compact;
  for (char c : keyHex)
    if (c != ' ' && c != '\t' && c != '\r' && c != '\n') compact += c;
  key = HexToBytes(compact);
  return compact;
}

}  // namespace

TBytes StunRequest(TByteView transactionID) {
  TBytes r = {0x00, 0x01, 0x00, 0x00, 0x21, 0x12, 0xA4, 0x42};
  Append(r, transactionID.subspan(0, 12));
  return r;
}

std::optional<std::string> ParseStunResponse(TByteView data, TByteView transactionID) {
  if (data.size() < 20 || transactionID.size() != 12) return std::nullopt;
  if (data[0] != 0x01 || data[1] != 0x01) return std::nullopt;
  for (std::size_t i = 0; i < 12; ++i)
    if (data[8 + i] != transactionID[i]) return std::nullopt;
  std::optional<std::string> found;
  std::size_t at = 20;
  while (at + 4 <= data.size()) {
    const unsigned type = (unsigned(data[at]) << 8) | data[at + 1];
    const std::size_t len = (std::size_t(data[at + 2]) << 8) | data[at + 3];
    if (at + 4 + len > data.size()) break;
    const std::uint8_t* v = data.data() + at + 4;
    if ((type == 0x0001 || type == 0x0020) && len >= 8 && v[1] == 1) {
      unsigned port = (unsigned(v[2]) << 8) | v[3];
      std::uint8_t a[4] = {v[4], v[5], v[6], v[7]};
      if (type == 0x0020) {
        port ^= kStunCookie >> 16;
        const std::uint8_t c[4] = {0x21, 0x12, 0xA4, 0x42};
        for (int k = 0; k < 4; ++k) a[k] ^= c[k];
      }
      char buf[32];
      std::snprintf(buf, sizeof buf, "%u.%u.%u.%u:%u", a[0], a[1], a[2], a[3], port);
      found = buf;
      if (type == 0x0020) break;
    }
    at += 4 + (len + 3) / 4 * 4;
  }
  return found;
}

void SplitStunServer(std::string_view entry, std::string& host, std::uint16_t& port) {
  const std::size_t colon = entry.rfind(':');
  host = std::string(entry.substr(0, colon));
  port = 3478;
  if (colon == std::string_view::npos) return;
  const auto p = ParseDecimal(entry.substr(colon + 1), 65535);
  if (p && *p > 0) port = static_cast<std::uint16_t>(*p);
}

std::string NatVerdict(const std::optional<std::string>& a, const std::optional<std::string>& b) {
  if (a && b) {
    if (*a == *b)
      return "Result: an easy NAT (the same public address and port for both). Direct links to other PCs "
             "normally work from here.";
    const std::size_t ca = a->rfind(':'), cb = b->rfind(':');
    if (a->substr(ca) != b->substr(cb))
      return "Result: a SYMMETRIC NAT (a new public port for every destination). Direct links to other PCs "
             "rarely work from here; sessions then go through the server (relay fallback), which needs an "
             "up-to-date server.";
    return "Result: two different public addresses (several internet connections?). Direct links may fail; "
           "sessions then go through the server.";
  }
  if (a || b) return "Result: unknown (only one server answered).";
  return "Result: unknown. UDP to the internet is blocked here, or STUN is: sessions from this network go through "
         "the server over TCP.";
}

std::string JudgeRelayAnswer(const TRelayHello& hello, TByteView answer, std::int64_t ms, std::string_view keyHex) {
  const auto reply = hello.Check(answer);
  if (!reply) return Fmt("an answer came back, but not from a Tovik server (%lld bytes)", static_cast<long long>(answer.size()));
  TBytes secret = reply->Secret;
  WipeBytes(secret);
  std::string line = Fmt("OK: the server answered in %lld ms, server key ", ms) + KeyFingerprint(reply->RelayKey);
  TBytes pinned;
  KeyOfHex(keyHex, pinned);
  if (pinned.size() == 64) {
    if (pinned == reply->RelayKey)
      line += " (the one this Tovik trusts)";
    else
      line += " - DIFFERENT from the key this Tovik trusts (" + KeyFingerprint(pinned) +
              "): Tovik will not use this server";
  }
  return line;
}

void RunDiag(const TDiagSetup& setup, IDiagNet& net, const std::function<TTick()>& now,
             const std::function<bool()>& stopped, const std::function<void(const std::string&)>& addLine,
             const std::string& localTimeText) {
  auto add = [&](const std::string& s) { addLine(s); };
  const std::string host = EscapeForLog(setup.Host, 255);
  try {
    add("Tovik connection test, " + localTimeText);
    add("");

    add("[This PC]");
    add("Tovik build " + setup.Build + ", " + setup.System);
    std::string addrs;
    for (const auto& a : net.LocalAddresses()) addrs += (addrs.empty() ? "" : ", ") + a;
    add("Local addresses: " + (addrs.empty() ? std::string("none (no network?)") : addrs));
    add("");

    std::string relayIP;
    if (!stopped()) {
      add("[Name lookup]");
      const TTick t0 = now();
      std::string ip, error;
      if (net.Resolve(setup.Host, ip, error)) {
        relayIP = ip;
        add("OK: " + host + " is " + ip + Fmt(" (%lld ms)", static_cast<long long>(now() - t0)));
      } else {
        add("FAILED: " + host + " cannot be found (" + error +
            "). Check the internet connection, or the server name in Settings > Network.");
      }
      add("");
    }

    if (!stopped()) {
      add(Fmt("[Server over UDP %lld]", setup.UdpPort));
      if (relayIP.empty()) {
        add("Skipped: the name was not found.");
      } else {
        std::string error;
        auto udp = net.OpenUdp(error);
        bool answered = false;
        for (int attempt = 0; udp && attempt < 3 && !answered && !stopped(); ++attempt) {
          const TRelayHello hello;
          const TTick sent = now();
          if (!udp->SendTo(relayIP, setup.UdpPort, hello.Bytes(), error)) break;
          if (auto d = ReceiveFrom(*udp, now, sent + 3000, relayIP, setup.UdpPort, 2048)) {
            add(JudgeRelayAnswer(hello, *d, static_cast<std::int64_t>(now() - sent), setup.KeyHex));
            answered = true;
          }
        }
        if (!answered)
          add(Fmt("NO ANSWER after 3 tries. UDP %lld is blocked on this network (some phone hotspots, hotels and "
                  "company networks do this), or the server is down. Tovik then uses the TCP fallback below.",
                  setup.UdpPort));
      }
      add("");
    }

    if (!stopped() && setup.TcpPorts.empty()) {
      add("[Server over the TCP fallback]");
      add("Skipped: this Tovik has no TCP fallback port.");
      add("");
    }
    for (const std::uint16_t port : setup.TcpPorts) {
      if (stopped()) break;
      add(Fmt("[Server over the TCP fallback, port %lld]", port));
      if (relayIP.empty()) {
        add("Skipped: the name was not found.");
        add("");
        continue;
      }
      std::string error;
      const TTick t0 = now();
      auto tcp = net.ConnectTcp(relayIP, port, 5000, error);
      if (!tcp) {
        add("FAILED to connect (" + error + Fmt("). TCP %lld is closed on the server, its firewall or yours.", port));
        add("");
        continue;
      }
      add(Fmt("Connected in %lld ms", static_cast<long long>(now() - t0)));
      const TRelayHello hello;
      const TBytes& h = hello.Bytes();
      TBytes framed = {static_cast<std::uint8_t>(h.size() >> 8), static_cast<std::uint8_t>(h.size() & 0xFF)};
      Append(framed, h);
      const TTick sent = now();
      TBytes head, body;
      if (!tcp->SendAll(framed, error) || !tcp->ReadExactly(2, 5000, head, error)) {
        add("Connected, but no Tovik answer (" + error +
            Fmt("). Another program (a web server?) may use TCP %lld on the server, or a proxy on this network is "
                "in between.",
                port));
      } else {
        const std::size_t m = (std::size_t(head[0]) << 8) | head[1];
        if (m < 1 || m > 4096)
          add("An answer came back, but not from a Tovik server: another program (a web server?) uses this port on "
              "the server.");
        else if (!tcp->ReadExactly(m, 5000, body, error))
          add("Connected, but no Tovik answer (" + error +
              Fmt("). Another program (a web server?) may use TCP %lld on the server, or a proxy on this network "
                  "is in between.",
                  port));
        else
          add(JudgeRelayAnswer(hello, body, static_cast<std::int64_t>(now() - sent), setup.KeyHex));
      }
      add("");
    }

    if (!stopped()) {
      add("[This network's NAT (two public STUN servers)]");
      std::string error;
      auto udp = net.OpenUdp(error);
      std::optional<std::string> seen[2];
      const std::string* servers[2] = {&setup.Stun1, &setup.Stun2};
      for (int s = 0; s < 2 && !stopped(); ++s) {
        std::string shost, sip;
        std::uint16_t sport = 0;
        SplitStunServer(*servers[s], shost, sport);
        if (udp && net.Resolve(shost, sip, error)) {
          for (int attempt = 0; attempt < 2 && !seen[s]; ++attempt) {
            const TBytes id = RandomBytes(12);
            if (!udp->SendTo(sip, sport, StunRequest(id), error)) break;
            const TTick deadline = now() + 2000;
            while (!seen[s]) {
              auto d = ReceiveFrom(*udp, now, deadline, sip, sport, 1024);
              if (!d) break;
              seen[s] = ParseStunResponse(*d, id);
            }
          }
        }
        const std::string name = EscapeForLog(*servers[s], 255);
        add(seen[s] ? name + " sees this PC as " + *seen[s] : name + ": no answer");
      }
      add(NatVerdict(seen[0], seen[1]));
      add("");
    }

    if (!stopped() && !setup.UpdateUrl.empty()) {
      add("[Web site for updates]");
      const TTick t0 = now();
      int status = 0;
      std::string error;
      const std::string url = EscapeForLog(setup.UpdateUrl, 255);
      if (net.HttpHead(setup.UpdateUrl, 5000, status, error))
        add(url + Fmt(": HTTP %lld", status) + Fmt(" in %lld ms", static_cast<long long>(now() - t0)));
      else
        add(url + ": FAILED (" + error + ")");
      add("");
    }

    if (!stopped()) {
      add("[Tovik right now]");
      add(setup.State);
      add(setup.LastLink.empty() ? std::string("Last link to another PC: none since Tovik started.")
                                 : "Last link to another PC: " + setup.LastLink);
    }
  } catch (const std::exception& e) {
    add(std::string("The test stopped: ") + e.what());
  }
  add("");
  add("End of the test.");
}

}  // namespace tovik
