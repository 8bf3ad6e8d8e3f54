// Remote Desktop keep on Linux. A remote session (xrdp) keeps drawing after its client disconnects,
// so unlike on Windows nothing has to be moved to the console: the check only reads
// [Service] KeepScreenOnDisconnect (program-side Tovik.ini; missing or -1 = automatic: on in a virtual
// machine, 0 = off, other values = on) and says once in the service log what it means here.
//
// Threads: the service loop's thread only.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "base/TovikClock.h"

namespace tovik {

inline constexpr TTick kRdpKeepGapMs = 5000;

// Whether the firmware names a virtual machine: the vendor and product (from /sys/class/dmi/id on
// Linux), each preceded by a blank, upper-cased, contain one of the known hypervisor names.
bool IsVirtualMachine(std::string_view AManufacturer, std::string_view AProduct);

class TRdpKeep {
 public:
  struct TDeps {
    std::function<std::optional<int>()> ReadSetting;  // [Service] KeepScreenOnDisconnect; nullopt = missing
    std::function<bool()> IsVirtualMachine;
    std::function<void(const std::string&)> Log;
  };
  explicit TRdpKeep(TDeps ADeps) : FDeps(std::move(ADeps)) {}

  // Called on every round of the service loop; does its work at most every kRdpKeepGapMs.
  void Check(TTick ANow);
  // The setting as read at the first check (nullopt before).
  std::optional<bool> On() const { return FOn; }

 private:
  TDeps FDeps;
  std::optional<TTick> FNextAt;
  std::optional<bool> FOn;
};

}  // namespace tovik
