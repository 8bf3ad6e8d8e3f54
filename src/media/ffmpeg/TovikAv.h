// What the FFmpeg backends share: owners of the libraries' objects, the libraries' log, and libx264
// set up for the screen or for a recording. Internal to media/ffmpeg.
#pragma once

#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/buffer.h>
#include <libavutil/frame.h>
}

namespace tovik {

struct TContextFree {
  void operator()(AVCodecContext* p) const { avcodec_free_context(&p); }
};
struct TFrameFree {
  void operator()(AVFrame* p) const { av_frame_free(&p); }
};
struct TPacketFree {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct TBufferUnref {
  void operator()(AVBufferRef* p) const { av_buffer_unref(&p); }
};
using TContextPtr = std::unique_ptr<AVCodecContext, TContextFree>;
using TFramePtr = std::unique_ptr<AVFrame, TFrameFree>;
using TPacketPtr = std::unique_ptr<AVPacket, TPacketFree>;
using TBufferPtr = std::unique_ptr<AVBufferRef, TBufferUnref>;

// Sends the libraries' messages nowhere, except that a decoder whose context's opaque points at a
// std::atomic<int> gets it counted up for every message about damaged data (see the .cpp). Once per
// process; any thread.
void QuietLibraries();

struct TX264Setup {
  int W = 0, H = 0;  // even
  int Fps = 30;
  int Kbps = 2000;
  // Screen video: the lowest delay (zero latency, sliced threads, no look-ahead), GOP 600, constant
  // quality under a VBV cap at Kbps. Otherwise a recording: average bit rate Kbps, a key frame every
  // 10 s for seeking, the parameter sets in the stream header (MP4).
  bool Screen = true;
};

// libx264 through libavcodec: NV12 in, no B-frames, Main profile (Baseline when Main is refused),
// BT.601 limited range written into the VUI. Raises ETovikMF.
TContextPtr OpenX264(const TX264Setup& ASetup);
// A writable NV12 frame of AW x AH. Raises ETovikMF.
TFramePtr MakeNV12Frame(int AW, int AH);

}  // namespace tovik
