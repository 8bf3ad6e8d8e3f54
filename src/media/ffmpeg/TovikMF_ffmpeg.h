// The H.264 encoders and decoder over FFmpeg (libavcodec): h264_vaapi when a VA driver answers on a
// render node, then libx264, then openh264 when its library is present; the h264 decoder. Portable
// across the systems FFmpeg runs on; the composition root (the program's entry) creates it, tests use
// it directly.
#pragma once

#include <cstdint>
#include <memory>

#include "media/TovikMF.h"

namespace tovik {

// The codecs of this build. Never null; CanDecode() answers false when libavcodec has no h264
// decoder.
std::shared_ptr<IVideoCodecs> CreateFfmpegCodecs();

// The encoder libraries in the order they are tried, with the reason no hardware one is available.
// The hardware probe (a VA device on a render node) runs once per process.
TEngineList FfmpegEngines();

// A decoder over libavcodec's h264 decoder (low delay, slice threads) for AWidth x AHeight pictures;
// no stream may make it allocate above AMaxPixels. Raises ETovikMF.
std::unique_ptr<IH264Decoder> CreateFfmpegDecoder(int AWidth, int AHeight, std::int64_t AMaxPixels);

}  // namespace tovik
