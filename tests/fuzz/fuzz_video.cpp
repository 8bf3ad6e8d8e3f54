// Video frames from the other PC: the frame header and the H.264 decoder behind it, as the viewer
// uses them (a decoder per announced size, the picture written into a 32-bit target). Nothing may
// crash, no picture beyond the limits may be allocated, and the decoder must keep answering.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "media/TovikCapture.h"
#include "media/TovikMF.h"
#include "media/ffmpeg/TovikMF_ffmpeg.h"
#include "session/TovikSessionWire.h"

namespace {

using namespace tovik;

// Targets above this size are not allocated here (the viewer would; the decoder's own limit is what
// is tested), so that the fuzzer stays fast.
constexpr std::int64_t kFuzzTargetPixels = std::int64_t{2048} * 2048;

}  // namespace

// Input: records of [length, 2 bytes LE][frame blob], each one frame as it arrives at the viewer.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static std::unique_ptr<IH264Decoder> decoder;
  static int decW = 0, decH = 0;
  static TBitmap32 target;
  std::size_t pos = 0;
  while (pos + 2 <= size) {
    const std::size_t len = std::min<std::size_t>(GetU16LE(data + pos), size - pos - 2);
    const TByteView blob(data + pos + 2, len);
    pos += 2 + len;
    const auto frame = ParseFrameBlob(blob);
    if (!frame || frame->Kind != TBlobKind::Video) continue;
    if (!PictureSizeOk(frame->Width, frame->Height) || frame->Payload.empty()) std::abort();
    if (std::int64_t{frame->Width} * frame->Height > kFuzzTargetPixels) continue;
    try {
      if (!decoder || frame->Width != decW || frame->Height != decH) {
        decoder = CreateFfmpegDecoder(frame->Width, frame->Height, static_cast<std::int64_t>(kMaxPicturePixels));
        decW = frame->Width;
        decH = frame->Height;
        target.SetSize(decW, decH);
      }
      decoder->Decode(frame->Payload, target.Row(0), target.Stride());
    } catch (const ETovikMF&) {
      decoder.reset();  // the viewer goes back to tiles
    }
  }
  return 0;
}
