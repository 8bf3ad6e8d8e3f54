// The saved-PC sync engine's view of the network client and of the clock.
//
// Threads: the client's thread (the GUI thread in the program).
#pragma once

#include <string_view>

#include "base/TovikClock.h"
#include "book/TovikBook.h"
#include "net/TovikNet.h"

namespace tovik {

// The relay channel of a TTovikClient. The client must outlive the adapter.
class TClientBookRelay final : public IBookRelay {
 public:
  explicit TClientBookRelay(TTovikClient& AClient) : FClient(AClient) {}
  bool Available() const override { return FClient.RelaySecure(); }
  bool Send(std::string_view ALine) override { return FClient.SendBookCommand(ALine); }

 private:
  TTovikClient& FClient;
};

// The program's clock (base/TovikClock.h; a TManualClock in tests replaces it).
class TProgramBookClock final : public IBookClock {
 public:
  TTick Tick() const override { return TickMs(); }
  std::int64_t Stamp() const override { return StampMs(); }
};

}  // namespace tovik
