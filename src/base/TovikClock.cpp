#include "base/TovikClock.h"

#include <cassert>
#include <chrono>

namespace tovik {

namespace {
std::atomic<TManualClock*> GManual{nullptr};
}

TTick TickMs() {
  if (TManualClock* m = GManual.load(std::memory_order_acquire)) return m->Now();
  using namespace std::chrono;
  return static_cast<TTick>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

std::int64_t StampMs() {
  if (TManualClock* m = GManual.load(std::memory_order_acquire)) return m->Stamp();
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

TManualClock::TManualClock(TTick start, std::int64_t stamp) : FNow(start), FStamp(stamp) {
  TManualClock* expected = nullptr;
  [[maybe_unused]] bool ok = GManual.compare_exchange_strong(expected, this);
  assert(ok && "only one TManualClock may be alive");
}

TManualClock::~TManualClock() { GManual.store(nullptr, std::memory_order_release); }

}  // namespace tovik
