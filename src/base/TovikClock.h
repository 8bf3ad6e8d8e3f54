// The program's clock.
//
// TickMs() returns milliseconds of the monotonic clock. The network client and the frame transports do
// not read it: they take the time as a parameter (the client is an ITimedObject, base/TovikTimed.h)
// from their driver, which reads it here. Tests replace the source with a TManualClock and move time
// by hand (or let the tests' virtual-time driver jump it from deadline to deadline) instead of sleeping.
#pragma once

#include <atomic>
#include <cstdint>

namespace tovik {

using TTick = std::uint64_t;

// Milliseconds of the monotonic clock (or of the installed manual clock). Thread-safe.
TTick TickMs();

// Milliseconds since 1970-01-01 UTC from the wall clock (or the manual clock's stamp). Thread-safe.
std::int64_t StampMs();

// A clock that tests move by hand. While one is alive it replaces the real clock process-wide;
// only one may be alive at a time. Construct and destroy it on the test's thread.
class TManualClock {
 public:
  explicit TManualClock(TTick start = 1'000'000, std::int64_t stamp = 1'700'000'000'000);
  ~TManualClock();
  TManualClock(const TManualClock&) = delete;
  TManualClock& operator=(const TManualClock&) = delete;

  TTick Now() const { return FNow.load(); }
  void Advance(TTick ms) { FNow += ms; FStamp += static_cast<std::int64_t>(ms); }
  void Set(TTick now) { FNow = now; }
  std::int64_t Stamp() const { return FStamp.load(); }

 private:
  std::atomic<TTick> FNow;
  std::atomic<std::int64_t> FStamp;
};

}  // namespace tovik
