#include "media/ffmpeg/TovikAv.h"

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <mutex>

extern "C" {
#include <libavutil/log.h>
#include <libavutil/opt.h>
}

#include "media/TovikMF.h"

namespace tovik {

namespace {

// The libraries' messages. They go nowhere (a hostile stream would fill stderr), but what a decoder
// says about its own data is counted as damage: libavcodec's h264 decoder hides a damaged slice (error
// concealment) and a missing reference picture (a gap in frame_num, a lost frame) and hands out the
// picture without any flag; only its log says so, at error level for a damaged slice and at debug
// level for the gap. A decoder of ours marks its context by pointing opaque at its counter; other
// contexts are ignored. Called on any thread (slice threads included).
void LogSink(void* AObject, int ALevel, const char* AFmt, va_list) {
  if (!AObject) return;
  const bool damage = ALevel <= AV_LOG_ERROR || (AFmt && std::strncmp(AFmt, "Frame num gap", 13) == 0);
  if (!damage) return;
  if (*static_cast<const AVClass* const*>(AObject) != avcodec_get_class()) return;
  auto* ctx = static_cast<AVCodecContext*>(AObject);
  if (ctx->opaque && av_codec_is_decoder(ctx->codec)) static_cast<std::atomic<int>*>(ctx->opaque)->fetch_add(1);
}

}  // namespace

void QuietLibraries() {
  static std::once_flag once;
  std::call_once(once, [] { av_log_set_callback(LogSink); });
}

namespace {
// x264's constant rate factor for screen pictures (lower is better; 23 is its default for film).
const char* const kCrf = "21";
}  // namespace

TContextPtr OpenX264(const TX264Setup& ASetup) {
  QuietLibraries();
  const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
  if (!codec) throw ETovikMF("libx264 is not part of this libavcodec");
  // Large screens at a high rate take the fastest preset so that one picture stays within a frame's
  // time on two cores.
  const std::int64_t load = std::int64_t{ASetup.W} * ASetup.H * ASetup.Fps;
  const char* preset = ASetup.Screen && load > std::int64_t{1920} * 1088 * 30 ? "ultrafast" : "superfast";
  int status = 0;
  for (const char* profile : {"main", "baseline"}) {
    TContextPtr ctx(avcodec_alloc_context3(codec));
    if (!ctx) throw ETovikMF("avcodec_alloc_context3 failed");
    ctx->width = ASetup.W;
    ctx->height = ASetup.H;
    ctx->time_base = AVRational{1, ASetup.Fps};
    ctx->framerate = AVRational{ASetup.Fps, 1};
    ctx->pix_fmt = AV_PIX_FMT_NV12;
    ctx->bit_rate = std::int64_t{ASetup.Kbps} * 1000;
    ctx->max_b_frames = 0;
    ctx->thread_count = 2;
    ctx->colorspace = AVCOL_SPC_SMPTE170M;
    ctx->color_primaries = AVCOL_PRI_SMPTE170M;
    ctx->color_trc = AVCOL_TRC_SMPTE170M;
    ctx->color_range = AVCOL_RANGE_MPEG;
    AVDictionary* opts = nullptr;
    av_dict_set(&opts, "preset", preset, 0);
    av_dict_set(&opts, "profile", profile, 0);
    if (ASetup.Screen) {
      ctx->rc_max_rate = ctx->bit_rate;
      // One second of buffer: a key frame of a whole screen may be several pictures' worth of bits.
      ctx->rc_buffer_size = static_cast<int>(std::min<std::int64_t>(ctx->bit_rate, INT32_MAX));
      ctx->gop_size = 600;
      ctx->thread_type = FF_THREAD_SLICE;
      av_dict_set(&opts, "tune", "zerolatency", 0);
      av_dict_set(&opts, "forced-idr", "1", 0);
      // Constant quality under the VBV cap: a screen that stays still keeps readable text, and a
      // screen that moves a lot is held to the bit rate. (An average-rate target would starve the
      // first key frame of a still screen and never mend it.)
      av_dict_set(&opts, "crf", kCrf, 0);
      av_dict_set(&opts, "x264-params", "sliced-threads=1:rc-lookahead=0:sync-lookahead=0:bframes=0", 0);
    } else {
      ctx->gop_size = ASetup.Fps * 10;
      ctx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
      av_dict_set(&opts, "x264-params", "bframes=0", 0);
    }
    status = avcodec_open2(ctx.get(), codec, &opts);
    av_dict_free(&opts);
    if (status >= 0) return ctx;
  }
  throw ETovikMF(MFFailed("avcodec_open2", status));
}

TFramePtr MakeNV12Frame(int AW, int AH) {
  TFramePtr f(av_frame_alloc());
  if (!f) throw ETovikMF("av_frame_alloc failed");
  f->format = AV_PIX_FMT_NV12;
  f->width = AW;
  f->height = AH;
  const int status = av_frame_get_buffer(f.get(), 0);
  if (status < 0) throw ETovikMF(MFFailed("av_frame_get_buffer", status));
  return f;
}

}  // namespace tovik
