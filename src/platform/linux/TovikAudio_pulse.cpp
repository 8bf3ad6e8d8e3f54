// ILoopbackCapture and IAudioPlayer over PulseAudio (libpulse; PipeWire serves the same protocol).
//
// Each object runs its own threaded main loop: the record stream's read callback converts what the
// default output's monitor delivers (as 32-bit floats in the output's own rate and channels) into
// mu-law packets and pushes them into a bounded ring that Poll() drains; the playback stream's write
// callback pulls 16-bit samples from the player's queue, silence while it waits. Lock order: the
// main loop's lock may be held while FLock is taken (callbacks), never the other way round; the
// caller's thread takes FLock alone.
#include <pulse/pulseaudio.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>

#include "media/TovikAudio.h"

namespace tovik {

namespace {

struct TLoopDeleter {
  void operator()(pa_threaded_mainloop* m) const {
    pa_threaded_mainloop_stop(m);
    pa_threaded_mainloop_free(m);
  }
};
struct TContextDeleter {
  void operator()(pa_context* c) const {
    pa_context_disconnect(c);
    pa_context_unref(c);
  }
};
struct TStreamDeleter {
  void operator()(pa_stream* s) const { pa_stream_unref(s); }
};
struct TOperationDeleter {
  void operator()(pa_operation* o) const { pa_operation_unref(o); }
};
using TLoopPtr = std::unique_ptr<pa_threaded_mainloop, TLoopDeleter>;
using TContextPtr = std::unique_ptr<pa_context, TContextDeleter>;
using TStreamPtr = std::unique_ptr<pa_stream, TStreamDeleter>;
using TOperationPtr = std::unique_ptr<pa_operation, TOperationDeleter>;

// Holds the main loop's lock for a scope.
class TLoopLock {
 public:
  explicit TLoopLock(pa_threaded_mainloop* m) : FLoop(m) { pa_threaded_mainloop_lock(m); }
  ~TLoopLock() { pa_threaded_mainloop_unlock(FLoop); }
  TLoopLock(const TLoopLock&) = delete;
  TLoopLock& operator=(const TLoopLock&) = delete;

 private:
  pa_threaded_mainloop* FLoop;
};

// One connection to the sound server with its own thread. The stream, when there is one, is ended
// under the loop's lock before the thread stops; then the handles go in reverse order.
class TPulseClient {
 public:
  // Connects; throws std::runtime_error(AFailText) when no server answers.
  TPulseClient(const std::string& AServer, const char* AFailText) {
    try {
      Connect(AServer, AFailText);
    } catch (...) {
      Close();
      throw;
    }
  }
  ~TPulseClient() { Close(); }
  TPulseClient(const TPulseClient&) = delete;
  TPulseClient& operator=(const TPulseClient&) = delete;

  // Ends the stream and stops the thread; no callback runs after this returns. Then the handles go.
  void Close() {
    if (FLoop) {
      {
        TLoopLock l(FLoop.get());
        if (FStream) {
          pa_stream_set_state_callback(FStream.get(), nullptr, nullptr);
          pa_stream_set_read_callback(FStream.get(), nullptr, nullptr);
          pa_stream_set_write_callback(FStream.get(), nullptr, nullptr);
          pa_stream_disconnect(FStream.get());
        }
        if (FContext) pa_context_set_state_callback(FContext.get(), nullptr, nullptr);
      }
      pa_threaded_mainloop_stop(FLoop.get());
    }
    FStream.reset();
    FContext.reset();
    FLoop.reset();
  }

 private:
  void Connect(const std::string& AServer, const char* AFailText) {
    FLoop.reset(pa_threaded_mainloop_new());
    if (!FLoop) throw std::runtime_error(AFailText);
    FContext.reset(pa_context_new(pa_threaded_mainloop_get_api(FLoop.get()), "Tovik"));
    if (!FContext) throw std::runtime_error(AFailText);
    pa_context_set_state_callback(FContext.get(), &TPulseClient::Signal, FLoop.get());
    if (pa_threaded_mainloop_start(FLoop.get()) < 0) throw std::runtime_error(AFailText);
    TLoopLock l(FLoop.get());
    if (pa_context_connect(FContext.get(), AServer.empty() ? nullptr : AServer.c_str(), PA_CONTEXT_NOAUTOSPAWN,
                           nullptr) < 0)
      throw std::runtime_error(AFailText);
    for (;;) {
      const pa_context_state_t st = pa_context_get_state(FContext.get());
      if (st == PA_CONTEXT_READY) break;
      if (!PA_CONTEXT_IS_GOOD(st)) throw std::runtime_error(AFailText);
      pa_threaded_mainloop_wait(FLoop.get());
    }
  }

 public:

  pa_threaded_mainloop* Loop() const { return FLoop.get(); }
  pa_context* Context() const { return FContext.get(); }
  pa_stream* Stream() const { return FStream.get(); }

  // Runs an introspection request and waits for its answer; the loop's lock is held.
  template <typename TStart>
  void Await(TStart AStart) {
    TOperationPtr op(AStart());
    if (!op) return;
    while (pa_operation_get_state(op.get()) == PA_OPERATION_RUNNING) pa_threaded_mainloop_wait(FLoop.get());
  }

  // Makes the stream; the loop's lock is held. Throws AFailText when it cannot be made.
  void NewStream(const pa_sample_spec& ASpec, const char* AFailText) {
    FStream.reset(pa_stream_new(FContext.get(), "Tovik sound", &ASpec, nullptr));
    if (!FStream) throw std::runtime_error(AFailText);
  }
  // Waits until the stream runs (the loop's lock is held); throws AFailText when it fails.
  void AwaitStream(const char* AFailText) {
    for (;;) {
      const pa_stream_state_t st = pa_stream_get_state(FStream.get());
      if (st == PA_STREAM_READY) return;
      if (!PA_STREAM_IS_GOOD(st)) throw std::runtime_error(AFailText);
      pa_threaded_mainloop_wait(FLoop.get());
    }
  }

  static void Signal(pa_context*, void* ALoop) {
    pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(ALoop), 0);
  }

 private:
  TLoopPtr FLoop;
  TContextPtr FContext;
  TStreamPtr FStream;
};

// What the record stream reads: the monitor source of the chosen output and its sample layout.
struct TSourceChoice {
  std::string Source;
  pa_sample_spec Spec{};
  bool Found = false;
  bool HasDefaultSink = false;
};

// ---- capture --------------------------------------------------------------------------------------

class TPulseCapture final : public ILoopbackCapture {
 public:
  explicit TPulseCapture(const TSoundEndpoint& AWhere) : FClient(AWhere.Server, "No audio devices") {
    TLoopLock l(FClient.Loop());
    TSourceChoice choice;
    std::pair<TSourceChoice*, pa_threaded_mainloop*> found{&choice, FClient.Loop()};
    if (AWhere.Device.empty()) {
      // The default output, then its monitor source.
      std::string sink;
      std::pair<std::string*, pa_threaded_mainloop*> arg{&sink, FClient.Loop()};
      FClient.Await([&] {
        return pa_context_get_server_info(
            FClient.Context(),
            [](pa_context*, const pa_server_info* i, void* u) {
              auto* p = static_cast<std::pair<std::string*, pa_threaded_mainloop*>*>(u);
              if (i && i->default_sink_name) *p->first = i->default_sink_name;
              pa_threaded_mainloop_signal(p->second, 0);
            },
            &arg);
      });
      if (sink.empty()) throw std::runtime_error("No playback device");
      FClient.Await([&] {
        return pa_context_get_sink_info_by_name(
            FClient.Context(), sink.c_str(),
            [](pa_context*, const pa_sink_info* i, int eol, void* u) {
              auto* p = static_cast<std::pair<TSourceChoice*, pa_threaded_mainloop*>*>(u);
              if (!eol && i && i->monitor_source_name) {
                p->first->Source = i->monitor_source_name;
                p->first->Spec = i->sample_spec;
                p->first->Found = true;
              }
              pa_threaded_mainloop_signal(p->second, 0);
            },
            &found);
      });
      if (!choice.Found) throw std::runtime_error("No playback device");
    } else {
      FClient.Await([&] {
        return pa_context_get_source_info_by_name(
            FClient.Context(), AWhere.Device.c_str(),
            [](pa_context*, const pa_source_info* i, int eol, void* u) {
              auto* p = static_cast<std::pair<TSourceChoice*, pa_threaded_mainloop*>*>(u);
              if (!eol && i && i->name) {
                p->first->Source = i->name;
                p->first->Spec = i->sample_spec;
                p->first->Found = true;
              }
              pa_threaded_mainloop_signal(p->second, 0);
            },
            &found);
      });
      if (!choice.Found) throw std::runtime_error("No playback device");
    }

    // The output's own rate and channels, as floats: the mixdown and resampling are ours.
    pa_sample_spec spec{PA_SAMPLE_FLOAT32LE, choice.Spec.rate, choice.Spec.channels};
    const TSoundFormat format{spec.channels, static_cast<int>(spec.rate), 4 * spec.channels, 32, true};
    if (!pa_sample_spec_valid(&spec) || !SoundFormatOk(format)) throw std::runtime_error("Unsupported audio format");
    FConverter = std::make_unique<TSoundConverter>(format);

    FClient.NewStream(spec, "Cannot record the playback device");
    pa_stream* s = FClient.Stream();
    pa_stream_set_state_callback(
        s, [](pa_stream*, void* u) { pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(u), 0); },
        FClient.Loop());
    pa_stream_set_read_callback(
        s, [](pa_stream* st, std::size_t, void* u) { static_cast<TPulseCapture*>(u)->Read(st); }, this);
    pa_buffer_attr attr{};
    attr.maxlength = static_cast<std::uint32_t>(-1);
    attr.fragsize = static_cast<std::uint32_t>(pa_usec_to_bytes(20000, &spec));  // one packet's worth at a time
    attr.tlength = attr.prebuf = attr.minreq = static_cast<std::uint32_t>(-1);
    if (pa_stream_connect_record(s, choice.Source.c_str(), &attr, PA_STREAM_ADJUST_LATENCY) < 0)
      throw std::runtime_error("Cannot record the playback device");
    FClient.AwaitStream("Cannot start recording");
    pa_stream_set_state_callback(
        s,
        [](pa_stream* st, void* u) {
          if (!PA_STREAM_IS_GOOD(pa_stream_get_state(st))) static_cast<TPulseCapture*>(u)->FFailed = true;
        },
        this);
  }

  std::vector<TBytes> Poll() override {
    if (FFailed) throw std::runtime_error("Cannot record the playback device");
    std::lock_guard<std::mutex> l(FLock);
    return FRing.TakeAll();
  }

 private:
  // On the loop's thread: everything readable now, converted and handed over.
  void Read(pa_stream* s) {
    const auto align = static_cast<std::size_t>(FConverter->Format().BlockAlign);
    while (pa_stream_readable_size(s) > 0) {
      const void* data = nullptr;
      std::size_t n = 0;
      if (pa_stream_peek(s, &data, &n) < 0) {
        FFailed = true;
        return;
      }
      if (n == 0) break;
      if (data)
        FConverter->Feed({static_cast<const std::uint8_t*>(data), n});
      else
        FConverter->FeedSilence(n / align);  // a hole: silence
      pa_stream_drop(s);
    }
    auto packets = FConverter->TakePackets();
    if (packets.empty()) return;
    std::lock_guard<std::mutex> l(FLock);
    for (auto& p : packets) FRing.Push(std::move(p));
  }

  static constexpr std::size_t kRingPackets = 50;  // one second waits for Poll at most

  // What the loop's callbacks use comes first, so it is destroyed after FClient has stopped them.
  std::unique_ptr<TSoundConverter> FConverter;  // used on the loop's thread only
  std::mutex FLock;                             // guards FRing
  TSoundPacketRing FRing{kRingPackets};
  std::atomic<bool> FFailed{false};
  TPulseClient FClient;
};

// ---- playback -------------------------------------------------------------------------------------

class TPulsePlayer final : public IAudioPlayer {
 public:
  explicit TPulsePlayer(const TSoundEndpoint& AWhere) : FClient(AWhere.Server, "Cannot play sound") {
    TLoopLock l(FClient.Loop());
    const pa_sample_spec spec{PA_SAMPLE_S16LE, kSoundRate, 1};
    FClient.NewStream(spec, "Cannot play sound");
    pa_stream* s = FClient.Stream();
    pa_stream_set_state_callback(
        s, [](pa_stream*, void* u) { pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(u), 0); },
        FClient.Loop());
    pa_stream_set_write_callback(
        s, [](pa_stream* st, std::size_t n, void* u) { static_cast<TPulsePlayer*>(u)->Write(st, n); }, this);
    pa_buffer_attr attr{};
    attr.maxlength = static_cast<std::uint32_t>(-1);
    attr.tlength = static_cast<std::uint32_t>(pa_usec_to_bytes(kServerBufferUs, &spec));
    attr.minreq = static_cast<std::uint32_t>(pa_usec_to_bytes(10000, &spec));
    attr.prebuf = static_cast<std::uint32_t>(-1);
    attr.fragsize = static_cast<std::uint32_t>(-1);
    if (pa_stream_connect_playback(s, AWhere.Device.empty() ? nullptr : AWhere.Device.c_str(), &attr,
                                   PA_STREAM_ADJUST_LATENCY, nullptr, nullptr) < 0)
      throw std::runtime_error("Cannot play sound");
    FClient.AwaitStream("Cannot play sound");
  }

  void Play(std::span<const std::uint8_t> APacket) override {
    std::lock_guard<std::mutex> l(FLock);
    FQueue.Push(APacket);
  }
  void Clear() override {
    std::lock_guard<std::mutex> l(FLock);
    FQueue.Clear();
  }
  std::size_t QueuedPackets() const override {
    std::lock_guard<std::mutex> l(FLock);
    return FQueue.Packets();
  }
  std::uint64_t Underruns() const override {
    std::lock_guard<std::mutex> l(FLock);
    return FQueue.Underruns();
  }

 private:
  // On the loop's thread: what the server asks for, from the queue (silence while it waits).
  void Write(pa_stream* s, std::size_t ABytes) {
    void* data = nullptr;
    std::size_t n = ABytes;
    if (pa_stream_begin_write(s, &data, &n) < 0 || !data) return;
    n -= n % 2;
    {
      std::lock_guard<std::mutex> l(FLock);
      FQueue.Pull({static_cast<std::int16_t*>(data), n / 2});
    }
    pa_stream_write(s, data, n, nullptr, 0, PA_SEEK_RELATIVE);
  }

  static constexpr pa_usec_t kServerBufferUs = 30000;  // what the server holds ahead of the speaker

  // What the write callback uses comes first, so it is destroyed after FClient has stopped it.
  mutable std::mutex FLock;  // guards FQueue
  TPlayerQueue FQueue;
  TPulseClient FClient;
};

}  // namespace

std::unique_ptr<ILoopbackCapture> ILoopbackCapture::Create(const TSoundEndpoint& AWhere) {
  return std::make_unique<TPulseCapture>(AWhere);
}

std::unique_ptr<IAudioPlayer> IAudioPlayer::Create(const TSoundEndpoint& AWhere) {
  return std::make_unique<TPulsePlayer>(AWhere);
}

}  // namespace tovik
