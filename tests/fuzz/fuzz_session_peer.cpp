// A host session (consent given) and a viewer session, each with fakes around it, fed arbitrary peer
// packets through OnPeerData with their timers and the viewer's input interleaved. Whatever arrives,
// neither side may crash, read out of bounds or grow without limit.
//
// Input: a sequence of [op][length][bytes]. op % 6: 0 packet to the host, 1 packet to the viewer,
// 2 length x 10 ms of timers, 3 one input event from the viewer window, 4 the bytes as an
// uncompressed tile update that the harness compresses and sends to the viewer as a whole frame,
// so that the viewer's decoding of the tile layout is reached behind inflate, 5 a helper's picture
// for the host (size from the first two bytes, pixels from the rest, compressed by the harness; an
// odd length cuts the compressed stream short).
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <deque>

#include "base/TovikClock.h"
#include "net/TovikFrames.h"
#include "session/TovikSessionWire.h"
#include "session/TovikSessionAdapters.h"
#include "tests/support/SessionFakes.h"

using namespace tovik;
using namespace tovik::test;

namespace {

struct TNullLink : ISessionLink {
  bool DisconnectAsked = false;
  std::string PartnerID() const override { return "123456789"; }
  std::string PartnerName() const override { return "Fuzz PC"; }
  std::string CheckNumber() const override { return "123 456"; }
  std::string PeerAddress() const override { return "192.0.2.7:5000"; }
  bool ViaRelay() const override { return false; }
  TBytes KeyBinding() const override { return TBytes(128, 1); }
  void SendData(TByteView) override {}
  void Disconnect() override { DisconnectAsked = true; }
};

TBytes Deflate(TByteView APlain) {
  uLongf size = compressBound(static_cast<uLong>(APlain.size()));
  TBytes packed(size);
  if (compress2(packed.data(), &size, APlain.data(), static_cast<uLong>(APlain.size()), 1) != Z_OK) return {};
  packed.resize(size);
  return packed;
}

// The profile picture message as a helper sends it: width, height, compressed pixels.
TBytes ProfilePicture(TByteView ABody) {
  if (ABody.size() < 2) return {};
  const int w = 1 + ABody[0] % 16, h = 1 + ABody[1] % 16;
  TBytes pixels(ABody.begin() + 2, ABody.end());
  pixels.resize(static_cast<std::size_t>(w * h * 3), 0);
  TBytes packed = Deflate(pixels);
  if (ABody.size() % 2 == 1) packed.resize(packed.size() / 2);
  TBytes msg;
  PutU16LE(msg, static_cast<std::uint16_t>(w));
  PutU16LE(msg, static_cast<std::uint16_t>(h));
  Append(msg, packed);
  return msg;
}

// A tile update as the host would send it: compressed, in a frame blob, cut into frame chunks.
std::vector<TBytes> TileFrame(TByteView AUpdate, std::uint32_t AFrameID) {
  const TBytes blob = MakeTileBlob(Deflate(AUpdate));
  const std::size_t count = (blob.size() + kChunkData - 1) / kChunkData;
  std::vector<TBytes> chunks;
  for (std::size_t i = 0; i < count; ++i) {
    TBytes p{pkFrameChunk};
    PutU32LE(p, AFrameID);
    PutU16LE(p, static_cast<std::uint16_t>(i));
    PutU16LE(p, static_cast<std::uint16_t>(count));
    const std::size_t from = i * kChunkData, n = std::min(kChunkData, blob.size() - from);
    p.insert(p.end(), blob.begin() + static_cast<std::ptrdiff_t>(from),
             blob.begin() + static_cast<std::ptrdiff_t>(from + n));
    chunks.push_back(std::move(p));
  }
  return chunks;
}

struct TWorld {
  TManualClock Clock;
  std::uint32_t NextFrameID = 1000;
  TMsgChannel ToHost;  // the harness's own messages to the host
  TNullLink HostLink, ViewerLink;
  std::deque<std::function<void()>> Queue;
  std::shared_ptr<TFakeScreenState> Screen = std::make_shared<TFakeScreenState>();
  std::shared_ptr<TFakeViewerState> Window = std::make_shared<TFakeViewerState>();
  std::shared_ptr<TFakeConsent> Consent = std::make_shared<TFakeConsent>();
  std::unique_ptr<TTovikSession> Host, Viewer;

  TWorld() {
    Screen->Resize(64, 48);
    Screen->Paint(0, 0, 64, 48, 1);
    Consent->AutoAnswer = caControl;
    TSessionDeps h;
    h.Link = &HostLink;
    h.Post = [this](std::function<void()> f) { Queue.push_back(std::move(f)); };
    h.Screen = MakeCapturerScreen(std::make_shared<TFakeBackend>(Screen));
    h.Injector = std::make_unique<TRecordingInput>();
    h.Consent = Consent;
    Host = std::make_unique<TTovikSession>(std::move(h), false, false, Clock.Now());
    TSessionDeps v;
    v.Link = &ViewerLink;
    v.Post = [this](std::function<void()> f) { Queue.push_back(std::move(f)); };
    v.MakeViewer = [this](IViewerEvents& e, const std::string&) { return TViewerWindowPtr(new TFakeViewer(Window, e)); };
    Viewer = std::make_unique<TTovikSession>(std::move(v), true, false, Clock.Now());
    // Past the consent timer: the host asks, the fake allows control.
    Timers(2000);
  }
  ~TWorld() {
    Viewer.reset();
    Host.reset();
  }
  void RunQueue() {
    while (!Queue.empty()) {
      auto f = std::move(Queue.front());
      Queue.pop_front();
      f();
    }
    // What the owner does when a link ends.
    if (HostLink.DisconnectAsked) Host.reset();
    if (ViewerLink.DisconnectAsked) Viewer.reset();
  }
  // AMs of virtual time, jumping from one session deadline to the next.
  void Timers(int AMs) {
    const TTick end = Clock.Now() + static_cast<TTick>(AMs);
    while (Clock.Now() < end && (Host || Viewer)) {
      const TTick next = std::min(end, NextSessionDeadline(Host.get(), Viewer.get()));
      if (next > Clock.Now()) Clock.Advance(next - Clock.Now());
      RunDueSessions(Host.get(), Viewer.get(), Clock.Now());
      RunQueue();
    }
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  TWorld w;
  std::size_t i = 0;
  while (i + 2 <= size && (w.Host || w.Viewer)) {
    const std::uint8_t op = data[i];
    const std::size_t len = std::min<std::size_t>(data[i + 1], size - i - 2);
    const TByteView body(data + i + 2, len);
    i += 2 + len;
    switch (op % 6) {
      case 0:
        if (w.Host) w.Host->OnPeerData(body);
        break;
      case 1:
        if (w.Viewer) w.Viewer->OnPeerData(body);
        break;
      case 2:
        w.Timers(static_cast<int>(len) * 10);
        break;
      case 3:
        if (w.Window->Events && len >= 5)
          w.Window->Events->OnInput(WindowInput(body[0], static_cast<std::int16_t>(GetU16LE(body.data() + 1)),
                                                static_cast<std::int16_t>(GetU16LE(body.data() + 3)),
                                                len > 5 ? body[5] : 0));
        break;
      case 4:
        if (w.Viewer)
          for (const TBytes& chunk : TileFrame(body, w.NextFrameID++))
            if (w.Viewer) w.Viewer->OnPeerData(chunk);
        break;
      case 5:
        if (w.Host && w.ToHost.Post(mkProfilePicture, ProfilePicture(body), false))
          for (const TBytes& p : w.ToHost.Poll(w.Clock.Now()))
            if (w.Host) w.Host->OnPeerData(p);
        break;
    }
    w.RunQueue();
  }
  return 0;
}
