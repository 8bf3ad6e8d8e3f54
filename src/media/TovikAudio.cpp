#include "media/TovikAudio.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <stdexcept>

namespace tovik {

// ---- mu-law ---------------------------------------------------------------------------------------

std::uint8_t MuLawEncode(std::int16_t ASample) {
  const int s = ASample;
  const int sign = s < 0 ? 0x80 : 0;
  const int m = s < 0 ? -s : s;
  const int t = m >= 32636 ? 32767 : m + 132;
  const int exponent = (std::bit_width(static_cast<unsigned>(t)) - 1) - 7;  // t >= 132: 0..7
  const int mantissa = (t >> (exponent + 3)) & 15;
  return static_cast<std::uint8_t>(~(sign + exponent * 16 + mantissa));
}

namespace {
struct TMuLawTable {
  std::array<std::int16_t, 256> Values{};
  TMuLawTable() {
    for (int u = 0; u < 256; ++u) {
      const int v = ~u & 0xFF;
      const int t = ((v & 15) * 8 + 132) << ((v >> 4) & 7);
      Values[static_cast<std::size_t>(u)] = static_cast<std::int16_t>((v & 0x80) ? 132 - t : t - 132);
    }
  }
};
const TMuLawTable kMuLaw;
}  // namespace

std::int16_t MuLawDecode(std::uint8_t AByte) { return kMuLaw.Values[AByte]; }

// ---- conversion -----------------------------------------------------------------------------------

bool SoundFormatOk(const TSoundFormat& f) {
  if (f.Channels < 1 || f.Channels > 64) return false;
  if (f.Rate < 8000 || f.Rate > 768000) return false;
  if (f.Float ? f.Bits != 32 : (f.Bits != 16 && f.Bits != 24 && f.Bits != 32)) return false;
  // Every channel's sample must lie inside its frame; reading them is only safe then.
  return f.BlockAlign >= f.Channels * (f.Bits / 8) && f.BlockAlign <= 4096;
}

TSoundConverter::TSoundConverter(const TSoundFormat& AFormat) : FFormat(AFormat) {
  if (!SoundFormatOk(AFormat)) throw std::runtime_error("Unsupported audio format");
  FPending.reserve(2560);
}

namespace {
double SampleAt(const std::uint8_t* p, int ABits, bool AFloat) {
  if (AFloat) {
    float f;
    std::memcpy(&f, p, 4);
    return std::isfinite(f) ? f : 0.0;
  }
  switch (ABits) {
    case 16:
      return static_cast<std::int16_t>(p[0] | (p[1] << 8)) / 32768.0;
    case 24: {
      const std::uint32_t u = (static_cast<std::uint32_t>(p[0]) << 8) | (static_cast<std::uint32_t>(p[1]) << 16) |
                              (static_cast<std::uint32_t>(p[2]) << 24);
      return static_cast<std::int32_t>(u) / 2147483648.0;
    }
    default: {
      const std::uint32_t u = static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
                              (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
      return static_cast<std::int32_t>(u) / 2147483648.0;
    }
  }
}
}  // namespace

void TSoundConverter::Feed(std::span<const std::uint8_t> AFrames) {
  const std::size_t align = static_cast<std::size_t>(FFormat.BlockAlign);
  const std::size_t step = static_cast<std::size_t>(FFormat.Bits / 8);
  const std::size_t frames = AFrames.size() / align;
  for (std::size_t i = 0; i < frames; ++i) {
    const std::uint8_t* frame = AFrames.data() + i * align;
    double sum = 0;
    for (int c = 0; c < FFormat.Channels; ++c) sum += SampleAt(frame + static_cast<std::size_t>(c) * step, FFormat.Bits, FFormat.Float);
    Value(std::clamp(sum / FFormat.Channels, -1.0, 1.0));
  }
}

void TSoundConverter::FeedSilence(std::size_t AFrameCount) {
  for (std::size_t i = 0; i < AFrameCount; ++i) Value(0.0);
}

void TSoundConverter::Value(double AValue) {
  if (FFormat.Rate >= kSoundRate) {
    FSum += AValue;
    ++FCount;
    FAcc += kSoundRate;
    if (FAcc < FFormat.Rate) return;
    FAcc -= FFormat.Rate;
    Output(FSum / static_cast<double>(FCount));
    FSum = 0;
    FCount = 0;
    return;
  }
  // Fewer input values than output samples: the outputs between the previous value and this one.
  while (FPhase < kSoundRate) {
    Output(FPrev + (AValue - FPrev) * static_cast<double>(FPhase) / kSoundRate);
    FPhase += FFormat.Rate;
  }
  FPhase -= kSoundRate;
  FPrev = AValue;
}

void TSoundConverter::Output(double AValue) {
  const auto s = static_cast<std::int16_t>(std::nearbyint(std::clamp(AValue, -1.0, 1.0) * 32767.0));
  FPending.push_back(MuLawEncode(s));
}

std::vector<TBytes> TSoundConverter::TakePackets() {
  std::vector<TBytes> out;
  const std::size_t n = FPending.size() / kSoundPacketBytes;
  out.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    const auto* p = FPending.data() + i * kSoundPacketBytes;
    out.emplace_back(p, p + kSoundPacketBytes);
  }
  FPending.erase(FPending.begin(), FPending.begin() + static_cast<std::ptrdiff_t>(n * kSoundPacketBytes));
  return out;
}

// ---- hand-over ring -------------------------------------------------------------------------------

bool TSoundPacketRing::Push(TBytes APacket) {
  if (FCapacity == 0) {
    ++FDropped;
    return false;
  }
  bool kept = true;
  if (FPackets.size() >= FCapacity) {
    FPackets.pop_front();
    ++FDropped;
    kept = false;
  }
  FPackets.push_back(std::move(APacket));
  return kept;
}

std::vector<TBytes> TSoundPacketRing::TakeAll() {
  std::vector<TBytes> out(std::make_move_iterator(FPackets.begin()), std::make_move_iterator(FPackets.end()));
  FPackets.clear();
  return out;
}

// ---- player queue ---------------------------------------------------------------------------------

TPlayerQueue::TPlayerQueue() : FSlots(kMaxPackets) {}

bool TPlayerQueue::Push(std::span<const std::uint8_t> APacket) {
  if (APacket.empty() || APacket.size() > kSoundMaxPlayBytes) return false;
  if (FCount >= kMaxPackets) {
    ++FDropped;
    return false;
  }
  TSlot& s = FSlots[(FHead + FCount) % kMaxPackets];
  for (std::size_t i = 0; i < APacket.size(); ++i) s.Samples[i] = MuLawDecode(APacket[i]);
  s.Len = APacket.size();
  s.Read = 0;
  ++FCount;
  if (FWaiting && FCount >= kStartPackets) FWaiting = false;
  return true;
}

std::size_t TPlayerQueue::Pull(std::span<std::int16_t> AOut) {
  std::size_t done = 0;
  while (!FWaiting && done < AOut.size()) {
    if (FCount == 0) {
      ++FUnderruns;
      FWaiting = true;
      break;
    }
    TSlot& s = FSlots[FHead];
    const std::size_t n = std::min(AOut.size() - done, s.Len - s.Read);
    std::copy_n(s.Samples.begin() + static_cast<std::ptrdiff_t>(s.Read), n, AOut.begin() + static_cast<std::ptrdiff_t>(done));
    s.Read += n;
    done += n;
    if (s.Read == s.Len) {
      FHead = (FHead + 1) % kMaxPackets;
      --FCount;
    }
  }
  std::fill(AOut.begin() + static_cast<std::ptrdiff_t>(done), AOut.end(), std::int16_t{0});
  return done;
}

void TPlayerQueue::Clear() {
  FHead = 0;
  FCount = 0;
  FWaiting = true;
}

std::size_t TPlayerQueue::QueuedSamples() const {
  std::size_t n = 0;
  for (std::size_t i = 0; i < FCount; ++i) {
    const TSlot& s = FSlots[(FHead + i) % kMaxPackets];
    n += s.Len - s.Read;
  }
  return n;
}

}  // namespace tovik
