#include "media/ffmpeg/TovikMF_ffmpeg.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/hwcontext.h>
#include <libavutil/pixfmt.h>
}

#include "media/TovikPicture.h"
#include "media/ffmpeg/TovikAv.h"
#include "media/ffmpeg/TovikMP4_ffmpeg.h"
#include "media/ffmpeg/TovikOpenH264.h"

namespace tovik {

namespace {

const char* const kNoHardware = "no hardware H.264 encoder on this PC (graphics driver or virtual machine)";

// ---- libx264 ----------------------------------------------------------------------------------------

// libx264 for the screen (OpenX264's screen settings): NV12 pictures in, Annex B out.
class TX264Engine final : public IH264Engine {
 public:
  explicit TX264Engine(const TEncoderParams& AParams) {
    TX264Setup setup;
    setup.W = AParams.PadW;
    setup.H = AParams.PadH;
    setup.Fps = AParams.Fps;
    setup.Kbps = AParams.Kbps;
    FCtx = OpenX264(setup);
    FFrame = MakeNV12Frame(AParams.PadW, AParams.PadH);
    FPacket.reset(av_packet_alloc());
    if (!FPacket) throw ETovikMF("av_packet_alloc failed");
  }

  TNV12Target Input() override {
    const int status = av_frame_make_writable(FFrame.get());
    if (status < 0) throw ETovikMF(MFFailed("av_frame_make_writable", status));
    return {FFrame->data[0], FFrame->linesize[0], FFrame->data[1], FFrame->linesize[1]};
  }

  TBytes Encode(bool AKey) override {
    FFrame->pict_type = AKey ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
    FFrame->key_frame = AKey ? 1 : 0;
    FFrame->pts = FPts++;
    int status = avcodec_send_frame(FCtx.get(), FFrame.get());
    if (status < 0) throw ETovikMF(MFFailed("avcodec_send_frame", status));
    TBytes out;
    for (;;) {
      status = avcodec_receive_packet(FCtx.get(), FPacket.get());
      if (status == AVERROR(EAGAIN) || status == AVERROR_EOF) break;
      if (status < 0) throw ETovikMF(MFFailed("avcodec_receive_packet", status));
      out.insert(out.end(), FPacket->data, FPacket->data + FPacket->size);
      av_packet_unref(FPacket.get());
    }
    return out;
  }

 private:
  TContextPtr FCtx;
  TFramePtr FFrame;
  TPacketPtr FPacket;
  std::int64_t FPts = 0;
};

// ---- hardware probe ---------------------------------------------------------------------------------

struct THardwareProbe {
  bool VaDevice = false;
  std::string Note;
};

const THardwareProbe& ProbeHardware() {
  static const THardwareProbe probe = [] {
    QuietLibraries();
    THardwareProbe p;
    AVBufferRef* dev = nullptr;
    if (av_hwdevice_ctx_create(&dev, AV_HWDEVICE_TYPE_VAAPI, nullptr, nullptr, 0) >= 0) {
      TBufferPtr keep(dev);
      p.VaDevice = avcodec_find_encoder_by_name("h264_vaapi") != nullptr;
    }
    // A VA driver answered, but this build encodes on the graphics card only through a path that
    // has not been written yet; say so rather than pretend.
    p.Note = p.VaDevice ? "VA-API device found; hardware encoding is not used by this build" : kNoHardware;
    return p;
  }();
  return probe;
}

// ---- decoder ----------------------------------------------------------------------------------------

class TAvDecoder final : public IH264Decoder {
 public:
  TAvDecoder(int AWidth, int AHeight, std::int64_t AMaxPixels) : FW(AWidth), FH(AHeight) {
    if (AWidth <= 0 || AHeight <= 0) {
      char buf[64];
      std::snprintf(buf, sizeof buf, "Bad picture size %d x %d", AWidth, AHeight);
      throw ETovikMF(buf);
    }
    QuietLibraries();
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    if (!codec) throw ETovikMF("No H.264 decoder on this PC");
    FCtx.reset(avcodec_alloc_context3(codec));
    if (!FCtx) throw ETovikMF("avcodec_alloc_context3 failed");
    FCtx->flags |= AV_CODEC_FLAG_LOW_DELAY;
    FCtx->thread_type = FF_THREAD_SLICE;
    FCtx->thread_count = 2;
    FCtx->max_pixels = std::max<std::int64_t>(AMaxPixels, 1);
    // Stop at the first damaged slice instead of hiding the damage (which would show a wrong picture).
    FCtx->err_recognition = AV_EF_EXPLODE | AV_EF_BITSTREAM | AV_EF_BUFFER;
    FCtx->opaque = &FErrors;
    int status = avcodec_open2(FCtx.get(), codec, nullptr);
    if (status < 0) throw ETovikMF(MFFailed("avcodec_open2", status));
    FFrame.reset(av_frame_alloc());
    FPacket.reset(av_packet_alloc());
    if (!FFrame || !FPacket) throw ETovikMF("av_frame_alloc failed");
  }

  TDecodeResult Decode(TByteView AData, std::uint8_t* ADest, std::ptrdiff_t ADestStride) override {
    if (AData.empty() || !ADest) return TDecodeResult::drNone;
    if (AData.size() > static_cast<std::size_t>(INT32_MAX - AV_INPUT_BUFFER_PADDING_SIZE)) return Broken();
    if (FWaitKey) {
      // After an error (and at the start) only a key frame can give a whole picture again.
      if (!HasNal(AData, kNalIdr)) return TDecodeResult::drNone;
      avcodec_flush_buffers(FCtx.get());
      FWaitKey = false;
    }
    FErrors.store(0);
    int status = av_new_packet(FPacket.get(), static_cast<int>(AData.size()));
    if (status < 0) throw ETovikMF(MFFailed("av_new_packet", status));
    std::memcpy(FPacket->data, AData.data(), AData.size());
    bool shown = false;
    status = avcodec_send_packet(FCtx.get(), FPacket.get());
    if (status == AVERROR(EAGAIN)) {
      if (!Drain(ADest, ADestStride, shown)) return Broken();
      status = avcodec_send_packet(FCtx.get(), FPacket.get());
    }
    av_packet_unref(FPacket.get());
    if (status == AVERROR(ENOMEM)) throw ETovikMF(MFFailed("avcodec_send_packet", status));
    if (status < 0) return Broken();
    if (!Drain(ADest, ADestStride, shown) || FErrors.load() != 0) return Broken();
    return shown ? TDecodeResult::drPicture : TDecodeResult::drNone;
  }

 private:
  TDecodeResult Broken() {
    avcodec_flush_buffers(FCtx.get());
    FWaitKey = true;
    return TDecodeResult::drBroken;
  }

  // Takes every picture the decoder has; false when one is damaged or does not fit.
  bool Drain(std::uint8_t* ADest, std::ptrdiff_t ADestStride, bool& AShown) {
    for (;;) {
      const int status = avcodec_receive_frame(FCtx.get(), FFrame.get());
      if (status == AVERROR(EAGAIN) || status == AVERROR_EOF) return true;
      if (status == AVERROR(ENOMEM)) throw ETovikMF(MFFailed("avcodec_receive_frame", status));
      if (status < 0) return false;
      const AVFrame& f = *FFrame;
      const bool ok = (f.flags & AV_FRAME_FLAG_CORRUPT) == 0 && f.decode_error_flags == 0 && FErrors.load() == 0 &&
                      f.width >= FW &&
                      f.height >= FH &&
                      (f.format == AV_PIX_FMT_YUV420P || f.format == AV_PIX_FMT_YUVJ420P || f.format == AV_PIX_FMT_NV12);
      if (ok) {
        if (f.format == AV_PIX_FMT_NV12)
          NV12ToBgra(f.data[0], f.data[1], f.linesize[0], ADest, ADestStride, FW, FH);
        else
          I420ToBgra(f.data[0], f.linesize[0], f.data[1], f.data[2], f.linesize[1], ADest, ADestStride, FW, FH);
        AShown = true;
      }
      av_frame_unref(FFrame.get());
      if (!ok) return false;
    }
  }

  const int FW, FH;
  std::atomic<int> FErrors{0};  // errors the library reported about the current data (LogSink); outlives FCtx
  TContextPtr FCtx;
  TFramePtr FFrame;
  TPacketPtr FPacket;
  bool FWaitKey = true;
};

class TFfmpegCodecs final : public IVideoCodecs {
 public:
  bool CanDecode() override { return avcodec_find_decoder(AV_CODEC_ID_H264) != nullptr; }
  std::unique_ptr<TH264Encoder> CreateEncoder(int AWidth, int AHeight, int AFps, int AKbps) override {
    return std::make_unique<TH264Encoder>(AWidth, AHeight, AFps, AKbps, FfmpegEngines());
  }
  std::unique_ptr<IH264Decoder> CreateDecoder(int AWidth, int AHeight, std::int64_t AMaxPixels) override {
    return CreateFfmpegDecoder(AWidth, AHeight, AMaxPixels);
  }
  std::unique_ptr<IMP4Recorder> CreateRecorder(const std::string& APath, int AWidth, int AHeight, int AFps) override {
    std::string path;
    auto sink = CreateFileSink(APath, path);
    try {
      return CreateMP4Recorder(std::move(sink), path, AWidth, AHeight, AFps);
    } catch (...) {
      ::unlink(path.c_str());  // no empty file left behind
      throw;
    }
  }
};

}  // namespace

TEngineList FfmpegEngines() {
  TEngineList list;
  list.HwNote = ProbeHardware().Note;
  list.Software.push_back(
      {"libx264 (software)", false, [](const TEncoderParams& p) { return std::make_unique<TX264Engine>(p); }});
  list.Software.push_back(OpenH264Engine());
  return list;
}

std::unique_ptr<IH264Decoder> CreateFfmpegDecoder(int AWidth, int AHeight, std::int64_t AMaxPixels) {
  return std::make_unique<TAvDecoder>(AWidth, AHeight, AMaxPixels);
}

std::shared_ptr<IVideoCodecs> CreateFfmpegCodecs() { return std::make_shared<TFfmpegCodecs>(); }

}  // namespace tovik
