#include "media/ffmpeg/TovikMP4_ffmpeg.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/mem.h>
}

#include "media/TovikPicture.h"
#include "media/ffmpeg/TovikAv.h"

namespace tovik {

namespace {

class TFileSink final : public IByteSink {
 public:
  explicit TFileSink(int AFd) : FFd(AFd) {}
  ~TFileSink() override {
    if (FFd >= 0) ::close(FFd);
  }
  bool Write(const std::uint8_t* AData, std::size_t ALen) override {
    while (ALen > 0) {
      const ssize_t n = ::write(FFd, AData, ALen);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return Fail("write");
      AData += n;
      ALen -= static_cast<std::size_t>(n);
    }
    return true;
  }
  bool Seek(std::int64_t APos) override { return ::lseek(FFd, APos, SEEK_SET) >= 0 || Fail("seek"); }
  bool Close() override {
    const int fd = FFd;
    FFd = -1;
    return fd < 0 || ::close(fd) == 0 || Fail("close");
  }
  std::string Error() const override { return FError; }

 private:
  bool Fail(const char* AStep) {
    FError = std::string(AStep) + ": " + std::strerror(errno);
    return false;
  }
  int FFd;
  std::string FError;
};

struct TFormatFree {
  void operator()(AVFormatContext* p) const { avformat_free_context(p); }
};
struct TAvioFree {
  void operator()(AVIOContext* p) const {
    av_freep(&p->buffer);
    avio_context_free(&p);
  }
};

constexpr std::size_t kMaxQueued = 4;  // pictures waiting for the worker
constexpr int kIoBuffer = 1 << 16;

class TMP4Recorder final : public IMP4Recorder {
 public:
  TMP4Recorder(std::unique_ptr<IByteSink> ASink, const std::string& APath, int AWidth, int AHeight, int AFps,
               std::function<void()> AWorkerGate)
      : FSink(std::move(ASink)), FPath(APath), FWorkerGate(std::move(AWorkerGate)) {
    FW = AWidth & ~1;
    FH = AHeight & ~1;
    if (FW < 16 || FH < 16) throw ETovikMF("Picture too small to record");
    FFps = AFps < 1 ? 10 : std::min(AFps, 120);
    const std::int64_t kbps = std::max<std::int64_t>(1000, std::int64_t{FW} * FH * FFps / 1000 / 5);
    TX264Setup setup;
    setup.W = FW;
    setup.H = FH;
    setup.Fps = FFps;
    setup.Kbps = static_cast<int>(std::min<std::int64_t>(kbps, 200000));
    setup.Screen = false;
    FCtx = OpenX264(setup);
    FFrame = MakeNV12Frame(FW, FH);
    FPacket.reset(av_packet_alloc());
    if (!FPacket) throw ETovikMF("av_packet_alloc failed");

    AVFormatContext* fmt = nullptr;
    int status = avformat_alloc_output_context2(&fmt, nullptr, "mp4", nullptr);
    if (status < 0 || !fmt) throw ETovikMF(MFFailed("avformat_alloc_output_context2", status));
    FFormat.reset(fmt);
    auto* buffer = static_cast<unsigned char*>(av_malloc(kIoBuffer));
    if (!buffer) throw ETovikMF("av_malloc failed");
    FAvio.reset(avio_alloc_context(buffer, kIoBuffer, 1, this, nullptr, &WritePacket, &SeekPacket));
    if (!FAvio) {
      av_free(buffer);
      throw ETovikMF("avio_alloc_context failed");
    }
    FFormat->pb = FAvio.get();
    FFormat->flags |= AVFMT_FLAG_CUSTOM_IO;
    FStream = avformat_new_stream(FFormat.get(), nullptr);
    if (!FStream) throw ETovikMF("avformat_new_stream failed");
    status = avcodec_parameters_from_context(FStream->codecpar, FCtx.get());
    if (status < 0) throw ETovikMF(MFFailed("avcodec_parameters_from_context", status));
    FStream->time_base = AVRational{1, FFps};
    FStream->avg_frame_rate = AVRational{FFps, 1};
    AVDictionary* opts = nullptr;
    // Fragments of about a second after an empty header: what was written before a crash plays.
    av_dict_set(&opts, "movflags", "empty_moov+default_base_moof", 0);
    av_dict_set(&opts, "frag_duration", "1000000", 0);
    status = avformat_write_header(FFormat.get(), &opts);
    av_dict_free(&opts);
    if (status < 0) throw ETovikMF(Reason(MFFailed("avformat_write_header", status)));
    FWorker = std::thread([this] { Work(); });
  }

  ~TMP4Recorder() override { Finish(); }

  std::string AddFrame(const std::uint8_t* ABgra, std::ptrdiff_t AStride, std::int64_t ATimeMs) override {
    if (FFinished || !ABgra) return "";
    {
      std::lock_guard<std::mutex> l(FLock);
      if (!FError.empty()) return FError;
    }
    // The frame time nearest to when the picture was shown.
    const std::int64_t index = (std::max<std::int64_t>(ATimeMs, 0) * FFps + 500) / 1000;
    if (index < FNextIndex) return "";  // this frame's time already has its picture
    TJob job;
    job.Index = index;
    job.Pixels.resize(static_cast<std::size_t>(FW) * FH * 4);
    for (int y = 0; y < FH; ++y)
      std::memcpy(job.Pixels.data() + static_cast<std::size_t>(y) * FW * 4, ABgra + y * AStride,
                  static_cast<std::size_t>(FW) * 4);
    {
      std::lock_guard<std::mutex> l(FLock);
      // The worker is behind: the newest waiting picture gives way to this one (its time is filled
      // by repeating the picture before it, see Write), so the latest picture always gets written.
      if (FQueue.size() >= kMaxQueued)
        FQueue.back() = std::move(job);
      else
        FQueue.push_back(std::move(job));
    }
    FNextIndex = index + 1;
    FWake.notify_all();
    return "";
  }

  std::string Finish() override {
    if (FFinished) return "";
    FFinished = true;
    {
      std::lock_guard<std::mutex> l(FLock);
      FStop = true;
    }
    FWake.notify_all();
    if (FWorker.joinable()) FWorker.join();
    if (FError.empty()) {
      // The encoder's last pictures, then the end of the file.
      try {
        Encode(nullptr);
      } catch (const std::exception& e) {
        FError = e.what();
      }
      const int status = av_write_trailer(FFormat.get());
      if (status < 0 && FError.empty()) FError = Reason(MFFailed("av_write_trailer", status));
      avio_flush(FAvio.get());
      if (FError.empty() && FAvio->error < 0) FError = Reason(MFFailed("avio_flush", FAvio->error));
    }
    if (!FSink->Close() && FError.empty()) FError = FSink->Error();
    return FError;
  }

  void Drain() override {
    std::unique_lock<std::mutex> l(FLock);
    FIdle.wait(l, [&] { return FQueue.empty() && !FBusy; });
  }

  std::string Path() const override { return FPath; }
  int Width() const override { return FW; }
  int Height() const override { return FH; }

 private:
  struct TJob {
    std::int64_t Index = 0;
    std::vector<std::uint8_t> Pixels;
  };

  static int WritePacket(void* AOpaque, std::uint8_t* ABuf, int ASize) {
    auto* self = static_cast<TMP4Recorder*>(AOpaque);
    return self->FSink->Write(ABuf, static_cast<std::size_t>(ASize)) ? ASize : AVERROR(EIO);
  }
  static std::int64_t SeekPacket(void* AOpaque, std::int64_t AOffset, int AWhence) {
    auto* self = static_cast<TMP4Recorder*>(AOpaque);
    if (AWhence != SEEK_SET) return AVERROR(ENOSYS);
    return self->FSink->Seek(AOffset) ? AOffset : AVERROR(EIO);
  }

  // A library failure, with the sink's own reason when the sink failed.
  std::string Reason(const std::string& AStep) const {
    const std::string sink = FSink->Error();
    return sink.empty() ? AStep : sink;
  }

  void Work() {
    for (;;) {
      if (FWorkerGate) FWorkerGate();
      TJob job;
      {
        std::unique_lock<std::mutex> l(FLock);
        FBusy = false;
        FIdle.notify_all();
        FWake.wait(l, [&] { return FStop || !FQueue.empty(); });
        if (FQueue.empty()) return;
        job = std::move(FQueue.front());
        FQueue.pop_front();
        FBusy = true;
      }
      if (!FError.empty()) continue;
      std::string error;
      try {
        Write(job);
      } catch (const std::exception& e) {
        error = e.what();
      }
      if (!error.empty()) {
        std::lock_guard<std::mutex> l(FLock);
        FError = error;
      }
    }
  }

  // Repeats the last picture for the frame times between it and this one, then writes this one. At most
  // two seconds are repeated, whether the gap is a pause in the pictures or pictures that gave way
  // while the worker was behind (so a worker that fell behind catches up): beyond that the last frame
  // simply lasts longer, since the muxer takes a frame's duration from the next frame's time (also
  // at the end of a fragment). The file never has time without a picture; it only has fewer frames.
  void Write(const TJob& AJob) {
    if (FLastIndex >= 0) {
      const std::int64_t gap = std::min<std::int64_t>(AJob.Index - FLastIndex - 1, FFps * 2);
      for (std::int64_t i = 1; i <= gap; ++i) {
        FFrame->pts = FLastIndex + i;
        Encode(FFrame.get());
      }
    }
    int status = av_frame_make_writable(FFrame.get());
    if (status < 0) throw ETovikMF(MFFailed("av_frame_make_writable", status));
    BgraToNV12Planes(AJob.Pixels.data(), FW * 4, FW, FH, FFrame->data[0], FFrame->linesize[0], FFrame->data[1],
                     FFrame->linesize[1], FW, FH);
    FFrame->pts = AJob.Index;
    Encode(FFrame.get());
    FLastIndex = AJob.Index;
  }

  // Sends one picture (nullptr: the end) and writes what comes out. Worker thread, or the owner's
  // after the worker ended.
  void Encode(AVFrame* AFrame) {
    int status = avcodec_send_frame(FCtx.get(), AFrame);
    if (status < 0) throw ETovikMF(MFFailed("avcodec_send_frame", status));
    for (;;) {
      status = avcodec_receive_packet(FCtx.get(), FPacket.get());
      if (status == AVERROR(EAGAIN) || status == AVERROR_EOF) return;
      if (status < 0) throw ETovikMF(MFFailed("avcodec_receive_packet", status));
      FPacket->duration = 1;
      av_packet_rescale_ts(FPacket.get(), FCtx->time_base, FStream->time_base);
      FPacket->stream_index = FStream->index;
      status = av_write_frame(FFormat.get(), FPacket.get());
      av_packet_unref(FPacket.get());
      if (status < 0) throw ETovikMF(Reason(MFFailed("av_write_frame", status)));
    }
  }

  std::unique_ptr<IByteSink> FSink;
  std::string FPath;
  std::function<void()> FWorkerGate;  // called by the worker only
  int FW = 0, FH = 0, FFps = 15;
  TContextPtr FCtx;
  TFramePtr FFrame;
  TPacketPtr FPacket;
  std::unique_ptr<AVFormatContext, TFormatFree> FFormat;
  std::unique_ptr<AVIOContext, TAvioFree> FAvio;
  AVStream* FStream = nullptr;  // owned by FFormat

  // Owner's thread.
  bool FFinished = false;
  std::int64_t FNextIndex = 0;  // the first frame time still without a picture
  // Worker (and the owner after the worker ended).
  std::int64_t FLastIndex = -1;
  // Shared under FLock.
  std::mutex FLock;
  std::condition_variable FWake, FIdle;
  std::deque<TJob> FQueue;
  bool FStop = false;
  bool FBusy = false;
  std::string FError;  // written under FLock by the worker; read by the owner after AddFrame's check
  std::thread FWorker;
};

}  // namespace

std::unique_ptr<IByteSink> CreateFileSink(const std::string& APath, std::string& AActualPath) {
  const std::size_t slash = APath.find_last_of('/');
  const std::size_t dot = APath.find_last_of('.');
  const bool hasExt = dot != std::string::npos && (slash == std::string::npos || dot > slash);
  const std::string stem = hasExt ? APath.substr(0, dot) : APath;
  const std::string ext = hasExt ? APath.substr(dot) : std::string();
  for (int n = 1; n < 100; ++n) {
    const std::string path = n == 1 ? APath : stem + " (" + std::to_string(n) + ")" + ext;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd >= 0) {
      AActualPath = path;
      return std::make_unique<TFileSink>(fd);
    }
    if (errno != EEXIST) throw ETovikMF(std::string("Cannot create the file: ") + std::strerror(errno));
  }
  throw ETovikMF("Cannot create the file: too many recordings with this name");
}

std::unique_ptr<IMP4Recorder> CreateMP4Recorder(std::unique_ptr<IByteSink> ASink, const std::string& APath,
                                                int AWidth, int AHeight, int AFps,
                                                std::function<void()> AWorkerGate) {
  return std::make_unique<TMP4Recorder>(std::move(ASink), APath, AWidth, AHeight, AFps, std::move(AWorkerGate));
}

}  // namespace tovik
