// One input event of the helper (pointer or key), as the viewer numbers it, the wire carries it and the
// host's injector takes it. Plain values; any thread.
#pragma once

#include <cstdint>

namespace tovik {

// Event kinds as they travel on the wire.
enum TInputKind : std::uint8_t {
  ikMove = 1,
  ikButtonDown = 2,
  ikButtonUp = 3,
  ikWheel = 4,
  ikKeyDown = 5,
  ikKeyUp = 6,
};

// One input event. On the wire: Seq (4), Kind (1), X (2), Y (2), Data (4), little-endian, 13 bytes.
struct TInputEvent {
  std::uint32_t Seq = 0;   // 1 for the first event of a session
  std::uint8_t Kind = 0;   // 1 move, 2 button down, 3 button up, 4 wheel, 5 key down, 6 key up
  std::int16_t X = 0;      // position in the host's picture
  std::int16_t Y = 0;
  std::int32_t Data = 0;   // button number, wheel delta or virtual-key code; 0 for a move

  bool operator==(const TInputEvent&) const = default;
};

}  // namespace tovik
