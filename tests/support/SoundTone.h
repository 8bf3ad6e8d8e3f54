// Tones for the sound tests and measurements, and the pitch of what comes out.
#pragma once

#include <cmath>
#include <cstdint>
#include <numbers>
#include <optional>
#include <span>
#include <vector>

#include "media/TovikAudio.h"

namespace tovik::test {

// A sine of AHz at AAmp (0..1) for sample AIndex at ARate.
inline double ToneValue(double AHz, double AAmp, std::int64_t AIndex, int ARate) {
  return AAmp * std::sin(2 * std::numbers::pi * AHz * static_cast<double>(AIndex) / ARate);
}

// Mu-law bytes expanded to samples.
inline std::vector<std::int16_t> Expand(std::span<const std::uint8_t> ABytes) {
  std::vector<std::int16_t> out;
  out.reserve(ABytes.size());
  for (std::uint8_t b : ABytes) out.push_back(MuLawDecode(b));
  return out;
}

// The frequency of a steady tone in ASamples (at ARate) from its rising zero crossings, placed
// between samples by linear interpolation; none when fewer than 10 crossings are found. Values within
// AFloor of zero do not count as a crossing (noise around silence).
inline std::optional<double> TonePitch(std::span<const std::int16_t> ASamples, int ARate, int AFloor = 200) {
  std::optional<double> first, last;
  int crossings = 0;
  int lastNeg = -1;  // index of the last sample below -AFloor since the last crossing
  for (std::size_t i = 1; i < ASamples.size(); ++i) {
    if (ASamples[i] < -AFloor) lastNeg = static_cast<int>(i);
    if (lastNeg < 0 || ASamples[i - 1] >= 0 || ASamples[i] < 0) continue;
    const double a = ASamples[i - 1], b = ASamples[i];
    const double t = static_cast<double>(i - 1) + (-a) / (b - a);
    if (!first) first = t;
    last = t;
    ++crossings;
    lastNeg = -1;
  }
  if (crossings < 10) return std::nullopt;
  return (crossings - 1) * static_cast<double>(ARate) / (*last - *first);
}

}  // namespace tovik::test
