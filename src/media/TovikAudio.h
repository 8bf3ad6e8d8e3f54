// Sound of the helped PC for the helper: what its speakers play, recorded from the default output,
// mixed down to mono, resampled to 16,000 samples a second and compressed to one G.711 mu-law byte
// per sample, in packets of 320 bytes (20 ms). The helper's side expands the bytes again and plays
// them with a small jitter queue (at most 10 packets; playback starts and resumes with 3 queued).
//
// This library is portable: the conversion, the mu-law codec, the player's queue and the packet ring
// are pure. The sound devices are reached through ILoopbackCapture and IAudioPlayer, whose Create()
// functions the platform library provides (tovik_platform, PulseAudio on Linux); only the
// composition root and the platform's own tests and measurements call them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "base/TovikBytes.h"

namespace tovik {

// ---- wire format ----------------------------------------------------------------------------------

inline constexpr int kSoundRate = 16000;           // samples a second on the wire
inline constexpr std::size_t kSoundPacketBytes = 320;  // 20 ms of mu-law bytes
inline constexpr std::size_t kSoundMaxPlayBytes = 1280;  // the longest packet a player takes

// G.711 mu-law (bias 132, clip 32,635) of one 16-bit sample, and its expansion.
std::uint8_t MuLawEncode(std::int16_t ASample);
std::int16_t MuLawDecode(std::uint8_t AByte);

// ---- capture side: conversion to the wire format --------------------------------------------------

// A device's sample layout. Frames are BlockAlign bytes apart; a frame holds Channels samples of
// Bits / 8 bytes each, little-endian integers or 32-bit floats.
struct TSoundFormat {
  int Channels = 0;
  int Rate = 0;
  int BlockAlign = 0;
  int Bits = 0;
  bool Float = false;
};

// True for a layout the converter takes: 1 to 64 channels, 8,000 to 768,000 frames a second, 32-bit
// floats or 16, 24 or 32-bit integers, and a block alignment that holds every channel's sample
// (Channels x Bits / 8 bytes at least, 4,096 at most).
bool SoundFormatOk(const TSoundFormat& AFormat);

// Turns a device's frames into 320-byte mu-law packets: channels averaged and clamped to -1..1, then
// resampled to 16,000 a second. From higher rates each output sample is the mean of the input values
// since the previous one (a box filter with an integer accumulator); from lower rates the output is
// interpolated linearly between neighbouring input values, so every rate gives 16,000 samples a
// second. Not thread-safe: one thread feeds and takes.
class TSoundConverter {
 public:
  // Throws std::runtime_error("Unsupported audio format") unless SoundFormatOk(AFormat).
  explicit TSoundConverter(const TSoundFormat& AFormat);

  // Converts the whole frames in AFrames (a trailing partial frame is ignored).
  void Feed(std::span<const std::uint8_t> AFrames);
  // AFrameCount frames of silence (a packet the device marked silent, or a gap).
  void FeedSilence(std::size_t AFrameCount);
  // Every complete 320-byte packet so far, in order; fewer than 320 bytes wait for the next call.
  std::vector<TBytes> TakePackets();

  const TSoundFormat& Format() const { return FFormat; }
  std::size_t PendingBytes() const { return FPending.size(); }

 private:
  void Value(double AValue);
  void Output(double AValue);

  TSoundFormat FFormat;
  std::int64_t FAcc = 0;  // box filter: 16,000 per input value, less Rate per output sample
  double FSum = 0;
  std::int64_t FCount = 0;
  std::int64_t FPhase = 0;  // interpolation: position between FPrev and the next value, in 1/16,000
  double FPrev = 0;
  TBytes FPending;
};

// A bounded hand-over of captured packets from the device's thread to the GUI thread: at most
// ACapacity packets; a packet pushed into a full ring pushes out the oldest. Not thread-safe by
// itself: the owner holds its lock around each call.
class TSoundPacketRing {
 public:
  explicit TSoundPacketRing(std::size_t ACapacity) : FCapacity(ACapacity) {}
  // False when the oldest packet had to make room.
  bool Push(TBytes APacket);
  std::vector<TBytes> TakeAll();
  std::size_t Size() const { return FPackets.size(); }
  std::uint64_t Dropped() const { return FDropped; }

 private:
  std::size_t FCapacity;
  std::deque<TBytes> FPackets;
  std::uint64_t FDropped = 0;
};

// ---- player side ----------------------------------------------------------------------------------

// The player's jitter queue: the packets handed to Play, expanded to 16-bit samples, which the
// device's thread pulls. At most 10 packets (200 ms at 320 bytes) are queued; another one is
// dropped. It starts waiting (the device gets silence) and plays once more than 2 packets are queued;
// when the device asks for samples and the queue has run empty, that is an underrun and it waits
// again until 3 packets are queued. Storage is allocated once. Not thread-safe: the owner holds its
// lock around each call.
class TPlayerQueue {
 public:
  static constexpr std::size_t kMaxPackets = 10;
  static constexpr std::size_t kStartPackets = 3;

  TPlayerQueue();
  // Queues one packet of 1 to 1,280 mu-law bytes; false when it was ignored (length) or dropped (full).
  bool Push(std::span<const std::uint8_t> APacket);
  // Fills AOut: queued samples while playing, silence while waiting (and after an underrun). Returns
  // how many were real samples.
  std::size_t Pull(std::span<std::int16_t> AOut);
  // Drops everything queued and waits.
  void Clear();

  std::size_t Packets() const { return FCount; }
  std::size_t QueuedSamples() const;
  bool Waiting() const { return FWaiting; }
  std::uint64_t Underruns() const { return FUnderruns; }
  std::uint64_t Dropped() const { return FDropped; }

 private:
  struct TSlot {
    std::array<std::int16_t, kSoundMaxPlayBytes> Samples{};
    std::size_t Len = 0;
    std::size_t Read = 0;
  };
  std::vector<TSlot> FSlots;
  std::size_t FHead = 0;   // oldest queued slot
  std::size_t FCount = 0;  // queued slots
  bool FWaiting = true;
  std::uint64_t FUnderruns = 0;
  std::uint64_t FDropped = 0;
};

// ---- devices --------------------------------------------------------------------------------------

// Where a backend records or plays. Empty fields mean the defaults: the sound server the environment
// names, the default output's monitor for recording, the default output for playing.
struct TSoundEndpoint {
  std::string Server;
  std::string Device;
};

// Records what the default output plays. Create() opens and starts the recording, which runs on the
// backend's own thread and is converted there; Poll() on the caller's thread only takes the packets
// ready now. The recording thread stops before the destructor returns.
class ILoopbackCapture {
 public:
  virtual ~ILoopbackCapture() = default;
  // Every complete 320-byte packet recorded since the last call, in order (possibly none). Throws
  // std::runtime_error when the recording has failed.
  virtual std::vector<TBytes> Poll() = 0;

  // Throws std::runtime_error with "No audio devices", "No playback device", "Cannot record the
  // playback device" or "Cannot start recording".
  static std::unique_ptr<ILoopbackCapture> Create(const TSoundEndpoint& AWhere = {});
};

// Plays mu-law packets (16,000 samples a second, mono) through a TPlayerQueue that the device's own
// thread drains. Play and Clear are called on one thread (the GUI thread); the device thread stops
// before the destructor returns.
class IAudioPlayer {
 public:
  virtual ~IAudioPlayer() = default;
  virtual void Play(std::span<const std::uint8_t> APacket) = 0;
  virtual void Clear() = 0;
  // Packets queued now and underruns so far (for measurements).
  virtual std::size_t QueuedPackets() const = 0;
  virtual std::uint64_t Underruns() const = 0;

  // Throws std::runtime_error("Cannot play sound").
  static std::unique_ptr<IAudioPlayer> Create(const TSoundEndpoint& AWhere = {});
};

}  // namespace tovik
