// H.264 video: the encoder the host uses for its screen, the decoder the viewer shows it with, and the
// codec libraries behind them.
//
// This header is portable. The libraries (FFmpeg's libavcodec on Linux) are reached through
// IVideoCodecs and IH264Engine, whose implementations live in media/ffmpeg and are picked by the
// composition root; tests pass fakes. TH264Encoder holds the logic that does not depend on a library:
// the padded picture size, the choice "hardware first, then software", giving up on a hardware
// encoder that stops producing output, and the parameter sets in front of every key frame.
//
// Failures raise ETovikMF with a message that names the failed step ("%s failed (0x%.8x)").
// Threads: one encoder or decoder is used by one thread at a time; the colour conversion inside runs
// in parallel bands (media/TovikPicture.h) and returns when done.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/TovikBytes.h"

namespace tovik {

class ETovikMF : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// "<AStep> failed (0x%.8x)" with AStatus as an unsigned 32-bit value.
std::string MFFailed(const std::string& AStep, int AStatus);

// Each side rounded up to a multiple of 16, and at least 64: the size the encoder works at.
int PaddedSide(int ASide);

// ---- H.264 byte streams -----------------------------------------------------------------------------

// One NAL unit of an Annex B byte stream: its first byte after the start code, its length up to the
// next start code (or the end), and its type (first byte AND 31).
struct TNal {
  int Start = 0;
  int Len = 0;
  int Kind = 0;
};
inline constexpr int kNalSlice = 1;
inline constexpr int kNalIdr = 5;
inline constexpr int kNalSps = 7;
inline constexpr int kNalPps = 8;
inline constexpr int kNalAud = 9;

// The NAL units of AData in order; empty units are skipped.
std::vector<TNal> FindNals(TByteView AData);
// True when AData holds a NAL unit of kind AKind.
bool HasNal(TByteView AData, int AKind);

// ---- encoder ----------------------------------------------------------------------------------------

// What one encoder library is set up with.
struct TEncoderParams {
  int W = 0, H = 0;        // picture size
  int PadW = 0, PadH = 0;  // encoded size (PaddedSide of each)
  int Fps = 30;            // 1..120
  int Kbps = 2000;         // 100..200,000
};

// Where the next picture goes: an NV12 picture of PadW x PadH in the engine's own buffers.
struct TNV12Target {
  std::uint8_t* Y = nullptr;
  std::ptrdiff_t YStride = 0;
  std::uint8_t* UV = nullptr;
  std::ptrdiff_t UVStride = 0;
};

// One encoder library set up for one TEncoderParams. Used by one thread (the owner's).
class IH264Engine {
 public:
  virtual ~IH264Engine() = default;
  // The buffers to write the next picture into; valid until Encode. Throws ETovikMF.
  virtual TNV12Target Input() = 0;
  // Encodes the picture written into Input(); AKey makes it a key frame (IDR). Returns the Annex B
  // bytes that came out during this call: possibly none (the picture was held back), possibly those
  // of earlier pictures. Throws ETovikMF.
  virtual TBytes Encode(bool AKey) = 0;
};

// One encoder library that may be tried: its display name, whether it is a hardware encoder, and how
// to set it up (throws ETovikMF with the reason when it cannot).
struct TEngineChoice {
  std::string Name;
  bool Hardware = false;
  std::function<std::unique_ptr<IH264Engine>(const TEncoderParams&)> Make;
};

// The encoder libraries available, in the order they are tried.
struct TEngineList {
  std::vector<TEngineChoice> Hardware;
  std::vector<TEngineChoice> Software;
  std::string HwNote;  // why no hardware encoder is available (when Hardware is empty)
};

// Turns 32-bit screen pictures of one size into H.264. Created for one size, frame rate and bit rate;
// the host replaces it when any of them changes.
//
// Hardware first, then software: a hardware encoder that fails or gives no output for 2 pictures in a
// row (before its first output) or 10 (after it) is dropped for good, and the same picture is encoded
// by the first software encoder that sets up. The first picture after every set-up is a key frame,
// and every key frame starts with the sequence and picture parameter sets (after an access unit
// delimiter when there is one).
//
// Not thread-safe; one owner. Holds the engines it sets up.
class TH264Encoder {
 public:
  // Raises ETovikMF "Bad picture size %d x %d" or "No H.264 encoder could be set up: " + reason.
  TH264Encoder(int AWidth, int AHeight, int AFps, int ABitrateKbps, TEngineList AEngines);
  ~TH264Encoder();
  TH264Encoder(const TH264Encoder&) = delete;
  TH264Encoder& operator=(const TH264Encoder&) = delete;

  // Encodes the AWidth x AHeight picture at ABgra (blue, green, red, X; AStride is the signed distance
  // from row 0 to row 1). Returns all output of this call, possibly empty. Raises ETovikMF.
  TBytes Encode(const std::uint8_t* ABgra, std::ptrdiff_t AStride, bool AForceKey);
  bool IsHardware() const { return FHardware; }
  // The encoder's name; for a software encoder followed by " - " + why no hardware one is used.
  std::string EncoderName() const;
  const TEncoderParams& Params() const { return FParams; }

 private:
  bool SetUp(const std::vector<TEngineChoice>& AList);
  TBytes EncodeOnce(const std::uint8_t* ABgra, std::ptrdiff_t AStride);
  void AddHeaders(TBytes& AOut);

  TEncoderParams FParams;
  TEngineList FEngines;
  std::unique_ptr<IH264Engine> FEngine;
  bool FHardware = false;
  std::string FName;
  std::string FHwNote;
  std::string FLastError;
  bool FKeyPending = true;
  int FMisses = 0;
  bool FEverOutput = false;
  TBytes FHeaders;  // 00 00 00 01 SPS 00 00 00 01 PPS
};

// ---- decoder ----------------------------------------------------------------------------------------

enum class TDecodeResult {
  drPicture,  // a picture was written
  drNone,     // nothing to show yet (held back, or waiting for a key frame)
  drBroken,   // the data was refused or decoded with errors: ask for a complete picture; nothing new is
              // shown until the next key frame
};

// Turns the H.264 bytes of one picture size into 32-bit pictures. Used by one thread.
class IH264Decoder {
 public:
  virtual ~IH264Decoder() = default;
  // Decodes AData (a video frame body after its header) and writes the picture, cut to the size the
  // decoder was made for, into ADest (32-bit, rows ADestStride bytes apart). Throws ETovikMF only
  // when the library fails outside the data (out of memory and the like).
  virtual TDecodeResult Decode(TByteView AData, std::uint8_t* ADest, std::ptrdiff_t ADestStride) = 0;
};

// ---- recordings -------------------------------------------------------------------------------------

// A session recording: one H.264 video stream in an MP4 file at a fixed frame rate, fed with pictures
// stamped with the time they were shown. Frame times follow those stamps: a picture is repeated or
// skipped so that the file keeps its frame rate and lasts as long as the recording did. The file is
// written so that it plays even when the program dies before Finish.
//
// The owner's thread (the GUI thread) calls everything; encoding and writing happen on the
// recorder's own worker, so AddFrame only copies the picture.
class IMP4Recorder {
 public:
  virtual ~IMP4Recorder() = default;
  // One picture of Width() x Height() 32-bit pixels (blue, green, red, X; rows AStride bytes apart,
  // may be negative), shown ATimeMs after the recording started. Returns "" or the reason the
  // recording failed (then it stops taking pictures).
  virtual std::string AddFrame(const std::uint8_t* ABgra, std::ptrdiff_t AStride, std::int64_t ATimeMs) = 0;
  // Completes the file (once; later calls return ""). Returns "" or the reason the file could not be
  // completed.
  virtual std::string Finish() = 0;
  // Waits until every picture added so far has been encoded and handed to the file.
  virtual void Drain() = 0;
  // The file being written (the name asked for, or with " (2)", " (3)"... when that was taken).
  virtual std::string Path() const = 0;
  virtual int Width() const = 0;
  virtual int Height() const = 0;
};

// The codec libraries of this program. Shared by the sessions; calls on the GUI thread.
class IVideoCodecs {
 public:
  virtual ~IVideoCodecs() = default;
  // Whether pictures can be decoded here at all (what a viewer announces).
  virtual bool CanDecode() = 0;
  // An encoder; raises ETovikMF when none can be set up.
  virtual std::unique_ptr<TH264Encoder> CreateEncoder(int AWidth, int AHeight, int AFps, int AKbps) = 0;
  // A decoder for pictures of AWidth x AHeight; a stream may never make it allocate pictures above
  // AMaxPixels. Raises ETovikMF.
  virtual std::unique_ptr<IH264Decoder> CreateDecoder(int AWidth, int AHeight, std::int64_t AMaxPixels) = 0;
  // A new recording at APath (never an existing file); raises ETovikMF. None by default.
  virtual std::unique_ptr<IMP4Recorder> CreateRecorder(const std::string& APath, int AWidth, int AHeight, int AFps) {
    (void)AWidth, (void)AHeight, (void)AFps;
    (void)APath;
    throw ETovikMF("Video recording is not available in this build");
  }
};

}  // namespace tovik
