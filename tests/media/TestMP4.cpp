// Session recordings: the files are opened with libavformat and checked (frame count, duration, size,
// decodable pictures).
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <functional>
#include <mutex>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "media/TovikCapture.h"
#include "media/ffmpeg/TovikMF_ffmpeg.h"
#include "media/ffmpeg/TovikMP4_ffmpeg.h"
#include "tests/support/SyntheticScreen.h"

namespace fs = std::filesystem;

namespace tovik {
namespace {

struct TFileFacts {
  bool Opened = false;
  int W = 0, H = 0;
  int Packets = 0;
  int Decoded = 0;  // pictures the h264 decoder gave without error
  double Seconds = 0;  // from the first picture's start to the last picture's end
  int Holes = 0;       // fragments that do not start where the one before them ended
};

// Reads the fragments' own tables (libavformat's reader reports one frame time for the last picture of
// a fragment whatever the file says): a fragment's start (tfdt) against the end of the one before it
// (its start plus its pictures' durations from trun, tfhd or trex).
int FragmentHoles(const std::string& APath) {
  std::ifstream in(APath, std::ios::binary);
  const std::string d((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  auto u32 = [&](std::size_t p) -> std::uint64_t {
    if (p + 4 > d.size()) return 0;
    return std::uint64_t(std::uint8_t(d[p])) << 24 | std::uint64_t(std::uint8_t(d[p + 1])) << 16 |
           std::uint64_t(std::uint8_t(d[p + 2])) << 8 | std::uint8_t(d[p + 3]);
  };
  int holes = 0;
  std::uint64_t trexDuration = 0, end = 0, start = 0, duration = 0, defaultDuration = 0;
  bool any = false;
  std::function<void(std::size_t, std::size_t)> walk = [&](std::size_t AFrom, std::size_t ATo) {
    for (std::size_t p = AFrom; p + 8 <= ATo;) {
      const std::uint64_t size = u32(p);
      if (size < 8 || p + size > ATo) return;
      const std::string type = d.substr(p + 4, 4);
      const std::size_t body = p + 8;
      const std::uint32_t flags = std::uint32_t(u32(body) & 0xffffff);
      if (type == "moov" || type == "mvex" || type == "moof") {
        walk(body, p + size);
      } else if (type == "traf") {
        defaultDuration = trexDuration;
        duration = 0;
        walk(body, p + size);
        if (any && start != end) ++holes;
        end = start + duration;
        any = true;
      } else if (type == "trex") {
        trexDuration = u32(body + 12);
      } else if (type == "tfhd") {
        const std::size_t q = body + 8 + (flags & 1 ? 8 : 0) + (flags & 2 ? 4 : 0);
        if (flags & 8) defaultDuration = u32(q);
      } else if (type == "tfdt") {
        start = u32(body) >> 24 ? (u32(body + 4) << 32 | u32(body + 8)) : u32(body + 4);
      } else if (type == "trun") {
        const std::uint64_t n = u32(body + 4);
        std::size_t q = body + 8 + (flags & 1 ? 4 : 0) + (flags & 4 ? 4 : 0);
        const std::size_t step =
            4 * (((flags & 0x100) != 0) + ((flags & 0x200) != 0) + ((flags & 0x400) != 0) + ((flags & 0x800) != 0));
        if (!(flags & 0x100)) duration += n * defaultDuration;
        for (std::uint64_t k = 0; (flags & 0x100) && k < n && q + 4 <= p + size; ++k, q += step) duration += u32(q);
      }
      p += size;
    }
  };
  walk(0, d.size());
  return holes;
}

TFileFacts Inspect(const std::string& APath) {
  TFileFacts f;
  AVFormatContext* fmt = nullptr;
  if (avformat_open_input(&fmt, APath.c_str(), nullptr, nullptr) < 0) return f;
  if (avformat_find_stream_info(fmt, nullptr) < 0 || fmt->nb_streams != 1) {
    avformat_close_input(&fmt);
    return f;
  }
  f.Opened = true;
  AVStream* st = fmt->streams[0];
  f.W = st->codecpar->width;
  f.H = st->codecpar->height;
  const AVCodec* codec = avcodec_find_decoder(st->codecpar->codec_id);
  AVCodecContext* dec = avcodec_alloc_context3(codec);
  avcodec_parameters_to_context(dec, st->codecpar);
  avcodec_open2(dec, codec, nullptr);
  AVPacket* pkt = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  std::int64_t first = INT64_MAX, end = INT64_MIN;
  auto drain = [&] {
    while (avcodec_receive_frame(dec, frame) == 0) {
      if ((frame->flags & AV_FRAME_FLAG_CORRUPT) == 0) ++f.Decoded;
      av_frame_unref(frame);
    }
  };
  while (av_read_frame(fmt, pkt) >= 0) {
    ++f.Packets;
    first = std::min(first, pkt->pts);
    end = std::max(end, pkt->pts + pkt->duration);
    avcodec_send_packet(dec, pkt);
    drain();
    av_packet_unref(pkt);
  }
  avcodec_send_packet(dec, nullptr);
  drain();
  f.Holes = FragmentHoles(APath);
  if (f.Packets > 0) f.Seconds = double(end - first) * av_q2d(st->time_base);
  av_frame_free(&frame);
  av_packet_free(&pkt);
  avcodec_free_context(&dec);
  avformat_close_input(&fmt);
  return f;
}

// Holds a recorder's worker before it takes a picture until Open(), so that pictures wait and give way
// exactly as they do when the machine is busy.
class TWorkerGate {
 public:
  std::function<void()> Hook() {
    return [this] {
      std::unique_lock<std::mutex> l(FLock);
      // Bounded: a test that forgets to open the gate fails on its counts instead of hanging.
      FWake.wait_for(l, std::chrono::seconds(60), [&] { return FOpen; });
    };
  }
  void Open() {
    {
      std::lock_guard<std::mutex> l(FLock);
      FOpen = true;
    }
    FWake.notify_all();
  }

 private:
  std::mutex FLock;
  std::condition_variable FWake;
  bool FOpen = false;
};

struct TRecorderFixture : ::testing::Test {
  fs::path Dir;
  std::shared_ptr<IVideoCodecs> Codecs = CreateFfmpegCodecs();
  TBitmap32 Pic;
  void SetUp() override {
    Dir = fs::temp_directory_path() / ("tovik-mp4-" + std::to_string(::getpid()));
    fs::create_directories(Dir);
  }
  void TearDown() override { fs::remove_all(Dir); }
  // Feeds pictures shown at the given times (ms); the picture changes with every call. AKeepUp waits for
  // the worker after each picture, as a recorder that keeps up with the screen (no picture gives way).
  std::string Feed(IMP4Recorder& ARec, const std::vector<std::int64_t>& ATimes, bool AKeepUp = false) {
    Pic.SetSize(ARec.Width(), ARec.Height());
    int n = 0;
    for (std::int64_t t : ATimes) {
      test::PaintDesktop(Pic.Row(0), Pic.Stride(), Pic.Width(), Pic.Height(), n++);
      const std::string e = ARec.AddFrame(Pic.Row(0), Pic.Stride(), t);
      if (!e.empty()) return e;
      if (AKeepUp) ARec.Drain();
    }
    return "";
  }
};

// Frame times follow the wall clock: a steady timer, one that stalls and bursts, and one slower than
// the frame rate all give 15 pictures a second for as long as the recording lasted. A pause over two
// seconds is repeated for two seconds, then its last frame lasts until the next picture; so is the time
// of pictures that gave way while the worker was behind (held here, so that the queue fills and the
// newest waiting picture gives way on purpose). Either way the file has no time without a picture.
TEST_F(TRecorderFixture, FramesFollowTheClock) {
  std::vector<std::int64_t> steady, bursty, slow;
  for (int k = 0; k < 60; ++k) steady.push_back(k * 1000 / 15);
  for (std::int64_t t = 0; t < 3950; t += (t / 500) % 2 ? 10 : 450) bursty.push_back(t);
  bursty.push_back(3950);
  for (std::int64_t t = 0; t < 4000; t += 180) slow.push_back(t);
  slow.push_back(3950);
  const std::vector<std::int64_t> pause = {0, 66, 133, 6000, 6066};
  struct TCase {
    const char* Name;
    const std::vector<std::int64_t>& Times;
    int W, H, WantW, WantH;  // sizes are rounded down to even
    double Seconds;
    int Packets;      // the worker keeping up
    int HeldPackets;  // the worker held: the first three pictures wait, the last one takes the fourth place
  } const cases[] = {
      // 0 1 2, 30 repeated, 59
      {"steady 66 ms", steady, 1366, 769, 1366, 768, 4.0, 60, 3 + 30 + 1},
      // 0, 6 repeated, 7, 6 repeated, 14, 30 repeated, 59
      {"stalls and bursts", bursty, 641, 360, 640, 360, 4.0, 60, 1 + 6 + 1 + 6 + 1 + 30 + 1},
      // 0, 2 repeated, 3, 1 repeated, 5, 30 repeated, 59
      {"slower than the rate", slow, 640, 360, 640, 360, 4.0, 60, 1 + 2 + 1 + 1 + 1 + 30 + 1},
      // 0 1 2, 30 repeated, 90 91 (held: 91 takes 90's place)
      {"a pause of 5.8 s", pause, 320, 240, 320, 240, 92.0 / 15, 3 + 30 + 2, 3 + 30 + 1}};
  int i = 0;
  for (const bool held : {false, true})
    for (const TCase& c : cases) {
      SCOPED_TRACE(c.Name);
      SCOPED_TRACE(held ? "worker held" : "worker keeping up");
      const std::string path = (Dir / ("clock" + std::to_string(i++) + ".mp4")).string();
      TWorkerGate gate;
      std::string actual;
      auto rec = held ? CreateMP4Recorder(CreateFileSink(path, actual), path, c.W, c.H, 15, gate.Hook())
                      : Codecs->CreateRecorder(path, c.W, c.H, 15);
      EXPECT_EQ(rec->Width(), c.WantW);
      EXPECT_EQ(rec->Height(), c.WantH);
      const std::string fed = Feed(*rec, c.Times, !held);
      gate.Open();
      ASSERT_EQ(fed, "");
      ASSERT_EQ(rec->Finish(), "");
      EXPECT_EQ(rec->Finish(), "") << "a second Finish does nothing";
      EXPECT_EQ(rec->AddFrame(Pic.Row(0), Pic.Stride(), 5000), "") << "nothing is added after Finish";
      const TFileFacts f = Inspect(rec->Path());
      ASSERT_TRUE(f.Opened);
      EXPECT_EQ(f.W, c.WantW);
      EXPECT_EQ(f.H, c.WantH);
      const int packets = held ? c.HeldPackets : c.Packets;
      EXPECT_EQ(f.Packets, packets);
      EXPECT_EQ(f.Decoded, packets);
      EXPECT_NEAR(f.Seconds, c.Seconds, 0.04);
      EXPECT_EQ(f.Holes, 0);
    }
}

// Two recordings started in the same second never overwrite each other; the second gets " (2)".
TEST_F(TRecorderFixture, AnExistingFileIsNeverOverwritten) {
  const std::string path = (Dir / "Tovik 2026-12-10 17.00.00.mp4").string();
  auto first = Codecs->CreateRecorder(path, 320, 240, 15);
  auto second = Codecs->CreateRecorder(path, 320, 240, 15);
  EXPECT_EQ(first->Path(), path);
  EXPECT_EQ(second->Path(), (Dir / "Tovik 2026-12-10 17.00.00 (2).mp4").string());
  ASSERT_EQ(Feed(*first, {0, 66, 133}), "");
  ASSERT_EQ(Feed(*second, {0, 66}), "");
  ASSERT_EQ(first->Finish(), "");
  ASSERT_EQ(second->Finish(), "");
  EXPECT_EQ(Inspect(first->Path()).Packets, 3);
  EXPECT_EQ(Inspect(second->Path()).Packets, 2);
  try {
    Codecs->CreateRecorder((Dir / "small.mp4").string(), 15, 600, 15);
    ADD_FAILURE();
  } catch (const ETovikMF& e) {
    EXPECT_STREQ(e.what(), "Picture too small to record");
  }
  EXPECT_FALSE(fs::exists(Dir / "small.mp4")) << "no empty file is left behind";
}

// A sink that stops taking bytes: the recording reports the failure, and Finish never says all went
// well.
class TFailingSink final : public IByteSink {
 public:
  TFailingSink(std::size_t AWriteLimit, bool ACloseFails) : FLimit(AWriteLimit), FCloseFails(ACloseFails) {}
  bool Write(const std::uint8_t*, std::size_t ALen) override {
    if (FWritten + ALen > FLimit) {
      FError = "write: No space left on device";
      return false;
    }
    FWritten += ALen;
    return true;
  }
  bool Seek(std::int64_t) override { return true; }
  bool Close() override {
    if (FCloseFails) FError = "close: Input/output error";
    return !FCloseFails;
  }
  std::string Error() const override { return FError; }

 private:
  std::size_t FLimit, FWritten = 0;
  bool FCloseFails;
  std::string FError;
};

TEST_F(TRecorderFixture, AFailedFinishIsReported) {
  struct TCase {
    const char* Name;
    std::size_t Limit;
    bool CloseFails;
    const char* Reason;
  } const cases[] = {{"disk full while writing", 20000, false, "write: No space left on device"},
                     {"close fails", SIZE_MAX, true, "close: Input/output error"}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    auto rec = CreateMP4Recorder(std::make_unique<TFailingSink>(c.Limit, c.CloseFails), "x.mp4", 640, 360, 15);
    std::vector<std::int64_t> times;
    for (int k = 0; k < 45; ++k) times.push_back(k * 1000 / 15);
    std::string during = Feed(*rec, times);
    rec->Drain();
    if (during.empty()) during = rec->AddFrame(Pic.Row(0), Pic.Stride(), 3100);
    const std::string finish = rec->Finish();
    EXPECT_EQ(finish.empty() ? during : finish, c.Reason);
    EXPECT_FALSE(finish.empty() && during.empty());
  }
}

// A recording whose program dies without finishing still plays up to its last fragment.
TEST_F(TRecorderFixture, AKilledRecordingStillPlays) {
  // The child runs this test again from the start in a new process (with its own Dir): it takes the
  // parent's path from the environment.
  const char* inherited = std::getenv("TOVIK_TEST_KILLED_MP4");
  const std::string path = inherited ? inherited : (Dir / "killed.mp4").string();
  ::setenv("TOVIK_TEST_KILLED_MP4", path.c_str(), 1);
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        auto rec = Codecs->CreateRecorder(path, 640, 360, 15);
        std::vector<std::int64_t> times;
        for (int k = 0; k < 60; ++k) times.push_back(k * 1000 / 15);
        if (!Feed(*rec, times).empty()) ::_exit(1);
        rec->Drain();
        ::_exit(0);  // no Finish, no destructor
      },
      ::testing::ExitedWithCode(0), "");
  const TFileFacts f = Inspect(path);
  ASSERT_TRUE(f.Opened);
  EXPECT_EQ(f.W, 640);
  EXPECT_GE(f.Packets, 30) << "at least the first two seconds";
  EXPECT_EQ(f.Decoded, f.Packets);
}

}  // namespace
}  // namespace tovik
