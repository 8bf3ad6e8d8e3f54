// Small builders shared by the transport tests.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <vector>

#include "base/TovikBytes.h"
#include "net/TovikFrames.h"

namespace tovik::test {

inline TBytes Blob(std::size_t n, std::uint32_t seed = 1) {
  TBytes b(n);
  std::uint32_t x = seed * 2654435761u + 1;
  for (auto& v : b) {
    x = x * 1103515245u + 12345u;
    v = static_cast<std::uint8_t>(x >> 16);
  }
  return b;
}

// A chunk packet as a host would send it; windowed when oldest is given.
inline TBytes Chunk(std::uint8_t kind, std::uint32_t id, std::uint16_t index, std::uint16_t count,
                    TByteView data, std::uint32_t oldest = 0) {
  TBytes p{kind};
  PutU32LE(p, id);
  PutU16LE(p, index);
  PutU16LE(p, count);
  if (kind == pkWindowChunk) PutU32LE(p, oldest);
  Append(p, data);
  return p;
}

inline TBytes Nack(std::uint32_t id, std::initializer_list<std::uint16_t> indices) {
  TBytes p{pkFrameNack};
  PutU32LE(p, id);
  PutU16LE(p, static_cast<std::uint16_t>(indices.size()));
  for (auto i : indices) PutU16LE(p, i);
  return p;
}

// The missing indices a NACK lists, or nothing when the packet is not a well-formed NACK for the frame.
inline std::vector<std::uint16_t> NackList(const TBytes& p, std::uint32_t id) {
  std::vector<std::uint16_t> out;
  if (p.size() < 7 || p[0] != pkFrameNack || GetU32LE(p.data() + 1) != id) return out;
  const std::size_t m = GetU16LE(p.data() + 5);
  if (p.size() != 7 + 2 * m) return out;
  for (std::size_t k = 0; k < m; ++k) out.push_back(GetU16LE(p.data() + 7 + 2 * k));
  return out;
}

inline TBytes Ack(std::uint8_t kind, std::uint32_t n) {
  TBytes p{kind};
  PutU32LE(p, n);
  return p;
}

}  // namespace tovik::test
