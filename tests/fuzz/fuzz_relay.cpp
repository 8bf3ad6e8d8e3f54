// Fuzzes the relay's datagram entry point, its line parser (through a genuine sealed session) and
// the TCP frame decoder.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "TovikRelayCore.h"
#include "crypto/TovikCrypto.h"
#include "net/TovikWire.h"

using namespace tovik;

namespace {

struct TWorld {
  TMemoryRelayStore Store;
  TEcdsaKey Key = TEcdsaKey::CreateNew();
  std::unique_ptr<TRelayCore> Core;
  TEcdhKey Ecdh;
  TBytes Random = RandomBytes(16);
  std::unique_ptr<TSecureChannel> Channel;
  TRelayEndpoint Ep{0x7F000001, 4000, 0};
  TRelayOutput Out;
  TTick Now = 1'000'000;

  TWorld() {
    TRelayConfig cfg;
    cfg.Seed = 1;
    cfg.Logo = TBytes(2000, 7);
    cfg.BrandName = "Fuzz";
    Core = std::make_unique<TRelayCore>(cfg, Store, Key);
    TBytes hello{kWireClientHello, kWireVersion};
    Append(hello, Ecdh.Public());
    Append(hello, Random);
    Core->OnDatagram(Ep, hello, Now, Out);
    const TBytes& reply = Out.Datagrams.at(0).Data;
    const TRelayKeys keys = DeriveRelayKeys(Ecdh.SharedSecret(TByteView(reply).subspan(2, 64)), Random);
    Channel = std::make_unique<TSecureChannel>(kWireSealed, keys.C2S, keys.S2C, 1, 2);
    Out.Clear();
    Say("HELLO 0 10.0.0.1 5000 " + BytesToHex(PeerCommitment(Ecdh.Public())) + " 1.2.3.4 1");
  }

  void Say(std::string_view line) {
    Core->OnDatagram(Ep, Channel->Seal(TByteView(reinterpret_cast<const std::uint8_t*>(line.data()), line.size())),
                     Now, Out);
    Out.Clear();
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // One world for many inputs (a handshake per input would cost most of the time), made again once an
  // input has ended its client (BYE, silence): otherwise every later input would meet a relay that
  // knows nobody, and the coverage of a run would depend on the order of its corpus.
  static std::unique_ptr<TWorld> world;
  if (!world || world->Core->IDOf(world->Ep).empty()) world = std::make_unique<TWorld>();
  TWorld& w = *world;
  if (size == 0) return 0;
  const TByteView rest(data + 1, size - 1);
  w.Now += data[0];
  switch (data[0] % 3) {
    case 0: {
      // A line from the registered client.
      w.Say(std::string_view(reinterpret_cast<const char*>(rest.data()), rest.size()));
      break;
    }
    case 1: {
      // Any datagram from a stranger, over UDP or TCP.
      TRelayEndpoint other{0x0A000000u + data[0], static_cast<std::uint16_t>(size), data[0] & 1u};
      w.Core->OnDatagram(other, rest, w.Now, w.Out);
      w.Out.Clear();
      break;
    }
    default: {
      TFrameDecoder dec;
      dec.Feed(rest);
      TBytes frame;
      while (dec.Next(frame) == TFrameDecoder::TResult::frFrame) {
        w.Core->OnDatagram(w.Ep, frame, w.Now, w.Out);
        w.Out.Clear();
      }
      break;
    }
  }
  w.Core->Tick(w.Now, w.Out);
  w.Out.Clear();
  return 0;
}
