// The consent dialog's answer, shared by the session core and the session windows.
#pragma once

#include <cstdint>

namespace tovik {

enum TConsentAnswer : std::uint8_t { caDeny = 0, caViewOnly = 1, caControl = 2 };

}  // namespace tovik
