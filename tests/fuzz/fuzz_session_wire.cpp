// The session's packet and frame parsers on network input: the frame blob, the host status, the sound
// header, the tile-update header checks and the unattended-access messages must refuse anything
// malformed and never read outside it.
#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <cstdlib>

#include "session/TovikSessionWire.h"
#include "session/TovikUnattended.h"

using namespace tovik;

namespace {

void Check(bool AOk) {
  if (!AOk) std::abort();
}

bool Inside(TByteView AOuter, TByteView AInner) {
  return AInner.empty() || (AInner.data() >= AOuter.data() && AInner.data() + AInner.size() <= AOuter.data() + AOuter.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const TByteView in(data, size);

  if (auto blob = ParseFrameBlob(in)) {
    Check(Inside(in, blob->Payload));
    if (blob->Kind == TBlobKind::Video) {
      Check(PictureSizeOk(blob->Width, blob->Height));
      Check(!blob->Payload.empty());
    } else {
      // What the viewer does with a tile blob before its decoder sees it.
      const std::string why = CheckTileUpdate(blob->Payload);
      if (why.empty()) {
        auto h = PeekTileHeader(blob->Payload);
        Check(h && h->Width >= 2 && h->Height >= 2 && PictureSizeOk(h->Width, h->Height));
      }
    }
  }

  if (auto st = ParseHostStatus(in)) {
    Check(size >= 2);
    (void)StatusCaptionSuffix(*st);
  }

  if (auto sound = SoundPayload(in)) Check(Inside(in, *sound) && !sound->empty());

  if (auto h = PeekTileHeader(in)) (void)CheckTileUpdate(in);

  // A challenge is accepted only within the bounds a helper's program will compute, and encodes back
  // to the same bytes.
  if (auto c = DecodePasswordChallenge(in)) {
    Check(c->Iterations >= kPasswordMinIterations && c->Iterations <= kPasswordMaxIterations);
    Check(c->Salt.size() >= kPasswordSaltSize && c->Salt.size() <= kPasswordMaxSaltSize);
    Check(c->Nonce.size() == kPasswordNonceSize);
    const TBytes back = EncodePasswordChallenge(*c);
    Check(back.size() == size && std::equal(back.begin(), back.end(), data));
  }
  if (auto r = ParsePasswordResult(in)) Check(size == 5 && r->Verdict <= pvPaused);
  if (auto v = ParsePasswordVerifier(std::string_view(reinterpret_cast<const char*>(data), size)))
    Check(v->StoredKey.size() == 32);
  return 0;
}
